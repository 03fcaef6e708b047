#ifndef OSTREL_SETUP_OPTIONS_H_
#define OSTREL_SETUP_OPTIONS_H_

// The setup tool's command line turned into a plain record. Parsing checks
// the shape only (known command, known options, values present, known
// browsers); whether the values are acceptable is checked by the commands.

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "browsers.h"

namespace ostrel::setup {

enum class Command { kInstall, kUninstall, kStatus, kDoctor, kExtensionId, kHelp, kVersion };

struct Options {
  // Browsers named with --browser, in the order given, without repeats;
  // every known browser for "all". Empty when --browser was not given.
  std::vector<const Browser*> browsers;
  std::vector<std::string> origins;       // --origin, Chromium family
  std::vector<std::string> extensionIds;  // --extension-id, Firefox
  std::optional<std::string> userDataDir;
  std::optional<std::string> hostPath;
  std::string name;
  // extension-id: the extension's folder, its manifest.json or a key file.
  std::string keyPath;
  // --trace FILE: register the tap, logging to FILE, in the host's place.
  std::optional<std::string> trace;
  Command command = Command::kHelp;
  bool allBrowsers = false;  // --browser all
  bool system = false;
  bool force = false;
  // doctor --json: the findings as one JSON document.
  bool json = false;
};

struct ParsedCommandLine {
  std::optional<Options> options;
  std::string error;  // set when options is empty
};

// `arguments` excludes the program name.
ParsedCommandLine parseCommandLine(std::span<const std::string_view> arguments);

}  // namespace ostrel::setup

#endif  // OSTREL_SETUP_OPTIONS_H_
