// proxyhostctl: plays the Flutter side for one method call over the engine link.
//
//   proxyhostctl [--socket PATH] [--timeout SECONDS] call CHANNEL METHOD [ARGS_JSON]
//   proxyhostctl [--socket PATH] [--timeout SECONDS] ping
//
// Prints one JSON line and exits with what it says, so scripts can branch on the status alone:
//   0 {"success": VALUE}   1 {"error": {...}}   2 {"notImplemented": true}
//   3 the host cannot be reached, the link broke or the reply is unreadable (stderr says why)
//   64 usage errors
#include <CLI/CLI.hpp>
#include <chrono>
#include <cstdio>
#include <iostream>
#include <string>

#include "platform/flutter/EngineLinkFrame.h"
#include "platform/flutter/FlutterCodecs.h"
#include "tools/proxyhostctl/JsonValue.h"
#include "tools/proxyhostctl/LinkClient.h"

#ifndef PROXYHOST_BUNDLE_ID
#error "PROXYHOST_BUNDLE_ID must name the host's bundle identifier"
#endif

namespace {

using proxyhostctl::Json;

enum ExitStatus : int {
  exitSuccess = 0,
  exitMethodError = 1,
  exitNotImplemented = 2,
  exitUnreachable = 3,
  exitUsage = 64,
};

constexpr double kMaxTimeoutSeconds = 7 * 24 * 3600;

int unreachable(const std::string& why) {
  std::cerr << "proxyhostctl: " << why << "\n";
  return exitUnreachable;
}

void printLine(const Json& json) { std::cout << proxyhostctl::dumpLine(json) << std::endl; }

std::chrono::milliseconds toMilliseconds(double seconds) {
  return std::chrono::milliseconds(static_cast<int64_t>(seconds * 1000));
}

int call(const std::string& socket, double timeoutSeconds, std::string channel, const std::string& method,
         const EncodableValue& arguments) {
  const auto timeout = toMilliseconds(timeoutSeconds);
  auto client = enginelink::LinkClient::connect(socket, timeout);
  if (!client) return unreachable(client.error().message());
  if (channel.starts_with("/")) channel = (*client)->bundleIdentifier() + channel;

  const auto payload = StandardMethodCodec::getInstance().encodeMethodCall({method, arguments});
  auto reply = (*client)->call(channel, payload, timeout);
  if (!reply) return unreachable(reply.error().message());
  if (reply->empty()) {
    printLine(Json{{"notImplemented", true}});
    return exitNotImplemented;
  }
  auto envelope = StandardMethodCodec::getInstance().decodeEnvelope(*reply);
  if (!envelope) return unreachable("the reply cannot be decoded: " + envelope.error().message());
  if (auto* value = std::get_if<EncodableValue>(&*envelope)) {
    printLine(Json{{"success", proxyhostctl::toJson(*value)}});
    return exitSuccess;
  }
  const auto& failure = std::get<FlutterError>(*envelope);
  Json details = Json::object();
  details["code"] = failure.code;
  details["message"] = failure.message ? Json(*failure.message) : Json(nullptr);
  details["details"] = proxyhostctl::toJson(failure.details);
  printLine(Json{{"error", details}});
  return exitMethodError;
}

int ping(const std::string& socket, double timeoutSeconds) {
  auto client = enginelink::LinkClient::connect(socket, toMilliseconds(timeoutSeconds));
  if (!client) return unreachable(client.error().message());
  printLine(Json{{"bundleIdentifier", (*client)->bundleIdentifier()}});
  return exitSuccess;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"Calls a channel of a running proxyhost over its engine link, as the Flutter side would."};
  app.name("proxyhostctl");
  std::string socket = enginelink::socketPath(PROXYHOST_BUNDLE_ID);
  double timeoutSeconds = 10;
  app.add_option("--socket", socket, "the engine link socket (default: " + socket + ")");
  app.add_option("--timeout", timeoutSeconds, "seconds to wait for the host (at most a week)");
  app.require_subcommand(1);

  auto* callCommand = app.add_subcommand("call", "call METHOD on CHANNEL and print the reply as JSON");
  std::string channel, method, argumentsText = "null";
  callCommand->add_option("CHANNEL", channel, "channel name; a leading / gets the host's bundle identifier")
      ->required();
  callCommand->add_option("METHOD", method, "method name")->required();
  callCommand->add_option("ARGS_JSON", argumentsText, "the arguments as JSON (default: null)");

  auto* pingCommand = app.add_subcommand("ping", "check that the host answers and print its bundle identifier");

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    if (e.get_exit_code() == 0) return app.exit(e);  // --help
    std::cerr << "proxyhostctl: " << e.what() << "\nRun 'proxyhostctl --help' for usage.\n";
    return exitUsage;
  }

  // Checked here rather than by CLI11, whose range check lets NaN through; the bound keeps the
  // conversion to milliseconds in range.
  if (!(timeoutSeconds > 0 && timeoutSeconds <= kMaxTimeoutSeconds)) {
    std::cerr << "proxyhostctl: --timeout must be above 0 and at most " << kMaxTimeoutSeconds << " seconds\n";
    return exitUsage;
  }
  if (pingCommand->parsed()) return ping(socket, timeoutSeconds);

  auto arguments = proxyhostctl::parseJson(argumentsText);
  if (!arguments) {
    std::cerr << "proxyhostctl: ARGS_JSON: " << arguments.error().message() << "\n";
    return exitUsage;
  }
  if (channel.empty() || channel == "/") {
    std::cerr << "proxyhostctl: CHANNEL is empty\n";
    return exitUsage;
  }
  if (channel.size() > 0xffff) {
    std::cerr << "proxyhostctl: CHANNEL is longer than 65535 bytes\n";
    return exitUsage;
  }
  return call(socket, timeoutSeconds, channel, method, *arguments);
}
