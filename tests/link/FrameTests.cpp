#include <gtest/gtest.h>

#include <cstdlib>
#include <random>
#include <stdexcept>

#include "platform/flutter/EngineLinkFrame.h"
#include "platform/flutter/FlutterCodecs.h"

using namespace enginelink;

namespace {

using Bytes = std::vector<uint8_t>;

Bytes le32(uint32_t v) { return {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)}; }

Bytes cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

std::vector<Frame> readAll(FrameReader& reader) {
  std::vector<Frame> frames;
  while (auto f = reader.next()) frames.push_back(std::move(*f));
  return frames;
}

const std::vector<Frame> kSample = {
    HelloFrame{"net.proxyhost.client"},
    MessageFrame{0x01020304, "ab", {0xaa, 0xbb}},
    ReplyFrame{7, {}},
    MessageFrame{0xffffffff, "", {}},
    ReplyFrame{8, Bytes(300, 0x5a)},
};

Bytes sampleStream() {
  Bytes stream;
  for (const auto& f : kSample) {
    auto bytes = encodeFrame(f).value();
    stream.insert(stream.end(), bytes.begin(), bytes.end());
  }
  return stream;
}

}  // namespace

TEST(FrameEncoding, GoldenBytes) {
  EXPECT_EQ(encodeFrame(MessageFrame{0x01020304, "ab", {0xaa, 0xbb}}).value(),
            (Bytes{11, 0, 0, 0, 0x01, 0x04, 0x03, 0x02, 0x01, 2, 0, 'a', 'b', 0xaa, 0xbb}));
  EXPECT_EQ(encodeFrame(ReplyFrame{7, {}}).value(), (Bytes{5, 0, 0, 0, 0x02, 7, 0, 0, 0}));
  EXPECT_EQ(encodeFrame(ReplyFrame{0x100, {0}}).value(), (Bytes{6, 0, 0, 0, 0x02, 0, 1, 0, 0, 0}));
  EXPECT_EQ(encodeFrame(HelloFrame{"x.y"}).value(), (Bytes{4, 0, 0, 0, 0x03, 'x', '.', 'y'}));
  EXPECT_EQ(encodeFrame(HelloFrame{""}).value(), (Bytes{1, 0, 0, 0, 0x03}));
}

// The exchange docs/engine-link.md walks through, byte for byte.
TEST(FrameEncoding, DocumentedExchange) {
  const auto& codec = StandardMethodCodec::getInstance();
  const std::string method = "launchAtStartupIsEnabled", channel = "launch_at_startup";
  EXPECT_EQ(encodeFrame(MessageFrame{1, channel, codec.encodeMethodCall({method, EncodableValue()})}).value(),
            cat({{0x33, 0, 0, 0, 0x01, 1, 0, 0, 0, 0x11, 0},
                 Bytes(channel.begin(), channel.end()),
                 {0x07, 0x18},
                 Bytes(method.begin(), method.end()),
                 {0x00}}));
  EXPECT_EQ(encodeFrame(ReplyFrame{1, codec.encodeSuccessEnvelope(false)}).value(),
            (Bytes{0x07, 0, 0, 0, 0x02, 1, 0, 0, 0, 0x00, 0x02}));
  EXPECT_EQ(encodeFrame(HelloFrame{"net.proxyhost.client"}).value().front(), 0x15);
}

TEST(FrameEncoding, RefusesWhatTheFormatCannotCarry) {
  EXPECT_EQ(encodeFrame(MessageFrame{1, std::string(0x10000, 'c'), {}}).error().message(),
            "engine link: channel name longer than 65535 bytes");
  EXPECT_TRUE(encodeFrame(MessageFrame{1, std::string(0xffff, 'c'), {}}));
  EXPECT_EQ(encodeFrame(ReplyFrame{1, Bytes(kMaxFrameLength - 4)}).error().message(),
            "engine link: frame longer than 16 MiB");
  EXPECT_EQ(encodeFrame(ReplyFrame{1, Bytes(kMaxFrameLength - 5)})->size(), 4 + kMaxFrameLength);
}

TEST(FrameReading, ByteByByteYieldsEachFrameOnItsLastByte) {
  const Bytes stream = sampleStream();
  FrameReader reader;
  std::vector<Frame> frames;
  size_t frameEnd = encodeFrame(kSample[0]).value().size();
  for (size_t i = 0; i < stream.size(); ++i) {
    reader.append(&stream[i], 1);
    auto f = reader.next();
    ASSERT_EQ(f.has_value(), i + 1 == frameEnd) << "at byte " << i;
    if (f) {
      frames.push_back(*f);
      EXPECT_EQ(reader.buffered(), 0u);
      if (frames.size() < kSample.size()) frameEnd += encodeFrame(kSample[frames.size()]).value().size();
    }
  }
  EXPECT_EQ(frames, kSample);
  EXPECT_FALSE(reader.failed());
}

