#include "oracle.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>

#include "browser_process.h"
#include "browsers.h"
#include "peers/fake_app.h"
#include "peers/temp_dir.h"
#include "tools/common/exit_status.h"
#include "tools/common/paths.h"
#include "tools/common/stream_io.h"

namespace ostrel::e2e {

const char* const kChromiumOrigin = "chrome-extension://gjmfcaghjdeioakbkgmilngmhhgghjel/";
const char* const kFirefoxId = "end-to-end@ostrel.test";

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr auto kOutcome = 60s;  // from the browser's start to the extension's first word
constexpr auto kCommand = 60s;  // for a setup tool command or a fix
constexpr std::chrono::milliseconds kSilence = 15s;  // at least, before silence counts

// Where the extension's lines start in the browser's output.
constexpr std::string_view kMarker = "ostrel-e2e: ";
// What Chromium says when it refuses to load the extension at all.
constexpr std::string_view kNotLoaded[] = {"Failed to load extension",
                                           "Loading of unpacked extensions is disabled"};
// What the browsers' own lines about native messaging hold.
constexpr std::string_view kTopics[] = {"ative messaging", "ative application", "ativeMessaging",
                                        "ative manifest",  "ative host",        kNotLoaded[0],
                                        kNotLoaded[1]};

bool notLoaded(const std::string& output) {
  return std::any_of(std::begin(kNotLoaded), std::end(kNotLoaded), [&](std::string_view words) {
    return output.find(words) != std::string::npos;
  });
}

std::string contentOf(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream content;
  content << file.rdbuf();
  return content.str();
}

std::vector<std::string> userEnvironment(const std::string& home) {
  return {"HOME=" + home,
          "PATH=" + common::parentFolder(OSTREL_SETUP_TOOL) + ":/usr/local/bin:/usr/bin:/bin",
          "LANG=C.UTF-8"};
}

std::vector<std::string> withEnvironment(const std::vector<std::string>& environment,
                                         const std::vector<std::string>& command) {
  std::vector<std::string> all = {"env", "-i"};
  all.insert(all.end(), environment.begin(), environment.end());
  all.insert(all.end(), command.begin(), command.end());
  return all;
}

// Runs `command` inside, as the user or `asRoot`, with exactly
// `environment`, its output and errors together, for at most kCommand.
Answer run(const PrivateSystem& system, const std::vector<std::string>& environment,
           const std::vector<std::string>& command, bool asRoot = false) {
  std::vector<std::string> argv = {"/bin/sh", "-c", "exec \"$@\" 2>&1", "sh"};
  const std::vector<std::string> entered = withEnvironment(environment, command);
  std::vector<std::string> inside = asRoot ? system.insideAsRoot(entered) : system.inside(entered);
  argv.insert(argv.end(), inside.begin(), inside.end());
  common::ChildProcess child(common::Launch{.argv = argv, .environment = {"PATH=/usr/bin:/bin"}});
  Answer answer;
  if (!child.started()) {
    answer.output = child.startError();
    return answer;
  }
  child.closeInput();
  const Clock::time_point deadline = Clock::now() + kCommand;
  bool open = true;
  while (open && Clock::now() < deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (common::waitReadable(child.output(), left)) {
      open = common::readAvailable(child.output(), answer.output);
    }
  }
  std::optional<int> status = child.waitExit(open ? 0ms : kCommand);
  if (status) {
    answer.exitCode = common::shellExitCode(*status);
  } else {
    answer.output += "\n[still running after " + std::to_string(kCommand.count()) + " s: stopped]";
  }
  return answer;
}

// The extension's first line in the browser's output, without the marker:
// Chromium writes `"ostrel-e2e: ...", source: ...`, Firefox
// `console.log: "ostrel-e2e: ..."`.
std::optional<std::string> extensionLine(const std::string& output) {
  std::size_t at = output.find(kMarker);
  if (at == std::string::npos) return std::nullopt;
  at += kMarker.size();
  std::string line = output.substr(at, output.find('\n', at) - at);
  if (std::size_t source = line.find("\", source: "); source != std::string::npos) {
    line.resize(source);
  } else if (!line.empty() && line.back() == '"') {
    line.pop_back();
  }
  return line;
}

// The browser's own lines about native messaging, without Chromium's
// "[pid:thread:time:LEVEL:file(line)] " prefix.
std::string browserWords(const std::string& output) {
  std::istringstream lines(output);
  std::string words;
  for (std::string line; std::getline(lines, line);) {
    if (line.find(kMarker) != std::string::npos) continue;
    bool about = false;
    for (std::string_view topic : kTopics) {
      about = about || line.find(topic) != std::string::npos;
    }
    if (!about) continue;
    if (line.starts_with("[") && line.find("] ") != std::string::npos) {
      line = line.substr(line.find("] ") + 2);
    }
    if (words.find(line) == std::string::npos) words += (words.empty() ? "" : " / ") + line;
  }
  return words;
}

BrowserRun runBrowser(const Scene& scene, const PrivateSystem& system, const std::string& program,
                      const std::string& log, BrowserProcess& browser,
                      std::chrono::milliseconds deadline = kOutcome) {
  BrowserRun result;
  std::vector<std::string> command =
      scene.family == Family::kChromium
          ? chromiumCommand(program, scene.temporaryProfile ? "" : scene.chromiumProfile(),
                            scene.extension)
          : firefoxCommand(program, scene.profile);
  std::string error;
  const Clock::time_point start = Clock::now();
  if (!browser.start({.command = system.inside(withEnvironment(scene.browserEnvironment, command)),
                      .logPath = log,
                      .environment = {}},
                     error)) {
    result.extensionWords = "the browser did not start: " + error;
    return result;
  }
  std::optional<std::string> line;
  std::string output;
  common::waitUntil(
      [&] {
        output = contentOf(log);
        line = extensionLine(output);
        return line || notLoaded(output) || browser.hasExited();
      },
      deadline);
  result.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  result.browserWords = browserWords(output);
  result.logTail = tailOfFile(log, 12);
  if (!line) {
    result.extensionWords = notLoaded(output)     ? "it was not loaded"
                            : browser.hasExited() ? "the browser " + browser.exitDescription()
                                                  : "the extension said nothing";
    return result;
  }
  result.extensionWords = *line;
  if (*line == "status connected") result.outcome = Outcome::kConnected;
  if (*line == "status unavailable") result.outcome = Outcome::kUnreached;
  return result;
}

std::string familyKey(Family family) {
  return family == Family::kChromium ? "chromium" : "firefox";
}

}  // namespace

