#ifndef OSTREL_TESTS_FAULT_FAULT_SUPPORT_H_
#define OSTREL_TESTS_FAULT_FAULT_SUPPORT_H_

// What the fault tests look at in a running host from outside (its
// descriptors, memory, threads and child processes, from tools/common/process_table),
// deterministic payload patterns for large-traffic tests, and a fixture
// with a host connected to the application.

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <optional>

#include "support/test_support.h"
#include "tools/common/process_table.h"

namespace ostrel::tests {

// True when this build runs under a sanitizer, whose shadow memory and
// quarantine make resident memory meaningless as a leak measure.
constexpr bool kSanitizedBuild =
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
    true;
#else
    false;
#endif
#else
    false;
#endif

using common::childrenOf;
using common::descriptorCount;
using common::ProcessEntry;
using common::residentKiB;
using common::signalThread;
using common::threadIds;

inline Bytes frameOfBytes(const Bytes& payload) { return frameOf(payload); }

// `size` bytes whose content depends on `index` and on the position, so that
// a lost, repeated or misplaced byte shows.
Bytes patternPayload(std::uint32_t index, std::size_t size);

// A host started with the application listening, its start-up connection
// accepted and its "connected" status read.
class ConnectedHostTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(app.listening());
    ASSERT_TRUE(host.started());
    std::optional<AppConnection> accepted = app.accept();
    ASSERT_TRUE(accepted);
    connection = std::move(accepted);
    ASSERT_EQ(host.readFrame(), bytesOf(kConnected));
  }
  void expectCleanExit() { EXPECT_TRUE(endsCleanly(host)); }

  TempDir dir;
  FakeApp app{dir.file("app.sock")};
  HostProcess host{hostExecutable(), {{"OSTREL_SOCKET_PATH", dir.file("app.sock")}}};
  std::optional<AppConnection> connection;
};

}  // namespace ostrel::tests

#endif  // OSTREL_TESTS_FAULT_FAULT_SUPPORT_H_
