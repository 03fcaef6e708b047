#include "options.h"

#include <algorithm>

#include "manifest.h"

namespace ostrel::setup {
namespace {

struct CommandName {
  std::string_view word;
  Command command;
};

constexpr CommandName kCommands[] = {
    {"install", Command::kInstall}, {"uninstall", Command::kUninstall},
    {"status", Command::kStatus},   {"doctor", Command::kDoctor},
    {"help", Command::kHelp},       {"--help", Command::kHelp},
    {"-h", Command::kHelp},         {"--version", Command::kVersion},
};

std::optional<Command> commandFor(std::string_view word) {
  for (const CommandName& entry : kCommands) {
    if (entry.word == word) return entry.command;
  }
  return std::nullopt;
}

std::string knownBrowsers() {
  std::string list;
  for (const Browser& browser : allBrowsers()) list += std::string(browser.key) + ", ";
  return list + "all";
}

void addBrowser(Options& options, const Browser* browser) {
  if (std::find(options.browsers.begin(), options.browsers.end(), browser) ==
      options.browsers.end()) {
    options.browsers.push_back(browser);
  }
}

// Applies one option that takes a value; false with `error` set when the
// option is unknown or the value is not acceptable.
bool applyValue(Options& options, std::string_view option, std::string_view value,
                std::string& error) {
  if (option == "--browser") {
    if (value == "all") {
      options.allBrowsers = true;
      for (const Browser& browser : allBrowsers()) addBrowser(options, &browser);
    } else if (const Browser* browser = findBrowser(value)) {
      addBrowser(options, browser);
    } else {
      error = "unknown browser \"" + std::string(value) + "\"; known: " + knownBrowsers();
      return false;
    }
  } else if (option == "--origin") {
    options.origins.emplace_back(value);
  } else if (option == "--extension-id") {
    options.extensionIds.emplace_back(value);
  } else if (option == "--user-data-dir") {
    options.userDataDir = std::string(value);
  } else if (option == "--host-path") {
    options.hostPath = std::string(value);
  } else if (option == "--name") {
    options.name = std::string(value);
  } else {
    error = "unknown option " + std::string(option);
    return false;
  }
  return true;
}

bool isFlag(std::string_view option) { return option == "--system" || option == "--force"; }

}  // namespace

ParsedCommandLine parseCommandLine(std::span<const std::string_view> arguments) {
  ParsedCommandLine parsed;
  if (arguments.empty()) {
    parsed.error = "no command given; use install, uninstall, status or doctor (see --help)";
    return parsed;
  }
  std::optional<Command> command = commandFor(arguments[0]);
  if (!command) {
    parsed.error = "unknown command \"" + std::string(arguments[0]) +
                   "\"; use install, uninstall, status or doctor (see --help)";
    return parsed;
  }
  Options options;
  options.command = *command;
  options.name = std::string(kDefaultHostName);
  for (std::size_t i = 1; i < arguments.size(); ++i) {
    std::string_view argument = arguments[i];
    if (argument == "--help" || argument == "-h") {
      options.command = Command::kHelp;
      continue;
    }
    if (isFlag(argument)) {
      (argument == "--system" ? options.system : options.force) = true;
      continue;
    }
    if (!argument.starts_with("--")) {
      parsed.error = "unexpected argument \"" + std::string(argument) + "\"";
      return parsed;
    }
    std::string_view option = argument;
    std::string_view value;
    if (std::size_t equals = argument.find('='); equals != std::string_view::npos) {
      option = argument.substr(0, equals);
      value = argument.substr(equals + 1);
    } else if (i + 1 < arguments.size() && !arguments[i + 1].starts_with("--")) {
      value = arguments[++i];
    } else {
      parsed.error = "the option " + std::string(argument) + " needs a value";
      return parsed;
    }
    if (!applyValue(options, option, value, parsed.error)) return parsed;
  }
  parsed.options = std::move(options);
  return parsed;
}

}  // namespace ostrel::setup