std::string replaced(std::string text, const std::string& from, const std::string& to) {
  for (std::size_t at = 0; (at = text.find(from, at)) != std::string::npos; at += to.size()) {
    text.replace(at, from.size(), to);
  }
  return text;
}

const char* describe(Outcome outcome) {
  switch (outcome) {
    case Outcome::kConnected:
      return "connects";
    case Outcome::kUnreached:
      return "starts the host, which does not reach the application";
    case Outcome::kRefused:
      return "refuses";
  }
  return "?";
}

bool Scene::write(const std::string& path, std::string text, mode_t mode) const {
  const bool system = path.starts_with("/etc/") || path.starts_with("/usr/");
  const std::string where = system ? this->system->changes(path) : path;
  std::error_code failure;
  fs::create_directories(fs::path(where).parent_path(), failure);
  std::ofstream file(where, std::ios::binary | std::ios::trunc);
  file << replaced(replaced(std::move(text), "@HOST@", host), "@HOME@", home);
  file.close();
  return !failure && file && ::chmod(where.c_str(), mode) == 0;
}

std::string Scene::chromiumProfile() const {
  return userDataDir.empty() ? home + "/.config/chromium" : userDataDir;
}

std::string Scene::userManifest() const {
  const std::string file = "/com.ostrel.native_host.json";
  if (family == Family::kFirefox) return home + "/.mozilla/native-messaging-hosts" + file;
  return chromiumProfile() + "/NativeMessagingHosts" + file;
}

std::string Scene::systemManifest() const {
  const std::string file = "/com.ostrel.native_host.json";
  if (family == Family::kFirefox) return "/usr/lib/mozilla/native-messaging-hosts" + file;
  return "/etc/chromium/native-messaging-hosts" + file;
}

void Scene::install(std::vector<std::string> options) {
  std::vector<std::string> command = {"install", "--browser", familyKey(family)};
  if (family == Family::kChromium) {
    command.insert(command.end(), {"--origin", kChromiumOrigin});
  } else {
    command.insert(command.end(), {"--extension-id", kFirefoxId});
  }
  command.insert(command.end(), options.begin(), options.end());
  setup.push_back(command);
}

bool Scene::changeExtension(const std::string& from, const std::string& to) {
  const bool chromium = family == Family::kChromium;
  const std::string source = chromium ? OSTREL_E2E_CHROMIUM_EXTENSION : OSTREL_E2E_FIREFOX_FOLDER;
  std::string manifest = contentOf(source + "/manifest.json");
  if (manifest.find(from) == std::string::npos) return false;
  std::string folder = home + "/extension";
  if (!chromium) {
    if (profile.empty() && !firefoxProfile(".config/mozilla/firefox")) return false;
    fs::remove(profile + "/extensions/" + kFirefoxId + ".xpi");
    folder = profile + "/extensions/" + (from == kFirefoxId ? to : std::string(kFirefoxId));
  }
  std::error_code failure;
  fs::create_directories(folder, failure);
  fs::copy_file(source + "/background.js", folder + "/background.js", failure);
  if (chromium) extension = folder;
  return !failure && write(folder + "/manifest.json", replaced(manifest, from, to));
}

