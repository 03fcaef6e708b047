#include "options.h"

#include <getopt.h>

#include <algorithm>
#include <array>

#include "manifest.h"

namespace ostrel::setup {
namespace {

struct CommandName {
  std::string_view word;
  Command command;
};

constexpr CommandName kCommands[] = {
    {"install", Command::kInstall},
    {"uninstall", Command::kUninstall},
    {"status", Command::kStatus},
    {"doctor", Command::kDoctor},
    {"extension-id", Command::kExtensionId},
    {"help", Command::kHelp},
    {"--help", Command::kHelp},
    {"-h", Command::kHelp},
    {"--version", Command::kVersion},
};

// getopt_long's codes for the options; above every character code.
enum Code : int {
  kBrowser = 256,
  kOrigin,
  kExtensionId,
  kSystem,
  kUserDataDir,
  kHostPath,
  kName,
  kForce,
  kTrace,
  kJson,
  kHelp,
  kVersion,
};

constexpr std::array<option, 13> kLongOptions{{
    {"browser", required_argument, nullptr, kBrowser},
    {"origin", required_argument, nullptr, kOrigin},
    {"extension-id", required_argument, nullptr, kExtensionId},
    {"system", no_argument, nullptr, kSystem},
    {"user-data-dir", required_argument, nullptr, kUserDataDir},
    {"host-path", required_argument, nullptr, kHostPath},
    {"name", required_argument, nullptr, kName},
    {"force", no_argument, nullptr, kForce},
    {"trace", required_argument, nullptr, kTrace},
    {"json", no_argument, nullptr, kJson},
    {"help", no_argument, nullptr, kHelp},
    {"version", no_argument, nullptr, kVersion},
    {nullptr, 0, nullptr, 0},
}};

// Options that only install uses, and why the other commands take none of
// them.
struct InstallOnly {
  int code;
  std::string_view why;
};
constexpr InstallOnly kInstallOnly[] = {
    {kOrigin, "only install writes the origins a manifest allows, and doctor asks about one"},
    {kExtensionId,
     "only install writes the extension ids a manifest allows, and doctor asks about one"},
    {kHostPath,
     "only install writes the host's path; the other commands read it from each "
     "manifest"},
    {kForce, "only install overwrites manifests, and none that this tool did not write"},
    {kTrace, "only install registers the tap in the host's place"},
};

std::optional<Command> commandFor(std::string_view word) {
  for (const CommandName& entry : kCommands) {
    if (entry.word == word) return entry.command;
  }
  return std::nullopt;
}

std::string_view commandWord(Command command) {
  for (const CommandName& entry : kCommands) {
    if (entry.command == command) return entry.word;
  }
  return {};
}

std::string knownBrowsers() {
  std::string list;
  for (const Browser& browser : allBrowsers()) list += std::string(browser.key) + ", ";
  return list + "all";
}

template <typename T>
void addOnce(std::vector<T>& list, T value) {
  if (std::find(list.begin(), list.end(), value) == list.end()) list.push_back(std::move(value));
}

std::string longName(int code) {
  for (const option& entry : kLongOptions) {
    if (entry.val == code) return std::string("--") + entry.name;
  }
  return "?";
}

// Why getopt_long refused `argument`: an option it does not know, a long
// one that is ambiguous, or a flag given a value. `optionCode` is its optopt.
std::string refusal(std::string_view argument, int optionCode) {
  if (optionCode >= kBrowser) return "the option " + longName(optionCode) + " takes no value";
  if (optionCode != 0) {
    return "unrecognized option '-" + std::string(1, static_cast<char>(optionCode)) + "'";
  }
  std::string_view name = argument.substr(2, argument.find('=') - 2);
  std::string matches;
  for (const option& entry : kLongOptions) {
    if (entry.name != nullptr && std::string_view(entry.name).starts_with(name)) {
      matches += std::string(matches.empty() ? "" : ", ") + "--" + entry.name;
    }
  }
  if (matches.find(',') != std::string::npos) {
    return "ambiguous option '" + std::string(argument) + "': could be " + matches;
  }
  return "unrecognized option '" + std::string(argument) + "'";
}

// Applies one option that takes a value; false with `error` set when the
// value is not acceptable.
bool applyValue(Options& options, int code, std::string_view value, std::string& error) {
  // No value of any option starts with '-', so this is an option that was
  // meant to follow one whose value is missing.
  if (value.starts_with('-')) {
    error = "the option " + longName(code) + " needs a value, not \"" + std::string(value) + "\"";
    return false;
  }
  switch (code) {
    case kBrowser:
      if (value == "all") {
        options.allBrowsers = true;
        for (const Browser& browser : allBrowsers()) addOnce(options.browsers, &browser);
      } else if (const Browser* browser = findBrowser(value)) {
        addOnce(options.browsers, browser);
      } else {
        error = "unknown browser \"" + std::string(value) + "\"; known: " + knownBrowsers();
        return false;
      }
      break;
    case kOrigin:
      // A bare extension id stands for that extension's origin; Chromium
      // reads an id in either case.
      if (value.size() == 32 && std::all_of(value.begin(), value.end(), [](char c) {
            return (c >= 'a' && c <= 'p') || (c >= 'A' && c <= 'P');
          })) {
        std::string id(value);
        for (char& c : id) c = static_cast<char>(c | 0x20);
        addOnce(options.origins, "chrome-extension://" + id + "/");
      } else {
        addOnce(options.origins, std::string(value));
      }
      break;
    case kExtensionId:
      addOnce(options.extensionIds, std::string(value));
      break;
    case kUserDataDir:
      options.userDataDir = std::string(value);
      break;
    case kHostPath:
      options.hostPath = std::string(value);
      break;
    case kTrace:
      options.trace = std::string(value);
      break;
    default:
      options.name = std::string(value);
      break;
  }
  return true;
}

// Refuses options that `options.command` has no use for.
std::string inapplicable(const Options& options, const std::vector<int>& given) {
  if (options.json && options.command != Command::kDoctor) {
    return "the option --json applies to doctor only";
  }
  if (options.command == Command::kInstall) return {};
  for (const InstallOnly& entry : kInstallOnly) {
    if (options.command == Command::kDoctor &&
        (entry.code == kOrigin || entry.code == kExtensionId)) {
      continue;
    }
    if (std::find(given.begin(), given.end(), entry.code) != given.end()) {
      return "the option " + longName(entry.code) + " does not apply to " +
             std::string(commandWord(options.command)) + ": " + std::string(entry.why);
    }
  }
  return {};
}

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

