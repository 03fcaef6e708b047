#ifndef OSTREL_DOCTOR_FINDINGS_H_
#define OSTREL_DOCTOR_FINDINGS_H_

// What the doctor found, collected before anything is printed, so that the
// same findings come out as the readable report or as one JSON document:
// each a kind (a problem stops an extension from connecting, a warning
// does not), the browser and the file it is about, the words, and the
// command that mends it. Text read from files is shown without terminal
// control characters in either form.

#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

namespace ostrel::doctor {

enum class Kind { kHeading, kProblem, kWarning, kOk, kNote };

struct Finding {
  Kind kind = Kind::kNote;
  std::string browser;  // the --browser key; empty when about no one browser
  std::string file;     // empty when about no one file
  std::string words;
  std::string fix;     // a command that mends it, run as printed; or empty
  std::string advice;  // what to do where no command mends it; or empty
};

class Findings {
 public:
  // The browser and file the findings added next are about.
  void about(std::string browser, std::string file) {
    browser_ = std::move(browser);
    file_ = std::move(file);
  }
  void heading(std::string words) { add(Kind::kHeading, std::move(words)); }
  void problem(std::string words) { add(Kind::kProblem, std::move(words)); }
  void problem(const std::optional<std::string>& words) {
    if (words) problem(*words);
  }
  void warning(std::string words) { add(Kind::kWarning, std::move(words)); }
  void fine(std::string words) { add(Kind::kOk, std::move(words)); }
  void note(std::string words) { add(Kind::kNote, std::move(words)); }
  // Attaches a command to the last finding.
  void fix(std::string command);
  // Attaches advice in words to the last finding.
  void advise(std::string words);

  int count(Kind kind) const;
  const std::vector<Finding>& all() const { return findings_; }

  // "  problem: ...", "  fix: ..." lines and headings, and a closing count.
  void printReport(std::ostream& out) const;
  void printJson(std::ostream& out) const;

 private:
  void add(Kind kind, std::string words);

  std::vector<Finding> findings_;
  std::string browser_;
  std::string file_;
};

// `text` as the tools print what came from outside them
// (tools/common/printable_text.h): no control, format or bidirectional
// character and no byte that is not UTF-8 reaches a terminal raw.
std::string printable(std::string_view text);

// `entries` for words, shell-quoted: the first few, and how many more
// ("a b c d e and 304995 more"); `none` when there are none.
std::string someOf(const std::vector<std::string>& entries, std::string_view none);

// `text` as a JSON string, quotes included.
std::string jsonString(std::string_view text);

}  // namespace ostrel::doctor

#endif  // OSTREL_DOCTOR_FINDINGS_H_
