#ifndef OSTREL_TESTS_TAP_FOREIGN_LISTENER_H_
#define OSTREL_TESTS_TAP_FOREIGN_LISTENER_H_

// A server run by another user, for the tests of who is trusted with the
// extension's messages: a child process that listens on a Unix-domain
// socket as uid kOtherUser and counts the connections and bytes that reach
// it. Needs root, to become that user; the system records the user at
// listen(), so a socket bound first as root keeps a root-owned file while
// the server behind it is another user's.

#include <sys/types.h>

#include <optional>
#include <string>

namespace ostrel::tests {

inline constexpr uid_t kOtherUser = 65534;

struct ForeignTally {
  int connections = 0;
  long long bytes = 0;
};

class ForeignListener {
 public:
  ForeignListener(const std::string& path, bool bindAsRoot);
  ~ForeignListener();
  ForeignListener(const ForeignListener&) = delete;
  ForeignListener& operator=(const ForeignListener&) = delete;

  // True once the child listens; why not otherwise.
  bool listening() const { return error_.empty(); }
  const std::string& error() const { return error_; }

  // Ends the server and tells what reached it; nothing when it did not
  // answer in time.
  std::optional<ForeignTally> finish();

 private:
  pid_t pid_ = -1;
  int stop_ = -1;    // closing it ends the server
  int report_ = -1;  // its readiness, then its tally
  std::string error_;
};

}  // namespace ostrel::tests

#endif  // OSTREL_TESTS_TAP_FOREIGN_LISTENER_H_
