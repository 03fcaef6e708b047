#ifndef OSTREL_PLATFORM_SPAWN_SETUP_H_
#define OSTREL_PLATFORM_SPAWN_SETUP_H_

// The set-up of a program started with posix_spawn that inherits nothing
// it is not given: descriptors 0, 1 and 2 as the steps below arrange them,
// every descriptor above 2 closed but those named by inherit() (including
// those this process inherited without close-on-exec, a browser's own
// pipe, say), every signal at its default disposition and none blocked.
// Every step is checked and the first failure is kept, and spawn() starts
// nothing after one: a program started with only part of its set-up is
// worse than none. It neither waits for nor reaps the program.

#include <spawn.h>
#include <sys/types.h>

#include <string>
#include <vector>

namespace ostrel {

class SpawnSetup {
 public:
  SpawnSetup();
  ~SpawnSetup();
  SpawnSetup(const SpawnSetup&) = delete;
  SpawnSetup& operator=(const SpawnSetup&) = delete;

  // Opens `path` with `flags` as descriptor `fd` of the program.
  void openOn(int fd, const char* path, int flags);
  // Gives the program this process's `from` as its `to`.
  void duplicateOnto(int from, int to);
  // Keeps these descriptors open in the program, at the same numbers.
  void inherit(const std::vector<int>& descriptors);
  void changeDirectory(const std::string& folder);
  // The program leads a session of its own, or only a process group.
  void newSession();
  void newProcessGroup();

  // Starts `argv[0]` (looked up in PATH when `searchPath`) with `argv` and
  // `environment`, both ending in a null pointer; 0 or an errno.
  int spawn(pid_t& child, char* const argv[], char* const environment[], bool searchPath);

 private:
  void step(int result);

  posix_spawn_file_actions_t files_;
  posix_spawnattr_t attributes_;
  bool filesReady_ = false;
  bool attributesReady_ = false;
  short flags_ = POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK;
  std::vector<int> inherited_;
  int error_ = 0;
};

// Where systems differ, for spawn_setup.cc alone: adds to `files` or
// `flags` what closes every descriptor above 2 in the program but
// `inherited`, which stay open there. 0 or an errno.
int closeAboveStandardStreams(posix_spawn_file_actions_t& files, short& flags,
                              const std::vector<int>& inherited);

}  // namespace ostrel

#endif  // OSTREL_PLATFORM_SPAWN_SETUP_H_
