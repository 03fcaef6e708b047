#include "frame_splitter.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace ostrel::standins {
namespace {

std::vector<std::uint8_t> frame(std::string_view text) {
  std::span<const std::uint8_t> payload(reinterpret_cast<const std::uint8_t*>(text.data()),
                                        text.size());
  return frameMessage(payload);
}

std::vector<std::uint8_t> concat(std::initializer_list<std::vector<std::uint8_t>> parts) {
  std::vector<std::uint8_t> all;
  for (const auto& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

std::string text(const std::vector<std::uint8_t>& bytes) { return {bytes.begin(), bytes.end()}; }

TEST(FrameSplitter, ReassemblesFramesWhateverTheChunking) {
  const auto stream = concat({frame("abc"), frame(""), frame(std::string(70000, 'z'))});
  for (std::size_t chunk : {std::size_t{1}, std::size_t{3}, std::size_t{4096}, stream.size()}) {
    FrameSplitter splitter;
    std::vector<std::string> payloads;
    for (std::size_t at = 0; at < stream.size(); at += chunk) {
      const std::size_t n = std::min(chunk, stream.size() - at);
      for (const auto& payload : splitter.feed({stream.data() + at, n})) {
        payloads.push_back(text(payload));
      }
    }
    splitter.end();
    ASSERT_EQ(payloads.size(), 3u) << "chunk " << chunk;
    EXPECT_EQ(payloads[0], "abc");
    EXPECT_EQ(payloads[1], "");
    EXPECT_EQ(payloads[2], std::string(70000, 'z'));
    EXPECT_EQ(splitter.invalidBytes(), 0u);
  }
}

TEST(FrameSplitter, CountsAnUnfinishedFrameAtTheEndAsInvalid) {
  FrameSplitter splitter;
  auto bytes = concat({frame("ok"), frame("cut short")});
  bytes.resize(bytes.size() - 2);
  EXPECT_EQ(splitter.feed(bytes).size(), 1u);
  EXPECT_EQ(splitter.invalidBytes(), 0u);  // the rest may still come
  splitter.end();
  EXPECT_EQ(splitter.invalidBytes(), 4u + 7u);
  EXPECT_FALSE(splitter.broken());
}

TEST(FrameSplitter, AcceptsExactlyTheLimitAndBreaksOneByteAbove) {
  FrameSplitter atLimit(8);
  EXPECT_EQ(atLimit.feed(frame("12345678")).size(), 1u);
  EXPECT_FALSE(atLimit.broken());

  FrameSplitter overLimit(8);
  const auto bytes = concat({frame("fine"), frame("123456789"), frame("later")});
  EXPECT_EQ(overLimit.feed(bytes).size(), 1u);
  EXPECT_TRUE(overLimit.broken());
  EXPECT_EQ(overLimit.brokenLength(), 9u);
  // Nothing after a bad header can be trusted to be a frame.
  EXPECT_EQ(overLimit.invalidBytes(), 13u + 9u);
  EXPECT_TRUE(overLimit.feed(frame("x")).empty());
  EXPECT_EQ(overLimit.invalidBytes(), 13u + 9u + 5u);
}

TEST(FrameSplitter, UsesTheHostsOneMebibyteLimitByDefault) {
  FrameSplitter splitter;
  const std::vector<std::uint8_t> header = {0x01, 0x00, 0x10, 0x00};  // 1048577
  splitter.feed(header);
  EXPECT_TRUE(splitter.broken());
}

}  // namespace
}  // namespace ostrel::standins
