#include "trace.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "files.h"
#include "tools/common/paths.h"

namespace ostrel::setup {
namespace {

constexpr const char* kMarker = "# Written by ostrel-native-host-setup install --trace.";

// `text` in single quotes for sh: every ' becomes '\''.
std::string quoted(const std::string& text) {
  std::string result = "'";
  for (char c : text) result += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return result + "'";
}

std::string unquoted(std::string_view text) {
  std::string result;
  bool inside = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '\'') {
      inside = !inside;
    } else if (!inside && c == '\\' && i + 1 < text.size()) {
      result += text[++i];
    } else if (!inside && c == ' ') {
      break;
    } else {
      result += c;
    }
  }
  return result;
}

std::string absolute(const std::string& path) {
  if (path.starts_with('/')) return path;
  std::string here(4096, '\0');
  if (::getcwd(here.data(), here.size()) == nullptr) return path;
  here.resize(std::strlen(here.c_str()));
  return joinPath(here, path);
}

}  // namespace

std::string traceScriptPath(const Environment& environment, const std::string& name) {
  const char* data = std::getenv("XDG_DATA_HOME");
  std::string base = data != nullptr && data[0] == '/' ? std::string(data)
                                                       : joinPath(environment.home, ".local/share");
  return joinPath(joinPath(base, "ostrel-native-host"), name + "-tap");
}

std::string traceScript(const std::string& tap, const std::string& logPath,
                        const std::string& hostPath) {
  return std::string("#!/bin/sh\n") + kMarker +
         "\n# Runs the host through the tap, which logs every frame to the file named\n"
         "# below. Install again without --trace to take the tap out.\n"
         "exec " +
         quoted(tap) + " --log " + quoted(logPath) + " --host " + quoted(hostPath) + " -- \"$@\"\n";
}

Problem writeTraceScript(const std::string& scriptPath, const std::string& tap,
                         const std::string& logPath, const std::string& hostPath) {
  if (::access(tap.c_str(), X_OK) != 0) {
    return "the tap is not at " + tap + " (" + std::strerror(errno) +
           "); it is installed beside this tool";
  }
  const std::string log = absolute(logPath);
  int fd = ::open(log.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY, 0600);
  if (fd < 0) return "cannot open the trace log " + log + ": " + std::strerror(errno);
  ::close(fd);
  std::vector<std::string> created;
  if (Problem problem = makeDirectories(common::parentFolder(scriptPath), 0700, created)) {
    return problem;
  }
  if (Problem problem = writeFileAtomically(scriptPath, traceScript(tap, log, hostPath))) {
    return problem;
  }
  if (::chmod(scriptPath.c_str(), 0755) != 0) {
    return "cannot make " + scriptPath + " executable: " + std::strerror(errno);
  }
  return std::nullopt;
}

Problem removeTraceScript(const std::string& scriptPath) {
  if (Problem problem = removeFile(scriptPath)) return problem;
  const std::string folder = common::parentFolder(scriptPath);
  if (::rmdir(folder.c_str()) != 0 && errno != ENOTEMPTY && errno != EEXIST) {
    return "cannot remove the folder " + folder + ": " + std::strerror(errno);
  }
  return std::nullopt;
}

bool isTraceScript(const std::string& path) {
  FileContents contents = readWholeFile(path);
  return contents.state == FileState::kPresent && contents.text.find(kMarker) != std::string::npos;
}

namespace {

std::optional<std::string> optionOf(const std::string& scriptPath, const std::string& option) {
  FileContents contents = readWholeFile(scriptPath);
  if (contents.state != FileState::kPresent) return std::nullopt;
  const std::string spaced = " " + option + " ";
  std::size_t at = contents.text.find(spaced);
  if (at == std::string::npos) return std::nullopt;
  return unquoted(std::string_view(contents.text).substr(at + spaced.size()));
}

}  // namespace

std::optional<std::string> traceLogOf(const std::string& scriptPath) {
  return optionOf(scriptPath, "--log");
}

std::optional<std::string> traceHostOf(const std::string& scriptPath) {
  return optionOf(scriptPath, "--host");
}

}  // namespace ostrel::setup
