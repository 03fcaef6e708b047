#include "relay/incoming_frames.h"

#include <gtest/gtest.h>

#include <cstring>

#include "channel/frame.h"
#include "support/test_support.h"

namespace ostrel {
namespace {

using tests::Bytes;
using tests::frameOf;
using Status = IncomingFrames::Status;

void append(IncomingFrames& incoming, const Bytes& bytes) {
  auto space = incoming.tail(bytes.size());
  if (!bytes.empty()) std::memcpy(space.data(), bytes.data(), bytes.size());
  incoming.commit(bytes.size());
}

// Takes every complete frame off the front, as the reader does, and cuts
// the run apart by the lengths in its headers.
std::vector<std::string> drain(IncomingFrames& incoming, Status* stop = nullptr) {
  const IncomingFrames::CompleteRun run = incoming.completeFrames(kMaxMessageLength);
  if (stop) *stop = run.next;
  std::vector<std::string> payloads;
  for (std::size_t at = 0; at < run.frames.size();) {
    const std::size_t length = run.frames[at] | run.frames[at + 1] << 8 | run.frames[at + 2] << 16 |
                               std::size_t{run.frames[at + 3]} << 24;
    payloads.emplace_back(run.frames.begin() + at + 4, run.frames.begin() + at + 4 + length);
    at += 4 + length;
  }
  incoming.consume(run.frames.size());
  return payloads;
}

TEST(IncomingFramesTest, WaitsForSplitHeadersAndPayloads) {
  const Bytes frame = frameOf("{\"x\":1}");
  for (std::size_t split : {1u, 3u, 4u, 6u}) {
    IncomingFrames incoming;
    append(incoming, Bytes(frame.begin(), frame.begin() + split));
    EXPECT_TRUE(drain(incoming).empty()) << "split at " << split;
    append(incoming, Bytes(frame.begin() + split, frame.end()));
    EXPECT_EQ(drain(incoming), std::vector<std::string>{"{\"x\":1}"}) << "split at " << split;
    EXPECT_TRUE(incoming.empty());
  }
}

TEST(IncomingFramesTest, TakesEveryWholeFrameAndKeepsTheTrailingPart) {
  IncomingFrames incoming;
  Bytes burst;
  for (auto* text : {"a", "", "bc"}) {
    const Bytes frame = frameOf(text);
    burst.insert(burst.end(), frame.begin(), frame.end());
  }
  const Bytes last = frameOf("tail");
  burst.insert(burst.end(), last.begin(), last.begin() + 6);
  append(incoming, burst);
  EXPECT_EQ(drain(incoming), (std::vector<std::string>{"a", "", "bc"}));
  EXPECT_EQ(incoming.size(), 6u);
  append(incoming, Bytes(last.begin() + 6, last.end()));
  EXPECT_EQ(drain(incoming), std::vector<std::string>{"tail"});
}

TEST(IncomingFramesTest, JudgesTheLengthBeforeThePayloadArrives) {
  const struct {
    Bytes header;
    Status expected;
  } cases[] = {
      {{0x00, 0x00, 0x10, 0x00}, Status::kIncomplete},  // exactly 1 MiB: wait for it
      {{0x01, 0x00, 0x10, 0x00}, Status::kTooLong},     // one byte more
      {{0xff, 0xff, 0xff, 0xff}, Status::kTooLong},     // 4294967295, not negative
  };
  for (const auto& c : cases) {
    IncomingFrames incoming;
    append(incoming, frameOf("before"));
    append(incoming, c.header);
    Status stop{};
    EXPECT_EQ(drain(incoming, &stop), std::vector<std::string>{"before"});
    EXPECT_EQ(stop, c.expected);
  }
}

TEST(IncomingFramesTest, AcceptsAFrameOfExactlyTheLimitInReadSizedPieces) {
  IncomingFrames incoming;
  const std::string big(static_cast<std::size_t>(kMaxMessageLength), 'z');
  const Bytes frame = frameOf(big);
  std::size_t offset = 0;
  while (offset < frame.size()) {
    const std::size_t piece = std::min<std::size_t>(65536, frame.size() - offset);
    if (offset + piece < frame.size()) {
      append(incoming, Bytes(frame.begin() + offset, frame.begin() + offset + piece));
      EXPECT_TRUE(drain(incoming).empty());
      EXPECT_LE(incoming.size(), static_cast<std::size_t>(kMaxMessageLength) + 3);
    } else {
      append(incoming, Bytes(frame.begin() + offset, frame.end()));
      const auto payloads = drain(incoming);
      ASSERT_EQ(payloads.size(), 1u);
      EXPECT_EQ(payloads[0], big);
    }
    offset += piece;
  }
  incoming.clear();
  EXPECT_TRUE(incoming.empty());
}

}  // namespace
}  // namespace ostrel
