// FrameReader against an arbitrary byte stream cut into arbitrary chunks: however the bytes
// arrive, it must cut the same frames and fail at the same point as when they come at once, and
// every frame it hands out must re-encode to exactly the bytes it came from.
#include <cstdint>
#include <cstdlib>

#include "platform/flutter/EngineLinkFrame.h"

using namespace enginelink;

namespace {

struct Outcome {
  std::vector<Frame> frames;
  bool failed = false;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  // The first byte seeds the chunk sizes; the rest is the stream.
  uint32_t seed = data[0] | 1u;
  const uint8_t* stream = data + 1;
  const size_t length = size - 1;

  Outcome whole;
  {
    FrameReader reader;
    reader.append(stream, length);
    while (auto f = reader.next()) whole.frames.push_back(std::move(*f));
    whole.failed = reader.failed();
  }

  Outcome chunked;
  FrameReader reader;
  for (size_t off = 0; off < length;) {
    seed = seed * 1103515245u + 12345u;
    size_t n = 1 + (seed >> 16) % 64;
    if (n > length - off) n = length - off;
    reader.append(stream + off, n);
    off += n;
    while (auto f = reader.next()) chunked.frames.push_back(std::move(*f));
    // A reader never holds more than the frame in progress and the chunk it was just given.
    if (reader.buffered() > 4 + kMaxFrameLength + 64) std::abort();
  }
  chunked.failed = reader.failed();

  if (chunked.failed != whole.failed || chunked.frames != whole.frames) std::abort();

  size_t consumed = 0;
  for (const auto& frame : whole.frames) {
    const auto bytes = encodeFrame(frame).value();
    if (bytes.size() > length - consumed || !std::equal(bytes.begin(), bytes.end(), stream + consumed)) std::abort();
    consumed += bytes.size();
  }
  return 0;
}
