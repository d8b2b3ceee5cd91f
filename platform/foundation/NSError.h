// NSError: why an operation failed, as the platform reports it to its caller.
//
// Operations that can fail take an optional out-parameter, as `registerAndReturnError:` does:
//   std::optional<NSError> error;
//   if (!service.registerAndReturnError(&error)) log(error->localizedDescription());
#pragma once

#include <string>
#include <utility>

class NSError {
 public:
  NSError(std::string domain, long code, std::string localizedDescription)
      : domain_(std::move(domain)), code_(code), localizedDescription_(std::move(localizedDescription)) {}

  const std::string& domain() const { return domain_; }
  long code() const { return code_; }
  // One sentence for people; the text a log line carries.
  const std::string& localizedDescription() const { return localizedDescription_; }

  bool operator==(const NSError&) const = default;

 private:
  std::string domain_;
  long code_;
  std::string localizedDescription_;
};
