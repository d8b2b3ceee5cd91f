#include "ui/ChannelErrors.h"

namespace ui {

namespace {

bool mentions(const std::string& text, const char* words) { return text.find(words) != std::string::npos; }

}  // namespace

std::string detailsLine(const FlutterError& error) {
  return error.code + (error.message ? ": " + *error.message : std::string());
}

ExplainedError explainProxyError(const FlutterError& error, bool enabling) {
  const std::string what = enabling ? "The system proxy was not switched on" : "The system proxy was not switched off";
  const std::string message = error.message.value_or("");
  ExplainedError explained{what, "", detailsLine(error)};
  if (error.code == "cancelled" || mentions(message, "User canceled") || mentions(message, "(-128)")) {
    explained.title = what + ": the password prompt was cancelled";
    explained.explanation = "Changing the system proxy needs an administrator's approval. Nothing was changed.";
  } else if (mentions(message, "No authentication agent")) {
    explained.title = what + ": no password prompt could be shown";
    explained.explanation =
        "No authentication agent is running in this session, so nobody could be asked for approval. Log in to a "
        "desktop session (it starts one), or run pkttyagent.";
  } else if (mentions(message, "Not authorized") || mentions(message, "Authorization was refused") ||
             mentions(message, "not authorized")) {
    explained.title = what + ": the change was not authorized";
    explained.explanation = "The system's policy does not let this user change the network proxy settings.";
  } else if (mentions(message, "is not a recognized network service")) {
    explained.title = what + ": a network service does not exist";
    explained.explanation =
        "One of the chosen network services is gone. Services before it may already have "
        "changed; refresh the list and choose again.";
  } else if (error.code == "bad_args") {
    explained.title = what + ": the settings were refused";
    explained.explanation = "The host did not accept the server, ports or bypass list.";
  } else if (mentions(message, "PROXYHOST_AUTHORIZATION")) {
    explained.title = what + ": the authorization setting is wrong";
    explained.explanation = "This host runs with a fixed authorization answer that it does not understand.";
  } else {
    explained.title = what;
    explained.explanation = "networksetup or the administrator run failed; the details say how.";
  }
  return explained;
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
