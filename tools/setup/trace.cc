#include "trace.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "files.h"
#include "tools/common/log_file.h"
#include "tools/common/paths.h"
#include "tools/common/printable_text.h"
#include "tools/common/shell_words.h"

namespace ostrel::setup {
namespace {

constexpr std::string_view kRegistered = "# registered in: ";
constexpr std::string_view kMadeFolder = "# folder made for it: ";

// The first shell word after each line that starts with `label`.
std::vector<std::string> labelledWords(std::string_view text, std::string_view label) {
  std::vector<std::string> words;
  for (std::size_t at = text.find(label); at != std::string_view::npos;
       at = text.find(label, at + 1)) {
    if (at == 0 || text[at - 1] != '\n') continue;
    words.push_back(common::firstShellWord(text.substr(at + label.size())));
  }
  return words;
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
                        const std::string& hostPath, const std::vector<std::string>& registrations,
                        const std::vector<std::string>& madeFolders) {
  std::string text = "#!/bin/sh\n" + std::string(kTraceScriptMark) +
                     "\n# Runs the host through the tap, which logs every frame to the file named\n"
                     "# below. Install again without --trace to take the tap out.\n";
  for (const std::string& manifest : registrations) {
    text += std::string(kRegistered) + common::shellWord(manifest) + "\n";
  }
  for (const std::string& folder : madeFolders) {
    text += std::string(kMadeFolder) + common::shellWord(folder) + "\n";
  }
  return text + "exec " + common::shellWords({tap, "--log", logPath, "--host", hostPath}) +
         " -- \"$@\"\n";
}

Problem prepareTraceLog(const std::string& path, TraceLog& log) {
  if (path.empty() || path.front() != '/') {
    return "--trace needs the log's absolute path, and \"" + common::printableText(path) +
           "\" is not one" +
           (path == "not a tty" ? " (what tty prints where there is no terminal)" : "");
  }
  log.path = path;
  common::OpenedLog opened = common::openLog(log.path);
  if (!opened.problem.empty()) return "cannot use the trace log: " + opened.problem;
  log.created = opened.created;
  return std::nullopt;
}

Problem removeTraceScript(const std::string& scriptPath) {
  std::optional<TraceScript> script = ownTraceScript(scriptPath);
  if (Problem problem = removeFile(scriptPath)) return problem;
  // The folder goes when nothing else is in it, and so do those made for
  // it above, innermost first.
  std::string folder = common::parentFolder(scriptPath);
  FolderRemoval removal = removeFolderIfEmpty(folder);
  if (!script) return removal.problem;
  const std::vector<std::string>& made = script->madeFolders;
  for (auto above = made.rbegin(); above != made.rend() && !removal.problem; ++above) {
    // Only a folder the script's folder lies in, the next one up each time.
    if (*above != common::parentFolder(folder)) break;
    folder = *above;
    removal = removeFolderIfEmpty(folder);
    if (!removal.removed) break;
  }
  return removal.problem;
}

std::vector<std::string> traceFolders(const std::string& scriptPath,
                                      const std::optional<TraceScript>& earlier) {
  if (earlier) return earlier->madeFolders;
  std::vector<std::string> missing;
  std::string folder = common::parentFolder(common::parentFolder(scriptPath));
  while (folder.size() > 1 && ::access(folder.c_str(), F_OK) != 0 && errno == ENOENT) {
    missing.insert(missing.begin(), folder);
    folder = common::parentFolder(folder);
  }
  return missing;
}

std::string traceLogChange(const std::optional<std::string>& previousText,
                           const std::string& newText) {
  std::optional<TraceScript> before = previousText ? readTraceScript(*previousText) : std::nullopt;
  std::optional<TraceScript> after = readTraceScript(newText);
  if (!before || !after || !before->log || before->log == after->log) return {};
  std::string moved;
  for (const std::string& manifest : before->registrations) {
    if (std::ranges::find(after->registrations, manifest) == after->registrations.end()) continue;
    moved += (moved.empty() ? "" : ", ") + manifest;
  }
  if (moved.empty()) return {};
  return "one tap script serves every registration of this host name, so what passes through " +
         moved + " is now logged to " + after->log.value_or("?") + " too, no longer to " +
         *before->log;
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
  script.registrations = labelledWords(text, kRegistered);
  script.madeFolders = labelledWords(text, kMadeFolder);
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
