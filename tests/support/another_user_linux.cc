// Linux: a user namespace whose root is mapped to another user.
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sched.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <fstream>
#include <vector>

#include "platform/descriptors.h"
#include "support/another_user.h"
#include "tools/common/stream_io.h"

namespace ostrel::tests {
namespace {

// Root's choice: a user id that needs no account.
constexpr uid_t kSpareId = 65533;

// The first subordinate id of this process's user in `file` (lines of
// "name-or-id:first:count").
std::optional<std::string> firstSubordinateId(const char* file) {
  const passwd* me = ::getpwuid(::geteuid());
  const std::string myId = std::to_string(::geteuid());
  std::ifstream lines(file);
  for (std::string line; std::getline(lines, line);) {
    const std::size_t first = line.find(':');
    const std::size_t second = line.find(':', first == std::string::npos ? first : first + 1);
    if (second == std::string::npos) continue;
    const std::string owner = line.substr(0, first);
    if (owner != myId && (me == nullptr || owner != me->pw_name)) continue;
    const std::string id = line.substr(first + 1, second - first - 1);
    unsigned long value = 0;
    const auto [end, error] = std::from_chars(id.data(), id.data() + id.size(), value);
    if (error == std::errc() && end == id.data() + id.size()) return id;
  }
  return std::nullopt;
}

// Runs `argv` (found on PATH), its error output dropped, and tells whether
// it exited with status 0.
bool succeeds(const std::vector<std::string>& argv) {
  std::vector<char*> pointers;
  pointers.reserve(argv.size() + 1);
  for (const std::string& word : argv) pointers.push_back(const_cast<char*>(word.c_str()));
  pointers.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  if (::posix_spawn_file_actions_init(&actions) != 0) return false;
  pid_t pid = -1;
  const bool started =
      ::posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0) == 0 &&
      ::posix_spawnp(&pid, pointers[0], &actions, nullptr, pointers.data(), environ) == 0;
  ::posix_spawn_file_actions_destroy(&actions);
  if (!started) return false;
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return false;
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

bool writeMap(pid_t child, const char* map, const std::string& line) {
  const std::string path = "/proc/" + std::to_string(child) + "/" + map;
  const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool written = ::write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size());
  return ::close(fd) == 0 && written;
}

// Maps the root of `child`'s namespace to another user; why not, when it
// cannot.
std::optional<std::string> mapToAnotherUser(pid_t child) {
  if (::geteuid() == 0) {
    const std::string line = "0 " + std::to_string(kSpareId) + " 1\n";
    if (writeMap(child, "uid_map", line) && writeMap(child, "gid_map", line)) return std::nullopt;
    return "root could not map a user namespace to another user";
  }
  const std::optional<std::string> uid = firstSubordinateId("/etc/subuid");
  const std::optional<std::string> gid = firstSubordinateId("/etc/subgid");
  if (!uid || !gid) {
    return "needs root, or subordinate ids for this user in /etc/subuid and /etc/subgid";
  }
  const std::string pid = std::to_string(child);
  if (!succeeds({"newuidmap", pid, "0", *uid, "1"}) ||
      !succeeds({"newgidmap", pid, "0", *gid, "1"})) {
    return "needs root, or newuidmap and newgidmap (package uidmap) to map subordinate ids";
  }
  return std::nullopt;
}

}  // namespace

// The child's word: 'u' for a namespace made, 'r' for root without one
// (where the kernel or a container refuses them), 'n' for neither.
bool AnotherUser::becomeInChild() {
  ::close(toParent_[0]);
  ::close(toChild_[1]);
  const bool inNamespace = ::unshare(CLONE_NEWUSER) == 0;
  const char made = inNamespace ? 'u' : ::geteuid() == 0 ? 'r' : 'n';
  char go = 0;
  if (::write(toParent_[1], &made, 1) != 1 || made == 'n' || ::read(toChild_[0], &go, 1) != 1) {
    return false;  // refused, or the parent could not map the namespace
  }
  if (!inNamespace) {
    return ::setgroups(0, nullptr) == 0 && ::setresgid(kSpareId, kSpareId, kSpareId) == 0 &&
           ::setresuid(kSpareId, kSpareId, kSpareId) == 0;
  }
  (void)::setgroups(0, nullptr);  // refused where the namespace forbids it; it keeps none then
  return ::setresgid(0, 0, 0) == 0 && ::setresuid(0, 0, 0) == 0;
}

std::optional<std::string> AnotherUser::grantFromParent(pid_t child) {
  closeDescriptor(toParent_[1]);
  closeDescriptor(toChild_[0]);
  const std::optional<common::Bytes> made = common::readBytes(toParent_[0], 1);
  if (!made || (*made)[0] == 'n') {
    return "the kernel refuses user namespaces here, and only root can do without";
  }
  if ((*made)[0] == 'u') {
    if (std::optional<std::string> why = mapToAnotherUser(child)) return why;
  }
  if (::write(toChild_[1], "g", 1) != 1) return "the child is gone";
  return std::nullopt;
}

}  // namespace ostrel::tests
