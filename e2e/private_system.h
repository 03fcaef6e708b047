#ifndef OSTREL_E2E_PRIVATE_SYSTEM_H_
#define OSTREL_E2E_PRIVATE_SYSTEM_H_

// A private view of the machine for one browser run: the programs started
// through it share a mount namespace and a process-id namespace of their
// own. In the mount namespace /etc, /usr and the home folder that the
// password database gives this user are overlays whose changes land in the
// run's folder: what the run puts there beforehand (policies, system-wide
// manifests) is seen by its programs only, and what they write there (a
// fix that installs system-wide, a browser without HOME) reaches neither
// the machine nor another run. /proc shows only the run's own processes,
// so a program that looks for running browsers finds the run's and no
// other. It needs root, to make the namespaces and to give the run an
// ordinary user of its own (kUser, in the private /etc/passwd, whose home
// folder there is userHome()): what runs inside runs as that user, as a
// browser and the tools run on a desktop, unless run as root on purpose (a
// command given with sudo).
//
// It starts nothing but the namespaces' first process, which holds them
// until the object goes; then every process inside ends with it.

#include <sys/types.h>

#include <memory>
#include <string>
#include <vector>

#include "tools/common/child_process.h"

namespace ostrel::e2e {

class PrivateSystem {
 public:
  // Keeps the overlays' changes in `folder`, which the test owns.
  explicit PrivateSystem(std::string folder);
  ~PrivateSystem();
  PrivateSystem(const PrivateSystem&) = delete;
  PrivateSystem& operator=(const PrivateSystem&) = delete;

  // Where to write, before start(), a file that programs inside see at
  // `systemPath` (below /etc or /usr).
  std::string changes(const std::string& systemPath) const;

  // False, with the reason in `error`, when the namespaces or the overlays
  // cannot be made here.
  bool start(std::string& error);

  // `command` as a command that runs it inside, as the user or as root.
  std::vector<std::string> inside(const std::vector<std::string>& command) const;
  std::vector<std::string> insideAsRoot(const std::vector<std::string>& command) const;

  // The user's home folder in the password database, and the user.
  std::string userHome() const { return folder_ + "/user-home"; }
  static constexpr uid_t kUser = 65532;

 private:
  std::string folder_;
  std::vector<std::string> overlaid_;  // the folders below which writes land in folder_
  std::unique_ptr<common::ChildProcess> holder_;
  pid_t first_ = -1;  // the namespaces' first process, as seen from here
};

}  // namespace ostrel::e2e

#endif  // OSTREL_E2E_PRIVATE_SYSTEM_H_
