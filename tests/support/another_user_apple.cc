// Apple systems have no user namespaces: only root can run a child as
// another user, by setuid.
#include <grp.h>
#include <unistd.h>

#include "platform/descriptors.h"
#include "support/another_user.h"

namespace ostrel::tests {
namespace {

constexpr uid_t kSpareId = 65533;  // needs no account

}  // namespace

bool AnotherUser::becomeInChild() {
  ::close(toParent_[0]);
  ::close(toChild_[1]);
  char go = 0;
  if (::read(toChild_[0], &go, 1) != 1) return false;  // refused
  return ::setgroups(0, nullptr) == 0 && ::setgid(kSpareId) == 0 && ::setuid(kSpareId) == 0;
}

std::optional<std::string> AnotherUser::grantFromParent(pid_t /*child*/) {
  closeDescriptor(toParent_[1]);
  closeDescriptor(toChild_[0]);
  if (::geteuid() != 0)
    return "needs root: macOS has no user namespaces to run a peer as another user";
  if (::write(toChild_[1], "g", 1) != 1) return "the child is gone";
  return std::nullopt;
}

}  // namespace ostrel::tests
