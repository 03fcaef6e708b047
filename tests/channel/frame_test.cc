#include "channel/frame.h"

#include <gtest/gtest.h>

#include "channel/payload.h"

namespace ostrel {
namespace {

using Bytes = std::vector<std::uint8_t>;

TEST(FrameTest, LengthIsLittleEndianAndUnsigned) {
  const std::uint8_t fiveBytes[4] = {0x05, 0, 0, 0};
  const std::uint8_t oneMebibyte[4] = {0, 0, 0x10, 0};
  const std::uint8_t largest[4] = {0xff, 0xff, 0xff, 0xff};
  EXPECT_EQ(decodeFrameLength(fiveBytes), 5u);
  EXPECT_EQ(decodeFrameLength(oneMebibyte), 1048576u);
  EXPECT_EQ(decodeFrameLength(largest), 4294967295u);
}

TEST(FrameTest, FrameMessagePrefixesTheLength) {
  const Bytes abc = {'a', 'b', 'c'};
  EXPECT_EQ(frameMessage(abc), (Bytes{3, 0, 0, 0, 'a', 'b', 'c'}));
  EXPECT_EQ(frameMessage({}), (Bytes{0, 0, 0, 0}));
}

TEST(FrameTest, PayloadCarriesItsFrameAndZeroPadding) {
  Payload payload = Payload::copyOf(std::string_view("{\"type\":\"x\"}"));
  const auto frame = payload.frame();
  EXPECT_EQ(Bytes(frame.begin(), frame.end()), frameMessage(payload.bytes()));
  for (std::size_t i = 0; i < kPayloadPadding; ++i)
    EXPECT_EQ(payload.data()[payload.size() + i], 0);
  EXPECT_EQ(Payload(0).frame().size(), 4u);
}

}  // namespace
}  // namespace ostrel
