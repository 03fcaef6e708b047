// Payloads built to hurt a parser or a text decoder are relayed byte for
// byte, in both directions, and the host lives on.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <string>
#include <vector>

#include "fault_support.h"

namespace ostrel::tests {
namespace {

constexpr std::size_t kMaxPayload = 1048576;

class HostilePayloads : public ConnectedHostTest {
 protected:
  // Browser to application, then back, unchanged.
  void expectRelayedBothWays(const Bytes& payload) {
    ASSERT_TRUE(host.send(frameOfBytes(payload)));
    std::optional<Bytes> atApp = connection->readFrame();
    ASSERT_TRUE(atApp);
    EXPECT_TRUE(*atApp == payload) << "browser to application: " << atApp->size() << " bytes";
    ASSERT_TRUE(connection->send(frameOfBytes(payload)));
    std::optional<Bytes> atBrowser = host.readFrame();
    ASSERT_TRUE(atBrowser);
    EXPECT_TRUE(*atBrowser == payload)
        << "application to browser: " << atBrowser->size() << " bytes";
  }

  void expectAliveAndCleanExit() {
    ASSERT_TRUE(host.sendFrame(R"({"type":"still there"})"));
    EXPECT_EQ(connection->readFrame(), bytesOf(R"({"type":"still there"})"));
    EXPECT_TRUE(endsCleanly(host));
  }
};

TEST_F(HostilePayloads, DeepNestingOfTheLargestSizeIsForwarded) {
  expectRelayedBothWays(Bytes(kMaxPayload, '['));
  expectRelayedBothWays(Bytes(kMaxPayload, '{'));
  // A message type in front of the nesting: too deep to classify, so it is
  // forwarded as a message without a type.
  std::string typed = R"({"type":"hello","x":)";
  typed.append(kMaxPayload - typed.size(), '[');
  expectRelayedBothWays(bytesOf(typed));
  expectAliveAndCleanExit();
}

TEST_F(HostilePayloads, InvalidUtf8IsForwardedUnchanged) {
  const std::vector<std::string> payloads = {
      "\xff\xfe\xfd",                         // never valid in UTF-8
      "{\"type\":\"hello\xc3\x28\"}",         // a lead byte without its continuation
      "{\"type\":\"\xc0\xaf\"}",              // an overlong encoding of '/'
      "{\"type\":\"\xed\xa0\x80\"}",          // an encoded surrogate
      "{\"type\":\"\xf4\x90\x80\x80\"}",      // above U+10FFFF
      "{\"type\":\"focus\",\"x\":\"\x80\"}",  // a lone continuation byte
      std::string("{\"type\":\"nul\0inside\"}", 20),
      R"({"type":"\ud800"})",  // an escaped lone surrogate
  };
  for (const std::string& payload : payloads) expectRelayedBothWays(bytesOf(payload));
  expectAliveAndCleanExit();
}

}  // namespace
}  // namespace ostrel::tests
