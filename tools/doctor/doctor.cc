#include "doctor.h"

#include <algorithm>
#include <set>

#include "checks.h"
#include "files.h"
#include "fixes.h"
#include "validation.h"
#include "verdict.h"

namespace ostrel::doctor {
namespace {

using setup::Browser;
using setup::Family;
using setup::Options;

// The checks of the full report, in the order they are printed.
constexpr Check kChecks[] = {checkRegistrations, checkPolicies, checkExtensions, checkUncovered,
                             checkEnvironment,   checkHosts,    checkSandboxes};

// The running browsers of this user that read the manifests and profiles
// looked at here: those whose HOME is this home folder, and those started
// without HOME (or with one that is not absolute), which read below the
// password database's home instead and are judged by it. One started with
// another HOME reads the folders of whoever set it up so, and is left out.
std::vector<RunningBrowser> browsersOfThisUser(const setup::Context& context) {
  std::vector<RunningBrowser> kept;
  for (RunningBrowser& browser : runningBrowsers()) {
    if (browser.environment &&
        (browser.homeFromPasswordDatabase || browser.home == context.environment.home)) {
      kept.push_back(std::move(browser));
    }
  }
  return kept;
}

// The question asked, or why the options ask none that makes sense.
struct Asked {
  std::optional<Question> question;
  std::string error;
};

Asked askedQuestion(const Options& options) {
  const bool chromium = !options.origins.empty();
  if (options.origins.size() + options.extensionIds.size() != 1) {
    return {std::nullopt,
            "give one --origin (Chromium family) or one --extension-id (Firefox) "
            "to ask about one extension"};
  }
  if (options.allBrowsers || options.browsers.size() > 1) {
    return {std::nullopt, "name one browser with --browser to ask about one extension"};
  }
  if (options.browsers.empty() && !options.userDataDir) {
    return {std::nullopt, "name the browser with --browser"};
  }
  const Browser* browser =
      options.browsers.empty() ? setup::findBrowser("chromium") : options.browsers.front();
  const std::string name(browser->displayName);
  if (chromium != (browser->family == Family::kChromium)) {
    return {std::nullopt,
            chromium ? "--origin is for Chromium-family browsers; " + name + " takes --extension-id"
                     : "--extension-id is for Firefox; " + name + " takes --origin"};
  }
  if (options.system) {
    return {std::nullopt,
            "--system does not go with a question about one extension: the browser's choice is "
            "asked"};
  }
  Question question{.browser = browser, .id = {}, .userDataDir = options.userDataDir};
  question.id =
      chromium ? idOf(Family::kChromium, options.origins.front()) : options.extensionIds.front();
  if (setup::Problem problem =
          chromium ? setup::checkChromiumOrigin("chrome-extension://" + question.id + "/")
                   : std::nullopt) {
    return {std::nullopt, *problem};
  }
  return {question, {}};
}

// The profile folder that counts for the question: the one given, or,
// where the browser runs now only with a --user-data-dir of its own, that
// one, which is where it reads manifests from; with a note saying so.
std::optional<std::string> countingUserDataDir(const Question& question,
                                               const std::vector<RunningBrowser>& running,
                                               const setup::Environment& environment,
                                               std::vector<std::string>& notes) {
  if (question.userDataDir || question.browser->family != Family::kChromium) {
    return question.userDataDir;
  }
  std::set<std::string> folders;
  const RunningBrowser* shown = nullptr;
  for (const RunningBrowser& browser : running) {
    if (browser.browser != question.browser) continue;
    folders.insert(ownUserDataDir(browser, environment));
    shown = &browser;
  }
  if (folders.size() != 1 || folders.begin()->empty()) return std::nullopt;
  notes.push_back("answered for the running " + shown->program + " (pid " +
                  std::to_string(shown->pid) + "), started with --user-data-dir=" +
                  shown->userDataDir + ": it reads manifests only from that folder");
  return shown->userDataDir;
}

// "yes: ..." or "no: <first reason>", then the rest, one finding a line.
void printAnswer(const Findings& findings, bool yes, std::ostream& out) {
  bool first = true;
  for (const Finding& finding : findings.all()) {
    const char* kind = first                            ? (yes ? "yes: " : "no: ")
                       : finding.kind == Kind::kWarning ? "warning: "
                       : finding.kind == Kind::kProblem ? "problem: "
                                                        : "note: ";
    out << kind << printable(finding.words) << "\n";
    if (!finding.fix.empty()) out << "fix: " << printable(finding.fix) << "\n";
    if (!finding.advice.empty()) out << "what to do: " << printable(finding.advice) << "\n";
    first = false;
  }
}

int answerQuestion(const setup::Context& context, Question question) {
  const Browser& browser = *question.browser;
  const std::vector<RunningBrowser> running = browsersOfThisUser(context);
  std::vector<std::string> notes;
  question.userDataDir = countingUserDataDir(question, running, context.environment, notes);
  const Verdict verdict = checkExtension(context, question, running);
  Findings findings;
  findings.about(std::string(browser.key), verdict.file);
  if (verdict.yes) {
    findings.fine(allowedFormOf(browser.family, question.id) + " in " +
                  std::string(browser.displayName) + " will start the host " +
                  verdict.manifest->path + " through " + verdict.manifestPath);
  } else {
    findings.problem(verdict.reason);
    attach(verdict.fix, findings);
  }
  for (const std::string& warning : verdict.warnings) findings.warning(warning);
  notes.insert(notes.end(), verdict.notes.begin(), verdict.notes.end());
  for (const RunningBrowser& run : running) {
    if (run.browser == &browser && !run.withheld.empty()) notes.push_back(run.withheld);
  }
  for (const std::string& note : notes) findings.note(note);
  if (context.options.json) {
    findings.printJson(context.out);
  } else {
    printAnswer(findings, verdict.yes, context.out);
  }
  return verdict.yes ? setup::kExitSuccess : setup::kExitFailure;
}

// What the full report looks at: the options' places, and the own
// profile folder of each running Chromium-family browser of theirs.
Survey survey(const setup::Context& context) {
  Survey survey{.context = context,
                .list = setup::inspectTargets(context.options, context.environment),
                .running = context.options.system ? std::vector<RunningBrowser>{}
                                                  : browsersOfThisUser(context)};
  if (context.options.userDataDir || context.options.system) return survey;
  for (const RunningBrowser& browser : survey.running) {
    const std::string own = ownUserDataDir(browser, context.environment);
    const std::string folder = setup::userDataManifestFolder(own);
    const auto& named = context.options.browsers;
    if (own.empty() ||
        (!named.empty() && std::find(named.begin(), named.end(), browser.browser) == named.end()) ||
        std::any_of(survey.list.targets.begin(), survey.list.targets.end(),
                    [&](const setup::Target& known) { return known.folder == folder; })) {
      continue;
    }
    survey.list.targets.push_back(
        {.label = "profile folder " + own,
         .browser = nullptr,
         .family = Family::kChromium,
         .scope = setup::Scope::kUser,
         .folder = folder,
         .manifestPath = setup::joinPath(folder, setup::manifestFileName(context.options.name))});
  }
  return survey;
}

}  // namespace

int runDoctor(const setup::Context& context) {
  const Options& options = context.options;
  if (!options.origins.empty() || !options.extensionIds.empty()) {
    Asked asked = askedQuestion(options);
    if (!asked.question) {
      context.err << "error: " << asked.error << "\n";
      return setup::kExitUsage;
    }
    return answerQuestion(context, *asked.question);
  }
  Survey all = survey(context);
  if (!all.list.error.empty()) {
    context.err << "error: " << all.list.error << "\n";
    return setup::kExitUsage;
  }
  Findings findings;
  for (const Check check : kChecks) check(all, findings);
  options.json ? findings.printJson(context.out) : findings.printReport(context.out);
  return findings.count(Kind::kProblem) == 0 ? setup::kExitSuccess : setup::kExitFailure;
}

}  // namespace ostrel::doctor
