#include "findings.h"

#include <algorithm>
#include <cstdio>

#include "tools/common/printable_text.h"
#include "tools/common/shell_words.h"

namespace ostrel::doctor {
namespace {

const char* label(Kind kind) {
  switch (kind) {
    case Kind::kProblem:
      return "problem";
    case Kind::kWarning:
      return "warning";
    case Kind::kOk:
      return "ok";
    case Kind::kNote:
    case Kind::kHeading:
      break;
  }
  return "note";
}

std::string plural(int count, const char* word) {
  return std::to_string(count) + " " + word + (count == 1 ? "" : "s");
}

}  // namespace

std::string printable(std::string_view text) { return common::printableText(text); }

std::string someOf(const std::vector<std::string>& entries, std::string_view none) {
  constexpr std::size_t kShown = 5;
  if (entries.empty()) return std::string(none);
  const std::size_t shown = std::min(entries.size(), kShown);
  std::string words =
      common::shellWords({entries.begin(), entries.begin() + static_cast<std::ptrdiff_t>(shown)});
  if (entries.size() > shown) words += " and " + std::to_string(entries.size() - shown) + " more";
  return words;
}

std::string jsonString(std::string_view text) {
  std::string out = "\"";
  for (char c : printable(text)) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out + "\"";
}

void Findings::add(Kind kind, std::string words) {
  findings_.push_back({.kind = kind,
                       .browser = browser_,
                       .file = file_,
                       .words = std::move(words),
                       .fix = {},
                       .advice = {}});
}

void Findings::fix(std::string command) {
  if (!findings_.empty()) findings_.back().fix = std::move(command);
}

void Findings::advise(std::string words) {
  if (!findings_.empty()) findings_.back().advice = std::move(words);
}

int Findings::count(Kind kind) const {
  int total = 0;
  for (const Finding& finding : findings_) total += finding.kind == kind ? 1 : 0;
  return total;
}

void Findings::printReport(std::ostream& out) const {
  for (const Finding& finding : findings_) {
    if (finding.kind == Kind::kHeading) {
      out << printable(finding.words) << "\n";
      continue;
    }
    out << "  " << label(finding.kind) << ": " << printable(finding.words) << "\n";
    if (!finding.fix.empty()) out << "  fix: " << printable(finding.fix) << "\n";
    if (!finding.advice.empty()) out << "  what to do: " << printable(finding.advice) << "\n";
  }
  const int problems = count(Kind::kProblem);
  const int warnings = count(Kind::kWarning);
  if (problems == 0 && warnings == 0) {
    out << "No problems found.\n";
  } else if (problems == 0) {
    out << "No problems found; " << plural(warnings, "warning") << ".\n";
  } else {
    out << plural(problems, "problem") << " found"
        << (warnings > 0 ? ", and " + plural(warnings, "warning") : std::string()) << ".\n";
  }
}

void Findings::printJson(std::ostream& out) const {
  auto orNull = [](const std::string& text) { return text.empty() ? "null" : jsonString(text); };
  out << "{\"findings\":[";
  bool first = true;
  for (const Finding& finding : findings_) {
    if (finding.kind == Kind::kHeading) continue;
    std::string words = finding.words;
    if (!finding.advice.empty()) words += "; " + finding.advice;
    out << (first ? "\n" : ",\n") << R"({"kind":")" << label(finding.kind) << R"(","browser":)"
        << orNull(finding.browser) << R"(,"file":)" << orNull(finding.file) << R"(,"words":)"
        << jsonString(words) << R"(,"fix":)" << orNull(finding.fix) << "}";
    first = false;
  }
  out << "\n]}\n";
}

}  // namespace ostrel::doctor
