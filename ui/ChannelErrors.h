// The channels' errors in words a person understands. The channel's own code and message are kept
// for the details line, so nothing the host said is lost.
#pragma once

#include <string>

#include "platform/flutter/FlutterCodecs.h"

namespace ui {

struct ExplainedError {
  std::string title;        // what happened
  std::string explanation;  // what it means and what to do
  std::string details;      // the channel's code and message, as they came
};

// An error answer of the system proxy channel, for the change the person asked for (`enabling`:
// switching on, else off).
ExplainedError explainProxyError(const FlutterError& error, bool enabling);
// A channel that answered "not implemented", or a reply that did not decode.
ExplainedError explainNoAnswer(const std::string& channel, const std::string& method, const std::string& why);
// An error of the latency probe, short enough for a row.
std::string shortProbeError(const FlutterError& error);
// The codec's details line: "code: message".
std::string detailsLine(const FlutterError& error);

}  // namespace ui
