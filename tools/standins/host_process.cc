#include "host_process.h"

#include <signal.h>
#include <spawn.h>
#include <unistd.h>

#include <cstring>

#include "descriptors.h"

extern char** environ;

namespace ostrel::standins {
namespace {

struct Pipes {
  int input[2] = {-1, -1};
  int output[2] = {-1, -1};
  int errors[2] = {-1, -1};

  void closeAll() {
    for (int* pair : {input, output, errors}) {
      closeFd(pair[0]);
      closeFd(pair[1]);
    }
  }
};

// This process's environment with `extra` entries replacing any of the same name.
std::vector<std::string> mergedEnvironment(const std::vector<std::string>& extra) {
  std::vector<std::string> merged;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string_view current(*entry);
    const std::string_view name = current.substr(0, current.find('='));
    bool replaced = false;
    for (const std::string& added : extra) {
      replaced = replaced || added.substr(0, added.find('=')) == name;
    }
    if (!replaced) merged.emplace_back(current);
  }
  merged.insert(merged.end(), extra.begin(), extra.end());
  return merged;
}

std::vector<char*> pointers(std::vector<std::string>& strings) {
  std::vector<char*> result;
  for (std::string& text : strings) result.push_back(text.data());
  result.push_back(nullptr);
  return result;
}

int spawn(std::vector<std::string> argv, std::vector<std::string> env, const Pipes& pipes,
          pid_t& pid) {
  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attributes;
  posix_spawn_file_actions_init(&actions);
  posix_spawnattr_init(&attributes);
  posix_spawn_file_actions_adddup2(&actions, pipes.input[0], STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&actions, pipes.output[1], STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, pipes.errors[1], STDERR_FILENO);
  posix_spawnattr_setpgroup(&attributes, 0);
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGDEF);
  const std::vector<char*> args = pointers(argv);
  const std::vector<char*> envp = pointers(env);
  const int result = posix_spawnp(&pid, args[0], &actions, &attributes, args.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  return result;
}

}  // namespace

std::optional<HostProcess> startHost(const std::string& path, const std::string& origin,
                                     const std::vector<std::string>& environment,
                                     std::string& error) {
  return startProcess({path, origin}, environment, error);
}

std::optional<HostProcess> startProcess(const std::vector<std::string>& argv,
                                        const std::vector<std::string>& environment,
                                        std::string& error) {
  Pipes pipes;
  if (!makePipe(pipes.input) || !makePipe(pipes.output) || !makePipe(pipes.errors)) {
    error = std::string("cannot create pipes: ") + std::strerror(errno);
    pipes.closeAll();
    return std::nullopt;
  }
  HostProcess host;
  const int result = spawn(argv, mergedEnvironment(environment), pipes, host.pid);
  if (result != 0) {
    error = "cannot start " + argv[0] + ": " + std::strerror(result);
    pipes.closeAll();
    return std::nullopt;
  }
  host.input = pipes.input[1];
  host.output = pipes.output[0];
  host.errors = pipes.errors[0];
  pipes.input[1] = pipes.output[0] = pipes.errors[0] = -1;
  pipes.closeAll();
  for (int fd : {host.input, host.output, host.errors}) setNonBlocking(fd);
  return host;
}

}  // namespace ostrel::standins
