#include "trace.h"

#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "files.h"
#include "tools/common/log_file.h"
#include "tools/common/paths.h"
#include "tools/common/shell_words.h"

namespace ostrel::setup {
namespace {

constexpr std::string_view kRegistered = "# registered in: ";

std::optional<std::string> optionOf(const std::string& scriptPath, const std::string& option) {
  FileContents contents = readWholeFile(scriptPath);
  if (contents.state != FileState::kPresent) return std::nullopt;
  const std::string spaced = " " + option + " ";
  std::size_t at = contents.text.find(spaced);
  if (at == std::string::npos) return std::nullopt;
  return common::firstShellWord(std::string_view{contents.text}.substr(at + spaced.size()));
}

}  // namespace

std::string traceScriptPath(const Environment& environment, const std::string& name) {
  const char* data = std::getenv("XDG_DATA_HOME");
  std::string folder = data != nullptr && data[0] == '/' ? joinPath(data, "ostrel-native-host")
                                                         : defaultTraceFolder(environment.home);
  return joinPath(folder, name + "-tap");
}

std::string defaultTraceFolder(const std::string& home) {
  return joinPath(home, ".local/share/ostrel-native-host");
}

std::string traceScript(const std::string& tap, const std::string& logPath,
                        const std::string& hostPath,
                        const std::vector<std::string>& registrations) {
  std::string text = "#!/bin/sh\n" + std::string(kTraceScriptMark) +
                     "\n# Runs the host through the tap, which logs every frame to the file named\n"
                     "# below. Install again without --trace to take the tap out.\n";
  for (const std::string& manifest : registrations) {
    text += std::string(kRegistered) + common::shellWord(manifest) + "\n";
  }
  return text + "exec " + common::shellWords({tap, "--log", logPath, "--host", hostPath}) +
         " -- \"$@\"\n";
}

Problem prepareTraceLog(const std::string& path, TraceLog& log) {
  log.path = common::absolutePath(path);
  common::OpenedLog opened = common::openLog(log.path);
  if (!opened.problem.empty()) return "cannot use the trace log: " + opened.problem;
  log.created = opened.created;
  return std::nullopt;
}

Problem removeTraceScript(const std::string& scriptPath) {
  if (Problem problem = removeFile(scriptPath)) return problem;
  // The folder goes when nothing else is in it.
  return removeFolderIfEmpty(common::parentFolder(scriptPath)).problem;
}

bool isTraceScript(const std::string& path) {
  FileContents contents = readWholeFile(path);
  return contents.state == FileState::kPresent &&
         contents.text.find(kTraceScriptMark) != std::string::npos;
}

std::optional<std::string> traceLogOf(const std::string& scriptPath) {
  return optionOf(scriptPath, "--log");
}

std::optional<std::string> traceHostOf(const std::string& scriptPath) {
  return optionOf(scriptPath, "--host");
}

std::vector<std::string> traceRegistrationsOf(const std::string& scriptPath) {
  std::vector<std::string> manifests;
  FileContents contents = readWholeFile(scriptPath);
  if (contents.state != FileState::kPresent) return manifests;
  std::string_view text = contents.text;
  for (std::size_t at = text.find(kRegistered); at != std::string_view::npos;
       at = text.find(kRegistered, at + 1)) {
    if (at == 0 || text[at - 1] != '\n') continue;
    manifests.push_back(common::firstShellWord(text.substr(at + kRegistered.size())));
  }
  return manifests;
}

}  // namespace ostrel::setup
