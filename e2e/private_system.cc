#include "private_system.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>

#include "tools/common/process_table.h"
#include "tools/common/stream_io.h"

namespace ostrel::e2e {
namespace {

using namespace std::chrono_literals;

constexpr auto kSetUp = 20s;

// Mounts an overlay on each folder named, then says so and holds the
// namespaces until its input closes.
constexpr const char* kHolderScript = R"(set -e
folder=$1
shift
for dir do
  mkdir -p "$folder/changes$dir" "$folder/work$dir"
  mount -t overlay overlay -o "lowerdir=$dir,upperdir=$folder/changes$dir,workdir=$folder/work$dir" "$dir"
done
echo ready
exec cat >/dev/null
)";

// The home folder in the password database, which programs without HOME
// use; nothing when it is no folder, is / or holds the temporary folder.
std::string passwordHome() {
  struct passwd entry {};
  struct passwd* found = nullptr;
  std::string scratch(16384, '\0');
  if (::getpwuid_r(::getuid(), &entry, scratch.data(), scratch.size(), &found) != 0 ||
      found == nullptr || found->pw_dir == nullptr) {
    return "";
  }
  std::string home = found->pw_dir;
  struct stat status {};
  if (::stat(home.c_str(), &status) != 0 || !S_ISDIR(status.st_mode) || home == "/" ||
      std::string("/tmp/").starts_with(home + "/")) {
    return "";
  }
  return home;
}

}  // namespace

PrivateSystem::PrivateSystem(std::string folder) : folder_(std::move(folder)) {}

PrivateSystem::~PrivateSystem() {
  if (!holder_) return;
  // Its first process ends when its input closes, and with it every
  // process inside; unshare follows.
  holder_->closeInput();
  holder_->waitExit(kSetUp);
  // The overlays leave their work folders without any permission, which
  // only root could remove as they are.
  for (const std::string& dir : overlaid_) {
    ::chmod((folder_ + "/work" + dir + "/work").c_str(), 0700);
  }
}

std::string PrivateSystem::changes(const std::string& systemPath) const {
  return folder_ + "/changes" + systemPath;
}

bool PrivateSystem::start(std::string& error) {
  std::vector<std::string> argv = {"unshare", "--mount",      "--pid",
                                   "--fork",  "--mount-proc", "--kill-child"};
  if (::geteuid() != 0) argv.insert(argv.begin() + 1, {"--user", "--map-root-user"});
  overlaid_ = {"/etc", "/usr"};
  if (std::string home = passwordHome(); !home.empty()) overlaid_.push_back(home);
  argv.insert(argv.end(), {"--", "/bin/sh", "-c", kHolderScript, "sh", folder_});
  argv.insert(argv.end(), overlaid_.begin(), overlaid_.end());
  holder_ = std::make_unique<common::ChildProcess>(
      common::Launch{.argv = argv, .environment = {"PATH=/usr/sbin:/usr/bin:/sbin:/bin"}});
  if (!holder_->started()) {
    error = holder_->startError();
    return false;
  }
  std::string said;
  common::waitUntil(
      [&] {
        return !common::readAvailable(holder_->output(), said) ||
               said.find('\n') != std::string::npos;
      },
      kSetUp);
  std::vector<common::ProcessEntry> first = common::childrenOf(holder_->pid());
  if (said == "ready\n" && first.size() == 1) {
    first_ = first[0].pid;
    return true;
  }
  std::string why;
  holder_->closeInput();
  holder_->waitExit(kSetUp);
  common::readAvailable(holder_->errors(), why);
  error = "no private mount and process namespaces here (unshare, mount -t overlay): " +
          (why.empty() ? std::string("no answer") : why);
  return false;
}

std::vector<std::string> PrivateSystem::inside(const std::vector<std::string>& command) const {
  std::vector<std::string> entered = {"nsenter", "--target", std::to_string(first_), "--mount",
                                      "--pid"};
  if (::geteuid() != 0) entered.insert(entered.end(), {"--user", "--preserve-credentials"});
  entered.emplace_back("--");
  entered.insert(entered.end(), command.begin(), command.end());
  return entered;
}

}  // namespace ostrel::e2e