  // getopt_long wants mutable C strings; the command word stands where the
  // program's name would.
  std::vector<std::string> words(arguments.begin(), arguments.end());
  std::vector<char*> argv;
  argv.reserve(words.size() + 1);
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  const int argc = static_cast<int>(words.size());

  std::vector<int> given;
  bool help = false;
  bool version = false;
  optind = 0;  // start afresh, also when parsing a second time
  opterr = 0;  // the messages are composed here
  for (;;) {
    const int code = getopt_long(argc, argv.data(), "+:h", kLongOptions.data(), nullptr);
    if (code == -1) break;
    if (code == '?') {
      parsed.error = refusal(words[optind - 1], optopt) + " (see --help)";
      return parsed;
    }
    if (code == ':') {
      parsed.error = "the option " + std::string(words[optind - 1]) + " needs a value";
      return parsed;
    }
    given.push_back(code);
    if (code == 'h' || code == kHelp) {
      help = true;
    } else if (code == kVersion) {
      version = true;
    } else if (code == kSystem) {
      options.system = true;
    } else if (code == kForce) {
      options.force = true;
    } else if (code == kJson) {
      options.json = true;
    } else if (!applyValue(options, code, optarg, parsed.error)) {
      return parsed;
    }
  }
  if (options.command == Command::kExtensionId && !help && !version) {
    if (!given.empty() || argc - optind != 1) {
      parsed.error =
          "extension-id takes one PATH (an extension's folder, its manifest.json or a "
          "public key file) and no options";
      return parsed;
    }
    options.keyPath = words[optind++];
  }
  if (optind < argc) {
    parsed.error = "unexpected argument \"" + words[optind] + "\"";
    return parsed;
  }
  if (help || version) {
    options.command = help ? Command::kHelp : Command::kVersion;
  } else {
    parsed.error = inapplicable(options, given);
    if (!parsed.error.empty()) return parsed;
  }
  parsed.options = std::move(options);
  return parsed;
}

}  // namespace ostrel::setup
