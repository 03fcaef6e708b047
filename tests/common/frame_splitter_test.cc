#include "tools/common/frame_splitter.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include "peers/frame_reader.h"
#include "platform/descriptors.h"
#include "tools/common/bytes.h"
#include "tools/common/stream_io.h"

namespace ostrel::common {
namespace {

Bytes concat(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const auto& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

// Feeds `bytes` and returns the payloads of every frame they completed.
std::vector<std::string> feed(FrameSplitter& splitter, std::span<const std::uint8_t> bytes) {
  splitter.feed(bytes);
  std::vector<std::string> payloads;
  while (const auto payload = splitter.next()) payloads.emplace_back(asText(*payload));
  return payloads;
}

TEST(FrameSplitter, ReassemblesFramesWhateverTheChunking) {
  const Bytes stream = concat({frameOf("abc"), frameOf(""), frameOf(std::string(70000, 'z'))});
  for (std::size_t chunk : {std::size_t{1}, std::size_t{3}, std::size_t{4096}, stream.size()}) {
    FrameSplitter splitter;
    std::vector<std::string> payloads;
    for (std::size_t at = 0; at < stream.size(); at += chunk) {
      const std::size_t n = std::min(chunk, stream.size() - at);
      for (std::string& payload : feed(splitter, {stream.data() + at, n})) {
        payloads.push_back(std::move(payload));
      }
    }
    splitter.end();
    EXPECT_EQ(payloads, (std::vector<std::string>{"abc", "", std::string(70000, 'z')}))
        << "chunk " << chunk;
    EXPECT_EQ(splitter.invalidBytes(), 0u);
  }
}

TEST(FrameSplitter, CountsAnUnfinishedFrameAtTheEndAsInvalid) {
  FrameSplitter splitter;
  Bytes bytes = concat({frameOf("ok"), frameOf("cut short")});
  bytes.resize(bytes.size() - 2);
  EXPECT_EQ(feed(splitter, bytes).size(), 1u);
  EXPECT_EQ(splitter.invalidBytes(), 0u);  // the rest may still come
  splitter.end();
  EXPECT_EQ(splitter.invalidBytes(), 4u + 7u);
  EXPECT_FALSE(splitter.broken());
}

TEST(FrameSplitter, AcceptsExactlyTheLimitAndBreaksOneByteAbove) {
  FrameSplitter atLimit(8);
  EXPECT_EQ(feed(atLimit, frameOf("12345678")).size(), 1u);
  EXPECT_FALSE(atLimit.broken());

  FrameSplitter overLimit(8);
  EXPECT_EQ(feed(overLimit, concat({frameOf("fine"), frameOf("123456789"), frameOf("later")})),
            std::vector<std::string>{"fine"});
  EXPECT_TRUE(overLimit.broken());
  EXPECT_EQ(overLimit.brokenLength(), 9u);
  // Nothing after a bad header can be trusted to be a frame.
  EXPECT_EQ(overLimit.invalidBytes(), 13u + 9u);
  EXPECT_TRUE(feed(overLimit, frameOf("x")).empty());
  EXPECT_EQ(overLimit.invalidBytes(), 13u + 9u + 5u);

  FrameSplitter byDefault;  // the host's own limit, 1 MiB
  EXPECT_TRUE(feed(byDefault, Bytes{0x01, 0x00, 0x10, 0x00}).empty());
  EXPECT_TRUE(byDefault.broken());
}

TEST(FrameReader, ReadsAPipesFramesAndNoticesAnEndInsideOne) {
  int ends[2];
  ASSERT_TRUE(openPipe(ends));
  const Bytes big(300000, 'b');  // more than a pipe holds: written while read
  std::thread writer([&] {
    const Bytes stream = concat({frameOf("first"), frameOf(big), frameOf("cut short")});
    EXPECT_TRUE(writeBytes(ends[1], {stream.data(), stream.size() - 3}));
    ::close(ends[1]);
  });
  peers::FrameReader reader(ends[0]);
  const auto first = reader.next();
  ASSERT_TRUE(first);
  EXPECT_EQ(asText(*first), "first");
  const auto second = reader.next();
  ASSERT_TRUE(second);
  EXPECT_TRUE(std::equal(second->begin(), second->end(), big.begin(), big.end()));
  EXPECT_FALSE(reader.next());
  EXPECT_TRUE(reader.failed());
  writer.join();
  ::close(ends[0]);
}

}  // namespace
}  // namespace ostrel::common
