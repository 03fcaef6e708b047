#include "channel/std_streams.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <set>
#include <thread>

#include "support/test_support.h"

namespace ostrel {
namespace {

using tests::Bytes;
using tests::frameOf;

// Both ends of a pipe, closed on destruction.
struct Pipe {
  int read = -1;
  int write = -1;
  Pipe() {
    int ends[2];
    if (::pipe(ends) == 0) {
      read = ends[0];
      write = ends[1];
    }
  }
  ~Pipe() {
    closeWrite();
    if (read >= 0) ::close(read);
  }
  void closeWrite() {
    if (write >= 0) ::close(write);
    write = -1;
  }
  int pending() const {
    int count = 0;
    ::ioctl(read, FIONREAD, &count);
    return count;
  }
};

std::string text(const Payload& payload) { return std::string(payload.text()); }

TEST(ReadMessageTest, ReadsFramesOneAfterAnotherWithoutReadingAhead) {
  Pipe pipe;
  Bytes stream = frameOf("{\"a\":1}");
  for (auto b : frameOf("")) stream.push_back(b);
  for (auto b : frameOf("xyz")) stream.push_back(b);
  ASSERT_TRUE(tests::writeBytes(pipe.write, stream));

  auto first = readMessage(pipe.read);
  ASSERT_TRUE(first);
  EXPECT_EQ(text(*first), "{\"a\":1}");
  EXPECT_EQ(pipe.pending(), 4 + 4 + 3);  // nothing of the next frame was consumed
  auto empty = readMessage(pipe.read);
  ASSERT_TRUE(empty);
  EXPECT_TRUE(empty->empty());
  auto third = readMessage(pipe.read);
  ASSERT_TRUE(third);
  EXPECT_EQ(text(*third), "xyz");
}

TEST(ReadMessageTest, AcceptsExactlyTheLimitAndRefusesOneMoreWithoutReadingIt) {
  Pipe pipe;
  const std::string big(static_cast<std::size_t>(kMaxMessageLength), 'x');
  std::thread writer([&] { tests::writeBytes(pipe.write, frameOf(big)); });
  auto whole = readMessage(pipe.read);
  writer.join();
  ASSERT_TRUE(whole);
  EXPECT_EQ(whole->size(), big.size());
  EXPECT_EQ(text(*whole), big);

  const Bytes overLong = {0x01, 0x00, 0x10, 0x00, 'a', 'b', 'c'};
  ASSERT_TRUE(tests::writeBytes(pipe.write, overLong));
  EXPECT_FALSE(readMessage(pipe.read));
  EXPECT_EQ(pipe.pending(), 3);  // the payload was neither read nor skipped
}

TEST(ReadMessageTest, EndOfInputInsideAFrameYieldsNothing) {
  const Bytes frame = frameOf("hello");
  for (std::size_t cut : {0u, 1u, 2u, 3u, 4u, 7u}) {
    Pipe pipe;
    ASSERT_TRUE(tests::writeBytes(pipe.write, Bytes(frame.begin(), frame.begin() + cut)));
    pipe.closeWrite();
    EXPECT_FALSE(readMessage(pipe.read)) << "cut after " << cut << " bytes";
  }
  EXPECT_FALSE(readMessage(-1)) << "a read error yields nothing";
}

TEST(ReadMessageTest, ReassemblesAFrameDeliveredOneByteAtATime) {
  int ends[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, ends), 0);
  const Bytes frame = frameOf("{\"type\":\"hello\",\"n\":12345}");
  std::thread writer([&] {
    for (std::uint8_t byte : frame) {
      tests::writeBytes(ends[1], Bytes{byte});
      std::this_thread::yield();
    }
  });
  auto payload = readMessage(ends[0]);
  writer.join();
  ASSERT_TRUE(payload);
  EXPECT_EQ(text(*payload), "{\"type\":\"hello\",\"n\":12345}");
  ::close(ends[0]);
  ::close(ends[1]);
}

std::atomic<int> interruptions{0};
void countInterruption(int) { interruptions.fetch_add(1); }

TEST(ReadMessageTest, RetriesReadsInterruptedBySignals) {
  struct sigaction action {};
  action.sa_handler = countInterruption;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;  // no SA_RESTART: blocked reads fail with EINTR
  struct sigaction previous {};
  ASSERT_EQ(sigaction(SIGUSR1, &action, &previous), 0);

  Pipe pipe;
  std::optional<Payload> result;
  std::atomic<bool> done{false};
  std::thread reader([&] {
    result = readMessage(pipe.read);
    done = true;
  });
  const pthread_t readerThread = reader.native_handle();
  const Bytes frame = frameOf("interrupted but whole");
  interruptions = 0;
  for (std::size_t sent = 0; sent < frame.size(); ++sent) {
    const int before = interruptions.load();
    ASSERT_TRUE(tests::waitUntil([&] {
      pthread_kill(readerThread, SIGUSR1);
      return interruptions.load() > before;
    }));
    ASSERT_TRUE(tests::writeBytes(pipe.write, Bytes{frame[sent]}));
  }
  reader.join();
  sigaction(SIGUSR1, &previous, nullptr);
  ASSERT_TRUE(done);
  ASSERT_TRUE(result);
  EXPECT_EQ(text(*result), "interrupted but whole");
  EXPECT_GE(interruptions.load(), static_cast<int>(frame.size()));
}

TEST(WriteAllTest, EmptyRangeNeedsNoWriteAndAClosedReaderFails) {
  EXPECT_TRUE(writeAll(-1, {}));  // would fail if write were called
  Pipe pipe;
  ::close(pipe.read);
  pipe.read = -1;
  const Bytes some = {1, 2, 3};
  EXPECT_FALSE(writeAll(pipe.write, some));
  writeMessage(some, pipe.write);  // returns quietly; SIGPIPE does not end the process
}

TEST(WriteAllTest, AFullDescriptorWaitsAsTheCallerSaysAndGivesUpWhenItSaysSo) {
  const Bytes big(1 << 20, 7);  // more than a pipe holds
  Pipe refused;
  ASSERT_EQ(::fcntl(refused.write, F_SETFL, O_NONBLOCK), 0);
  int waits = 0;
  EXPECT_FALSE(writeAll(refused.write, big, [&] { return ++waits, false; }));
  EXPECT_EQ(waits, 1);

  // A caller whose wait makes room: the reader empties the pipe each time.
  Pipe drained;
  ASSERT_EQ(::fcntl(drained.write, F_SETFL, O_NONBLOCK), 0);
  Bytes received;
  const auto takeWhatIsThere = [&] {
    Bytes chunk(65536);
    const ssize_t n = ::read(drained.read, chunk.data(), chunk.size());
    if (n > 0) received.insert(received.end(), chunk.begin(), chunk.begin() + n);
    return n > 0;
  };
  EXPECT_TRUE(writeAll(drained.write, big, takeWhatIsThere));
  ASSERT_EQ(::fcntl(drained.read, F_SETFL, O_NONBLOCK), 0);
  while (takeWhatIsThere()) {
  }
  EXPECT_EQ(received, big);
}

TEST(WriteMessageTest, FramesFromManyThreadsNeverInterleave) {
  int ends[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, ends), 0);
  constexpr int kThreads = 8;
  constexpr int kFrames = 60;
  std::vector<std::thread> writers;
  for (int t = 0; t < kThreads; ++t) {
    writers.emplace_back([&, t] {
      for (int i = 0; i < kFrames; ++i) {
        // Sizes up to ~96 KiB, so that writes are split by the kernel.
        const std::string body(static_cast<std::size_t>((i * 7919 + t * 104729) % 98304),
                               static_cast<char>('a' + t));
        const std::string payload = std::to_string(t) + ":" + std::to_string(i) + ":" + body;
        writeMessage(tests::bytesOf(payload), ends[1]);
      }
    });
  }
  std::set<std::string> seen;
  for (int n = 0; n < kThreads * kFrames; ++n) {
    auto frame = tests::readFrame(ends[0]);
    ASSERT_TRUE(frame) << "frame " << n;
    const std::string payload = tests::textOf(*frame);
    const int t = payload[0] - '0';
    const std::size_t bodyStart = payload.find(':', 2) + 1;
    EXPECT_EQ(payload.find_first_not_of(static_cast<char>('a' + t), bodyStart), std::string::npos)
        << "frame " << n << " carries bytes of another frame";
    seen.insert(payload.substr(0, bodyStart));
  }
  for (auto& writer : writers) writer.join();
  EXPECT_EQ(seen.size(), static_cast<std::size_t>(kThreads * kFrames));
  ::close(ends[0]);
  ::close(ends[1]);
}

}  // namespace
}  // namespace ostrel
