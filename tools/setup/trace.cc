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

std::optional<TraceScript> readTraceScript(std::string_view text) {
  if (text.find(kTraceScriptMark) == std::string_view::npos) return std::nullopt;
  TraceScript script;
  auto option = [&](std::string_view name) -> std::optional<std::string> {
    const std::string spaced = " " + std::string(name) + " ";
    std::size_t at = text.find(spaced);
    if (at == std::string_view::npos) return std::nullopt;
    return common::firstShellWord(text.substr(at + spaced.size()));
  };
  script.log = option("--log");
  script.host = option("--host");
  for (std::size_t at = text.find(kRegistered); at != std::string_view::npos;
       at = text.find(kRegistered, at + 1)) {
    if (at == 0 || text[at - 1] != '\n') continue;
    script.registrations.push_back(common::firstShellWord(text.substr(at + kRegistered.size())));
  }
  return script;
}

std::optional<TraceScript> ownTraceScript(const std::string& path) {
  WriteTarget target = examineForWrite(path);
  if (target.contents.state != FileState::kPresent) return std::nullopt;
  return readTraceScript(target.contents.text);
}

bool isTraceScript(const std::string& path) {
  return readTraceScript(readWholeFile(path).text).has_value();
}

std::optional<std::string> traceLogOf(const std::string& scriptPath) {
  std::optional<TraceScript> script = readTraceScript(readWholeFile(scriptPath).text);
  return script ? script->log : std::nullopt;
}

std::optional<std::string> traceHostOf(const std::string& scriptPath) {
  std::optional<TraceScript> script = readTraceScript(readWholeFile(scriptPath).text);
  return script ? script->host : std::nullopt;
}

}  // namespace ostrel::setup
