// Errors too large for one reply frame: they reach the Flutter side cut to fit and marked, never
// as the empty reply that reads as "not implemented".
#include <gtest/gtest.h>

#include "platform/flutter/EngineLinkFrame.h"
#include "platform/flutter/FlutterChannels.h"
#include "tests/link/LinkTestSupport.h"
#include "tools/proxyhostctl/LinkClient.h"

using namespace linktest;
using enginelink::kMaxFrameLength;
using enginelink::kMaxReplyPayload;
using enginelink::LinkClient;

namespace {

const std::string kMark = "\u2026(trimmed)";
const auto& codec = StandardMethodCodec::getInstance();

bool endsWithMark(const std::optional<std::string>& text) { return text && text->ends_with(kMark); }

// The error as the Flutter side reads the reply bytes; fails the test for anything else.
FlutterError errorOf(const std::vector<uint8_t>& reply) {
  EXPECT_LE(reply.size(), kMaxReplyPayload);
  auto envelope = codec.decodeEnvelope(reply);
  EXPECT_TRUE(envelope && std::holds_alternative<FlutterError>(*envelope)) << "reply of " << reply.size() << " bytes";
  if (!envelope || !std::holds_alternative<FlutterError>(*envelope)) return {};
  return std::get<FlutterError>(*envelope);
}

}  // namespace

class ErrorReplyTest : public LinkFixture {};

TEST_F(ErrorReplyTest, AnErrorLargerThanAFrameArrivesTrimmed) {
  const std::string message(kMaxFrameLength + 1000, 'm');
  startLink([&](const std::string&, std::vector<uint8_t>, FlutterBinaryReply reply) {
    reply(encodeResultValue(FlutterError{"E_BIG", message, std::vector<uint8_t>(kMaxFrameLength / 2, 1)}));
  });
  auto reply = offMain([&] { return (*LinkClient::connect(path_, 5s))->call("c", {}, 30s).ok(); }, 30s);
  ASSERT_TRUE(reply.has_value());
  ASSERT_FALSE(reply->empty()) << "the error came back as \"not implemented\"";
  FlutterError error = errorOf(*reply);
  EXPECT_EQ(error.code, "E_BIG");
  EXPECT_TRUE(endsWithMark(error.message));
  EXPECT_TRUE(error.message->starts_with(std::string(1000, 'm')));
  EXPECT_TRUE(error.details.isNull());
}

TEST(ErrorReplyTrimming, WhatIsKeptAndWhatIsCut) {
  // An error that fits goes as it is.
  const FlutterError small{"E", "went wrong", EncodableMap{{"errno", int32_t{5}}}};
  EXPECT_EQ(encodeResultValue(small), codec.encodeErrorEnvelope(small));

  // Text details give way to the message, cut and marked.
  FlutterError textDetails = errorOf(encodeResultValue(FlutterError{"E", "short", std::string(kMaxFrameLength, 'd')}));
  EXPECT_EQ(textDetails.message, "short");
  ASSERT_TRUE(textDetails.details.asString());
  EXPECT_TRUE(textDetails.details.asString()->ends_with(kMark));
  EXPECT_GT(textDetails.details.asString()->size(), kMaxFrameLength - 1024u);

  // Small structured details stay beside a message that is cut.
  const EncodableMap fields{{"errno", int32_t{5}}, {"rate", 0.5}};
  FlutterError bigMessage = errorOf(encodeResultValue(FlutterError{"E", std::string(kMaxFrameLength, 'm'), fields}));
  EXPECT_TRUE(endsWithMark(bigMessage.message));
  EXPECT_EQ(bigMessage.details, EncodableValue(fields));

  // Large structured details are dropped, and the message says something was cut even when it had none.
  FlutterError dropped =
      errorOf(encodeResultValue(FlutterError{"E", std::nullopt, std::vector<double>(kMaxFrameLength / 8)}));
  EXPECT_EQ(dropped.message, kMark);
  EXPECT_TRUE(dropped.details.isNull());

  // A cut never splits a UTF-8 sequence: two-byte letters stay whole before the mark.
  std::string letters;
  while (letters.size() <= kMaxFrameLength) letters += "\u00e9";
  FlutterError utf8 = errorOf(encodeResultValue(FlutterError{"E", "x" + letters, {}}));
  ASSERT_TRUE(endsWithMark(utf8.message));
  const std::string kept = utf8.message->substr(0, utf8.message->size() - kMark.size());
  EXPECT_EQ(kept.size() % 2, 1u);
  EXPECT_EQ(kept.substr(kept.size() - 2), "\u00e9");
}
