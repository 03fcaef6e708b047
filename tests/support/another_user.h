#ifndef OSTREL_TESTS_SUPPORT_ANOTHER_USER_H_
#define OSTREL_TESTS_SUPPORT_ANOTHER_USER_H_

// Runs a forked child as a user other than the test's, so that the host
// meets a peer of another user, whether the tests run as root or not.
//
// Linux: the child enters a user namespace of its own and becomes its root,
// which the parent maps to another user: root maps it to a spare user id
// itself; anyone else through newuidmap and newgidmap (package uidmap),
// with the first of their subordinate ids (/etc/subuid, /etc/subgid).
// macOS, which has no user namespaces: root only, by setuid.
//
// Made before fork(); then the child calls becomeInChild() (only system
// calls, as after a fork of a process with threads) and the parent
// grantFromParent(). A child that is refused ends on its own.

#include <sys/types.h>

#include <optional>
#include <string>

namespace ostrel::tests {

class AnotherUser {
 public:
  AnotherUser();
  ~AnotherUser();
  AnotherUser(const AnotherUser&) = delete;
  AnotherUser& operator=(const AnotherUser&) = delete;

  // In the child: true once it runs as another user.
  bool becomeInChild();
  // In the parent: nothing once the child runs as another user, otherwise
  // why that cannot be done here (a reason to skip the test).
  std::optional<std::string> grantFromParent(pid_t child);

 private:
  int toParent_[2] = {-1, -1};  // the child's word: its namespace is made
  int toChild_[2] = {-1, -1};   // the parent's word: it is mapped
};

}  // namespace ostrel::tests

#endif  // OSTREL_TESTS_SUPPORT_ANOTHER_USER_H_