bool Scene::firefoxProfile(const std::string& layout) {
  const std::string folder = home + "/" + layout;
  profile = folder + "/oracle.default-esr";
  std::error_code failure;
  fs::create_directories(profile + "/extensions", failure);
  fs::copy_file(OSTREL_E2E_FIREFOX_ADDON, profile + "/extensions/" + kFirefoxId + ".xpi", failure);
  return !failure && writeFirefoxPreferences(profile) &&
         write(folder + "/profiles.ini",
               "[Profile0]\nName=default-esr\nIsRelative=1\nPath=oracle.default-esr\nDefault=1\n\n"
               "[General]\nStartWithLastProfile=1\nVersion=2\n");
}

std::string Answer::firstLine() const { return output.substr(0, output.find('\n')); }

std::string Answer::reason() const {
  std::istringstream lines(output);
  std::string reason;
  for (std::string line; std::getline(lines, line);) {
    std::string trimmed = line.substr(std::min(line.find_first_not_of(' '), line.size()));
    if (trimmed.empty() || (!reason.empty() && trimmed.starts_with("fix:"))) break;
    reason += (reason.empty() ? "" : "\n") + line;
  }
  return reason;
}

std::string Answer::fix() const {
  std::istringstream lines(output);
  for (std::string line; std::getline(lines, line);) {
    std::string trimmed = line.substr(std::min(line.find_first_not_of(' '), line.size()));
    if (trimmed.starts_with("fix: ")) return trimmed.substr(5);
  }
  return "";
}

namespace {

// The application, listening as `owner` (the host talks to no other
// user's): its socket made with those effective ids, which the system
// records.
std::unique_ptr<peers::FakeApp> userApplication(const std::string& home, uid_t owner) {
  std::unique_ptr<peers::FakeApp> application;
  if (::setegid(owner) == 0 && ::seteuid(owner) == 0) {
    application =
        std::make_unique<peers::FakeApp>(home + "/Library/Application Support/ostrel/browser.sock");
  }
  const bool back = ::seteuid(0) == 0 && ::setegid(0) == 0;
  return back ? std::move(application) : nullptr;
}

// What the user asks when the case does not say: about the test extension,
// in the profile folder the browser is started with, if not the default.
std::vector<std::string> defaultQuestion(const Scene& scene) {
  if (scene.family == Family::kFirefox) {
    return {"--browser", "firefox", "--extension-id", kFirefoxId};
  }
  std::vector<std::string> question = {"--browser", "chromium", "--origin", kChromiumOrigin};
  if (!scene.userDataDir.empty()) {
    question.insert(question.end(), {"--user-data-dir", scene.userDataDir});
  }
  return question;
}

// Runs the browser once, which must connect, then what the user changes
// after it: the time the extension took to speak in that run tells how long
// to wait for its silence in the next. Nothing when either failed.
std::optional<std::chrono::milliseconds> runBefore(Scene& scene, const PrivateSystem& system,
                                                   const std::string& program,
                                                   const std::string& log, std::string& failure) {
  BrowserProcess browser;
  BrowserRun first = runBrowser(scene, system, program, log, browser);
  // Firefox records the add-ons it loaded a while after start, first as
  // inactive, then active; the user changes them after that.
  common::waitUntil(
      [&] {
        const std::string text = contentOf(scene.profile + "/extensions.json");
        const std::size_t record = text.find(R"({"id":")" + std::string(kFirefoxId));
        const std::size_t active = text.find("\"active\":true", record);
        return scene.family == Family::kChromium ||
               (record != std::string::npos && active < text.find(R"({"id":)", record + 1));
      },
      kOutcome);
  browser.stop();
  if (first.outcome != Outcome::kConnected) {
    failure = "the first run did not connect: " + first.extensionWords + "\n" + first.logTail;
    return std::nullopt;
  }
  if (!scene.betweenRuns(scene)) {
    failure = "what the user changes between the runs could not be changed";
    return std::nullopt;
  }
  return std::max(kSilence, std::chrono::milliseconds(static_cast<int>(first.seconds * 3000)));
}

}  // namespace

