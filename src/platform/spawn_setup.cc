#include "platform/spawn_setup.h"

#include <signal.h>

#include <cerrno>

namespace ostrel {

SpawnSetup::SpawnSetup() {
  const int filesError = posix_spawn_file_actions_init(&files_);
  const int attributesError = posix_spawnattr_init(&attributes_);
  filesReady_ = filesError == 0;
  attributesReady_ = attributesError == 0;
  step(filesError);
  step(attributesError);
}

SpawnSetup::~SpawnSetup() {
  if (filesReady_) posix_spawn_file_actions_destroy(&files_);
  if (attributesReady_) posix_spawnattr_destroy(&attributes_);
}

void SpawnSetup::step(int result) {
  if (error_ == 0) error_ = result;
}

void SpawnSetup::openOn(int fd, const char* path, int flags) {
  if (error_ == 0) step(posix_spawn_file_actions_addopen(&files_, fd, path, flags, 0));
}

void SpawnSetup::duplicateOnto(int from, int to) {
  if (error_ == 0) step(posix_spawn_file_actions_adddup2(&files_, from, to));
}

void SpawnSetup::inherit(const std::vector<int>& descriptors) {
  inherited_.insert(inherited_.end(), descriptors.begin(), descriptors.end());
}

void SpawnSetup::changeDirectory(const std::string& folder) {
  if (error_ == 0) step(posix_spawn_file_actions_addchdir_np(&files_, folder.c_str()));
}

void SpawnSetup::newSession() { flags_ |= POSIX_SPAWN_SETSID; }

void SpawnSetup::newProcessGroup() {
  if (error_ == 0) step(posix_spawnattr_setpgroup(&attributes_, 0));
  flags_ |= POSIX_SPAWN_SETPGROUP;
}

int SpawnSetup::spawn(pid_t& child, char* const argv[], char* const environment[],
                      bool searchPath) {
  sigset_t all;
  sigset_t none;
  if (error_ == 0 && (sigfillset(&all) != 0 || sigemptyset(&none) != 0)) error_ = EINVAL;
  if (error_ == 0) step(closeAboveStandardStreams(files_, flags_, inherited_));
  if (error_ == 0) step(posix_spawnattr_setsigdefault(&attributes_, &all));
  if (error_ == 0) step(posix_spawnattr_setsigmask(&attributes_, &none));
  if (error_ == 0) step(posix_spawnattr_setflags(&attributes_, flags_));
  if (error_ != 0) return error_;
  return searchPath ? ::posix_spawnp(&child, argv[0], &files_, &attributes_, argv, environment)
                    : ::posix_spawn(&child, argv[0], &files_, &attributes_, argv, environment);
}

}  // namespace ostrel
