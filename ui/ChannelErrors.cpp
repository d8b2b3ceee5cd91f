#include "ui/ChannelErrors.h"

#include <algorithm>
#include <vector>

namespace ui {

namespace {

bool mentions(const std::string& text, const char* words) { return text.find(words) != std::string::npos; }

// What went wrong, told by the channel's code or by words of its message, in the order they are tried.
struct Cause {
  const char* code;                // the channel's code that tells it, or nullptr
  std::vector<const char*> words;  // or any of these in the message
  const char* outcome;             // what the person reads after "The system proxy was not switched on"
  const char* explanation;
};

const std::vector<Cause>& causes() {
  static const std::vector<Cause> table = {
      {"cancelled",
       {"User canceled", "(-128)"},
       "the password prompt was cancelled",
       "Changing the system proxy needs an administrator's approval. Nothing was changed."},
      {nullptr,
       {"No authentication agent"},
       "no password prompt could be shown",
       "No authentication agent is running in this session, so nobody could be asked for approval. Log in to a "
       "desktop session (it starts one), or run pkttyagent."},
      {nullptr,
       {"Not authorized", "Authorization was refused", "not authorized"},
       "the change was not authorized",
       "The system's policy does not let this user change the network proxy settings."},
      {nullptr,
       {"is not a recognized network service"},
       "a network service does not exist",
       "One of the chosen network services is gone. Services before it may already have changed; refresh the "
       "list and choose again."},
      {"bad_args", {}, "the settings were refused", "The host did not accept the server, ports or bypass list."},
      {nullptr,
       {"PROXYHOST_AUTHORIZATION"},
       "the authorization setting is wrong",
       "This host runs with a fixed authorization answer that it does not understand."},
  };
  return table;
}

}  // namespace

std::string detailsLine(const FlutterError& error) {
  return error.code + (error.message ? ": " + *error.message : std::string());
}

ExplainedError explainProxyError(const FlutterError& error, bool enabling) {
  const std::string what = enabling ? "The system proxy was not switched on" : "The system proxy was not switched off";
  const std::string message = error.message.value_or("");
  for (const Cause& cause : causes()) {
    const bool byCode = cause.code != nullptr && error.code == cause.code;
    const bool byWords =
        std::any_of(cause.words.begin(), cause.words.end(), [&](const char* w) { return mentions(message, w); });
    if (byCode || byWords) return {what + ": " + cause.outcome, cause.explanation, detailsLine(error)};
  }
  return {what, "networksetup or the administrator run failed; the details say how.", detailsLine(error)};
}

ExplainedError explainNoAnswer(const std::string& channel, const std::string& method, const std::string& why) {
  return {"The host did not answer " + method,
          "Nothing handles this call in the running host; it may be an older version.", channel + ": " + why};
}

std::string shortProbeError(const FlutterError& error) {
  if (error.code == "BAD_ARGS") return "not a valid target (" + detailsLine(error) + ")";
  return "error (" + detailsLine(error) + ")";
}

}  // namespace ui
