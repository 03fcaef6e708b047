#include "contestant.h"

#include <string_view>

namespace ostrel::bench {

std::unique_ptr<common::ChildProcess> Contestant::start(const std::string& socketPath) const {
  std::vector<std::string> args = argv;
  std::vector<std::string> env;
  if (socketInEnvironment) {
    env.push_back("OSTREL_SOCKET_PATH=" + socketPath);
  } else {
    args.push_back("UNIX-CONNECT:" + socketPath);
  }
  return std::make_unique<common::ChildProcess>(
      common::Launch{.argv = args, .environment = common::environmentWith(env)});
}

Contestants makeContestants(const std::string& hostPath, const std::string& floorPath,
                            const std::string& socatPath, const std::string& beforePath) {
  Contestants all;
  all.host = {"host", {hostPath, "chrome-extension://ostrelbench/"}, true, true};
  if (!beforePath.empty()) {
    all.before = {"before", {beforePath, "chrome-extension://ostrelbench/"}, true, true};
  }
  all.socat = {"socat", {socatPath, "STDIO"}, false, false};
  all.socatBig = {"socat -b 65536", {socatPath, "-b", "65536", "STDIO"}, false, false};
  all.floor = {"floor", {floorPath}, true, true};
  return all;
}

bool isConnectedStatus(const std::vector<std::uint8_t>& payload) {
  constexpr std::string_view kConnected = R"({"type":"status","app":"connected"})";
  return std::string_view(reinterpret_cast<const char*>(payload.data()), payload.size()) ==
         kConnected;
}

}  // namespace ostrel::bench