TEST(FrameReading, AnyChunkingGivesTheSameFrames) {
  Bytes stream;
  for (int round = 0; round < 50; ++round) {
    auto s = sampleStream();
    stream.insert(stream.end(), s.begin(), s.end());
  }
  std::mt19937 random(42);
  for (int trial = 0; trial < 20; ++trial) {
    FrameReader reader;
    std::vector<Frame> frames;
    for (size_t off = 0; off < stream.size();) {
      size_t n = std::min<size_t>(stream.size() - off, 1 + random() % 700);
      reader.append(stream.data() + off, n);
      off += n;
      auto got = readAll(reader);
      frames.insert(frames.end(), got.begin(), got.end());
    }
    ASSERT_EQ(frames.size(), kSample.size() * 50);
    for (size_t i = 0; i < frames.size(); ++i) ASSERT_EQ(frames[i], kSample[i % kSample.size()]);
    EXPECT_EQ(reader.buffered(), 0u);
  }
}

TEST(FrameReading, OversizeLengthFailsBeforeTheBodyArrives) {
  FrameReader reader;
  const Bytes header = le32(kMaxFrameLength + 1);
  reader.append(header.data(), 3);
  EXPECT_FALSE(reader.failed());
  reader.append(header.data() + 3, 1);
  EXPECT_TRUE(reader.failed());
  EXPECT_NE(reader.error().find("length"), std::string::npos);
  const Bytes body(1 << 20, 0x02);
  reader.append(body.data(), body.size());
  EXPECT_LE(reader.buffered(), 4u);
  EXPECT_FALSE(reader.next());

  FrameReader atLimit;  // exactly the limit is a valid length
  const Bytes limitHeader = cat({le32(kMaxFrameLength), {0x02}});
  atLimit.append(limitHeader.data(), limitHeader.size());
  EXPECT_FALSE(atLimit.failed());
}

TEST(FrameReading, BadHeadersFailAsSoonAsTheyAreIn) {
  struct Case {
    const char* name;
    Bytes bytes;  // the header bytes that decide; the rest of the body never comes
  };
  const Case cases[] = {
      {"zero length", le32(0)},
      {"unknown type", cat({le32(100), {0x04}})},
      {"type zero", cat({le32(100), {0x00}})},
      {"message without room for id and channel length", cat({le32(6), {0x01}})},
      {"message channel longer than its body", cat({le32(1 + 6 + 4), {0x01}, le32(1), {5, 0}})},
      {"reply without room for its id", cat({le32(4), {0x02}})},
  };
  for (const auto& c : cases) {
    FrameReader reader;
    reader.append(c.bytes.data(), c.bytes.size() - 1);
    EXPECT_FALSE(reader.failed()) << c.name;
    reader.append(&c.bytes.back(), 1);
    EXPECT_TRUE(reader.failed()) << c.name;
    EXPECT_FALSE(reader.next()) << c.name;
  }
}

TEST(FrameReading, FramesBeforeABadOneStillComeOut) {
  const Bytes good = encodeFrame(ReplyFrame{3, {1, 2}}).value();
  const Bytes stream = cat({good, good, le32(10), {0x09}, Bytes(9, 0)});
  FrameReader reader;
  reader.append(stream.data(), stream.size());
  EXPECT_FALSE(reader.failed());
  EXPECT_EQ(readAll(reader).size(), 2u);
  EXPECT_TRUE(reader.failed());
  EXPECT_NE(reader.error().find("type 9"), std::string::npos) << reader.error();
  reader.append(good.data(), good.size());
  EXPECT_FALSE(reader.next());
}

TEST(SocketPath, FollowsTheEnvironment) {
  auto saved = [](const char* name) -> std::optional<std::string> {
    const char* v = std::getenv(name);
    return v ? std::optional<std::string>(v) : std::nullopt;
  };
  const auto explicitPath = saved("PROXYHOST_ENGINE_SOCKET"), runtime = saved("XDG_RUNTIME_DIR");

  ::setenv("PROXYHOST_ENGINE_SOCKET", "/elsewhere/x.sock", 1);
  ::setenv("XDG_RUNTIME_DIR", "/run/user/1000", 1);
  EXPECT_EQ(socketPath("a.b"), "/elsewhere/x.sock");
  ::setenv("PROXYHOST_ENGINE_SOCKET", "", 1);
  EXPECT_EQ(socketPath("a.b"), "/run/user/1000/a.b/engine.sock");
  ::unsetenv("XDG_RUNTIME_DIR");
  EXPECT_EQ(socketPath("a.b"), "/tmp/a.b-" + std::to_string(getuid()) + "/engine.sock");

  auto restore = [](const char* name, const std::optional<std::string>& v) {
    v ? ::setenv(name, v->c_str(), 1) : ::unsetenv(name);
  };
  restore("PROXYHOST_ENGINE_SOCKET", explicitPath);
  restore("XDG_RUNTIME_DIR", runtime);
}
