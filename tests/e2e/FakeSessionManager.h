// A desktop session manager of the test's own on a private session bus: the GNOME session
// manager's interface, as much of it as an application registering with the session meets
// (RegisterClient, UnregisterClient, the client's EndSessionResponse), and the end of the
// session announced to its client the way a logout does.
#pragma once

#include <memory>
#include <optional>
#include <string>

namespace testing_support {

class FakeSessionManager {
 public:
  // Owns org.gnome.SessionManager on the bus at `busAddress`; serves it on a thread of its own.
  explicit FakeSessionManager(const std::string& busAddress);
  ~FakeSessionManager();
  FakeSessionManager(const FakeSessionManager&) = delete;
  FakeSessionManager& operator=(const FakeSessionManager&) = delete;

  bool serving() const;
  // The application id of the client registered last, once one is.
  std::optional<std::string> registeredClient() const;
  // The logout: QueryEndSession, then EndSession, to the registered client.
  void endSession();
  // What the client answered to EndSession (true: it will quit), once it did.
  std::optional<bool> endSessionResponse() const;

 private:
  struct State;
  std::shared_ptr<State> state_;
};

}  // namespace testing_support
