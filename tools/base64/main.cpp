// base64: the macOS tool of that name, which the product's administrator command pipes its script
// through as `/usr/bin/base64 -D`. GNU base64 knows -d but not -D, so the product brings its own and
// the tool view (platform/macos_tools) binds it over /usr/bin/base64 for the product's children only.
//
//   base64 [-hDd] [-b count] [-i input_file] [-o output_file]
//
// Encodes by default, with lines of `count` characters (0, the default, for one line); -D, -d and
// --decode decode, skipping line breaks. Input and output default to the standard streams ("-").
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "platform/posix/UniqueFd.h"
#include "platform/scripting/TextEncoding.h"

namespace {

constexpr const char* kUsage = "Usage:\tbase64 [-hDd] [-b count] [-i input_file] [-o output_file]\n";

int usage(const std::string& why) {
  std::fprintf(stderr, "base64: %s\n%s", why.c_str(), kUsage);
  return 64;
}

int failure(const std::string& what) {
  std::fprintf(stderr, "base64: %s: %s\n", what.c_str(), std::strerror(errno));
  return 1;
}

bool readAll(int fd, std::string& out) {
  char buffer[65536];
  for (;;) {
    const ssize_t n = posix::retryOnInterrupt([&] { return ::read(fd, buffer, sizeof buffer); });
    if (n < 0) return false;
    if (n == 0) return true;
    out.append(buffer, static_cast<size_t>(n));
  }
}

}  // namespace

int main(int argc, char** argv) {
  bool decode = false;
  long lineLength = 0;
  std::string input = "-", output = "-";
  for (int i = 1; i < argc; ++i) {
    const std::string_view argument = argv[i];
    auto value = [&](std::string_view name) -> const char* {
      if (argument.size() > name.size() && argument.starts_with(name)) return argv[i] + name.size();
      return i + 1 < argc ? argv[++i] : nullptr;
    };
    if (argument == "-h" || argument == "--help") {
      std::fputs(kUsage, stdout);
      return 0;
    } else if (argument == "-D" || argument == "-d" || argument == "--decode") {
      decode = true;
    } else if (argument.starts_with("-b") || argument.starts_with("--break")) {
      const char* text = value(argument.starts_with("--") ? "--break=" : "-b");
      char* end = nullptr;
      lineLength = text != nullptr ? std::strtol(text, &end, 10) : -1;
      if (text == nullptr || *end != '\0' || lineLength < 0) return usage("-b needs a count");
    } else if (argument.starts_with("-i") || argument.starts_with("--input")) {
      const char* text = value(argument.starts_with("--") ? "--input=" : "-i");
      if (text == nullptr) return usage("-i needs a file");
      input = text;
    } else if (argument.starts_with("-o") || argument.starts_with("--output")) {
      const char* text = value(argument.starts_with("--") ? "--output=" : "-o");
      if (text == nullptr) return usage("-o needs a file");
      output = text;
    } else {
      return usage("invalid argument " + std::string(argument));
    }
  }

  posix::UniqueFd opened;
  int in = STDIN_FILENO;
  if (input != "-") {
    opened = posix::UniqueFd(::open(input.c_str(), O_RDONLY | O_CLOEXEC));
    if (!opened.valid()) return failure(input);
    in = opened.get();
  }
  std::string bytes;
  if (!readAll(in, bytes)) return failure(input == "-" ? "stdin" : input);

  std::string result;
  if (decode) {
    auto decoded = base64DecodedData(bytes);
    if (!decoded) {
      std::fputs("base64: invalid input\n", stderr);
      return 1;
    }
    result = std::move(*decoded);
  } else {
    const std::string encoded =
        base64EncodedString(std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()));
    if (lineLength == 0) result = encoded + "\n";
    for (size_t at = 0; lineLength > 0 && at < encoded.size(); at += static_cast<size_t>(lineLength)) {
      result += encoded.substr(at, static_cast<size_t>(lineLength)) + "\n";
    }
  }

  int out = STDOUT_FILENO;
  posix::UniqueFd written;
  if (output != "-") {
    written = posix::UniqueFd(::open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
    if (!written.valid()) return failure(output);
    out = written.get();
  }
  if (!posix::writeAll(out, result)) return failure(output == "-" ? "stdout" : output);
  return 0;
}
