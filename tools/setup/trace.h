#ifndef OSTREL_SETUP_TRACE_H_
#define OSTREL_SETUP_TRACE_H_

// The tap's registration: install --trace FILE registers, in the host's
// place, a small script that runs ostrel-native-host-tap with the log file
// and the real host; installing again without --trace takes it out. The
// script is per user, one per host name, in
// $XDG_DATA_HOME/ostrel-native-host (~/.local/share/ostrel-native-host),
// and names the manifests that were made to run it, so that it stays while
// any of them still does, and the folders that were made for it, so that
// they go with it.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "browsers.h"
#include "validation.h"

namespace ostrel::setup {

// The line that marks a script this tool wrote for the tap.
inline constexpr std::string_view kTraceScriptMark =
    "# Written by ostrel-native-host-setup install --trace.";

// Where the script for host `name` lives.
std::string traceScriptPath(const Environment& environment, const std::string& name);

// The folder of the scripts when $XDG_DATA_HOME is not set.
std::string defaultTraceFolder(const std::string& home);

// The script's text: runs `tap` with `logPath` and `hostPath`, passing on
// the browser's arguments; `registrations` are the manifests that name it,
// `madeFolders` the folders made for it (see traceFolders()).
std::string traceScript(const std::string& tap, const std::string& logPath,
                        const std::string& hostPath, const std::vector<std::string>& registrations,
                        const std::vector<std::string>& madeFolders = {});

// The log a trace goes to, opened as the tap opens it (made if missing,
// private, a file or a terminal of this user's) and closed again, so that
// a wrong path shows at install. `path` must be absolute (what `tty` prints
// where there is no terminal, "not a tty", is refused with that reason).
struct TraceLog {
  std::string path;
  bool created = false;  // made by this call: to be removed when the install is taken back
};
Problem prepareTraceLog(const std::string& path, TraceLog& log);

// Removes the script and then its folder when that is left empty, and the
// folders above made for it while they are empty.
Problem removeTraceScript(const std::string& scriptPath);

// What a script this tool wrote for the tap names: the log file, the host
// the tap runs, and the manifests made to run it.
struct TraceScript {
  std::optional<std::string> log;
  std::optional<std::string> host;
  std::vector<std::string> registrations;
  std::vector<std::string> madeFolders;  // outermost first
};

// The folders above the script at `scriptPath` that writing it will make
// (those missing now), or that were made for the `earlier` script there.
std::vector<std::string> traceFolders(const std::string& scriptPath,
                                      const std::optional<TraceScript>& earlier);

// What replacing the script `previousText` with `newText` does to the
// registrations made before, in words, when their traffic goes to another
// log from now on; empty otherwise. There is one script per host name, so
// a second install --trace with another log moves the first one's traffic.
std::string traceLogChange(const std::optional<std::string>& previousText,
                           const std::string& newText);

// Nothing when `text` is not a script this tool wrote.
std::optional<TraceScript> readTraceScript(std::string_view text);

// This user's script at `path`, read as a write would find it (see
// examineForWrite); nothing when there is none that this tool wrote.
std::optional<TraceScript> ownTraceScript(const std::string& path);

// True when `path` is a script this tool wrote for the tap.
bool isTraceScript(const std::string& path);

// The log file a trace script writes to, read back from the script.
std::optional<std::string> traceLogOf(const std::string& scriptPath);

// The host a trace script has the tap run.
std::optional<std::string> traceHostOf(const std::string& scriptPath);

}  // namespace ostrel::setup

#endif  // OSTREL_SETUP_TRACE_H_