Verdict judge(Family family, const Case& row) {
  Verdict verdict;
  const Browser& kind = family == Family::kChromium ? kChromium : kFirefox;
  std::optional<std::string> program = findProgram(kind.variable, kind.program);
  if (!program) {
    verdict.skipped =
        std::string(kind.name) + " is not installed (the Debian package " + kind.package + ")";
    return verdict;
  }
  peers::TempDir folder;
  ::chmod(folder.path().c_str(), 0755);  // for the user to reach the home folder
  PrivateSystem system(folder.file("system"));
  Scene scene{.family = family,
              .home = folder.file("home"),
              .host = OSTREL_HOST_BINARY,
              .system = &system,
              .extension = OSTREL_E2E_CHROMIUM_EXTENSION};
  scene.browserEnvironment = userEnvironment(scene.home);
  std::error_code failure;
  fs::create_directories(scene.home, failure);
  if (failure || !row.arrange(scene) ||
      (family == Family::kFirefox && scene.profile.empty() &&
       !scene.firefoxProfile(".config/mozilla/firefox"))) {
    verdict.failure = "the case could not be set up in " + folder.path();
    return verdict;
  }
  if (scene.question.empty()) scene.question = defaultQuestion(scene);
  for (const std::string& word : row.words) {
    verdict.words.push_back(
        replaced(replaced(word, "@MANIFEST@", scene.userManifest()), "@HOME@", scene.home));
  }
  // Installed where root's search path finds it too, as a package puts it.
  fs::create_directories(system.changes("/usr/local/bin"), failure);
  fs::create_symlink(OSTREL_SETUP_TOOL, system.changes("/usr/local/bin/ostrel-native-host-setup"),
                     failure);
  if (std::string error; !system.start(error)) {
    verdict.skipped = error;
    return verdict;
  }
  // The home folder and everything in it are the user's.
  std::vector<fs::path> owned = {scene.home};
  for (const auto& entry : fs::recursive_directory_iterator(scene.home)) owned.push_back(entry);
  for (const fs::path& path : owned) {
    const bool root = std::find(scene.rootOwned.begin(), scene.rootOwned.end(), path.string()) !=
                      scene.rootOwned.end();
    const uid_t owner = root ? 0 : PrivateSystem::kUser;
    if (::lchown(path.c_str(), owner, owner) != 0) {
      verdict.failure = "cannot give " + path.string() + " to its owner";
      return verdict;
    }
  }
  const std::vector<std::string> user = userEnvironment(scene.home);
  for (std::vector<std::string> command : scene.setup) {
    // What the user does with sudo: a system-wide install.
    const bool asRoot = std::find(command.begin(), command.end(), "--system") != command.end();
    command.insert(command.begin(), OSTREL_SETUP_TOOL);
    if (Answer setup = run(system, user, command, asRoot); setup.exitCode != 0) {
      verdict.failure =
          "the setup tool failed, " + std::to_string(setup.exitCode) + ": " + setup.output;
      return verdict;
    }
  }
  std::unique_ptr<peers::FakeApp> application =
      userApplication(scene.home, scene.rootApplication ? 0 : PrivateSystem::kUser);
  if (!application) {
    verdict.failure = "cannot listen as the user";
    return verdict;
  }
  if (!application->listening()) {
    verdict.failure = "the application cannot listen: " + application->error();
    return verdict;
  }
  std::optional<std::chrono::milliseconds> deadline = kOutcome;
  if (scene.betweenRuns) {
    deadline = runBefore(scene, system, *program, folder.file("first.log"), verdict.failure);
  }
  if (!deadline) return verdict;

  std::vector<std::string> doctor = {OSTREL_SETUP_TOOL, "doctor"};
  doctor.insert(doctor.end(), scene.question.begin(), scene.question.end());
  {
    BrowserProcess browser;
    verdict.browser =
        runBrowser(scene, system, *program, folder.file("browser.log"), browser, *deadline);
    verdict.answer = run(system, user, doctor);
    verdict.report = run(system, user, {OSTREL_SETUP_TOOL, "doctor", "--json"});
    verdict.full = run(system, user, {OSTREL_SETUP_TOOL, "doctor"});
  }
  verdict.fix = verdict.answer.exitCode == 1 ? verdict.answer.fix() : "";
  if (verdict.fix.empty()) return verdict;
  // What needs root is printed to be run through sudo or su, which root
  // runs without asking.
  verdict.fixRun = run(system, user, {"/bin/sh", "-c", verdict.fix},
                       verdict.fix.starts_with("sudo ") || verdict.fix.starts_with("su "));
  BrowserProcess browser;
  verdict.afterFix = runBrowser(scene, system, *program, folder.file("after-fix.log"), browser);
  verdict.answerAfterFix = run(system, user, doctor);
  return verdict;
}

}  // namespace ostrel::e2e
