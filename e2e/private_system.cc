#include "private_system.h"

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>

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

// The private password database: the machine's, and the user's entry.
bool addUser(const std::string& changes, const std::string& home) {
  const std::string id = std::to_string(PrivateSystem::kUser);
  for (const auto& [file, line] :
       {std::pair{"passwd", "oracle:x:" + id + ":" + id + ":oracle:" + home + ":/bin/sh\n"},
        std::pair{"group", "oracle:x:" + id + ":\n"}}) {
    std::ifstream machine(std::string("/etc/") + file, std::ios::binary);
    std::ofstream copy(changes + "/etc/" + file, std::ios::binary | std::ios::trunc);
    copy << machine.rdbuf() << line;
    if (!copy.flush()) return false;
  }
  return true;
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
  if (::geteuid() != 0) {
    error =
        "needs root: for the private mount and process namespaces, and an ordinary user of "
        "the run's own";
    return false;
  }
  std::error_code failure;
  std::filesystem::create_directories(changes("/etc"), failure);
  std::filesystem::create_directories(userHome(), failure);
  if (failure || ::chown(userHome().c_str(), kUser, kUser) != 0 ||
      !addUser(changes(""), userHome())) {
    error = "cannot prepare the private /etc and the user's home in " + folder_;
    return false;
  }
  std::vector<std::string> argv = {"unshare", "--mount",      "--pid",
                                   "--fork",  "--mount-proc", "--kill-child"};
  overlaid_ = {"/etc", "/usr"};
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

std::vector<std::string> PrivateSystem::insideAsRoot(
    const std::vector<std::string>& command) const {
  std::vector<std::string> entered = {"nsenter", "--target", std::to_string(first_),
                                      "--mount", "--pid",    "--"};
  entered.insert(entered.end(), command.begin(), command.end());
  return entered;
}

std::vector<std::string> PrivateSystem::inside(const std::vector<std::string>& command) const {
  const std::string id = std::to_string(kUser);
  std::vector<std::string> asUser = {"setpriv", "--reuid=" + id, "--regid=" + id, "--clear-groups",
                                     "--"};
  asUser.insert(asUser.end(), command.begin(), command.end());
  return insideAsRoot(asUser);
}

}  // namespace ostrel::e2e
