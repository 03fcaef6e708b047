#ifndef OSTREL_BENCH_CONTESTANT_H_
#define OSTREL_BENCH_CONTESTANT_H_

// The programs measured against each other: the host, socat in the host's
// place (with its default and with a 64 KiB buffer), and the floor program
// that only connects and writes one frame. Each knows how to start itself
// against a given socket path and whether it greets with a status frame.

#include <memory>
#include <string>
#include <vector>

#include "tools/common/child_process.h"

namespace ostrel::bench {

struct Contestant {
  std::string name;
  std::vector<std::string> argv;     // before the socket is filled in: see start()
  bool socketInEnvironment = false;  // else "UNIX-CONNECT:<path>" is the last argument
  bool sendsStatus = false;          // writes {"type":"status","app":...} first

  std::unique_ptr<common::ChildProcess> start(const std::string& socketPath) const;
};

struct Contestants {
  Contestant host;
  Contestant before;  // an earlier build of the host, when one is given (name not empty)
  Contestant socat;
  Contestant socatBig;
  Contestant floor;
};

// `beforePath` may be empty: no earlier build is measured.
Contestants makeContestants(const std::string& hostPath, const std::string& floorPath,
                            const std::string& socatPath, const std::string& beforePath);

// True when `payload` is the host's "connected" status message.
bool isConnectedStatus(const std::vector<std::uint8_t>& payload);

}  // namespace ostrel::bench

#endif  // OSTREL_BENCH_CONTESTANT_H_
