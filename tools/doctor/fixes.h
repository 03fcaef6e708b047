#ifndef OSTREL_DOCTOR_FIXES_H_
#define OSTREL_DOCTOR_FIXES_H_

// The commands the doctor prints to mend what it found, all made here: the
// install command that registers the extension for a browser or a profile
// folder, keeping what the browser accepts of the manifest there, and the
// mode changes of a file. Each is written as this user can run it as
// printed: a command that needs root after "sudo" where sudo is installed,
// else after "su -c" (which asks for root's password); where neither is
// there, the command is advice to run as root. Computes text only.

#include <optional>
#include <string>
#include <vector>

#include "commands.h"
#include "findings.h"
#include "manifest.h"

namespace ostrel::doctor {

using setup::Browser;
using setup::Context;
using setup::Family;
using setup::Scope;

struct Fix {
  std::string command;  // run as printed; empty when there is none
  std::string advice;   // what to do instead, where no command does it
};

// Attaches `fix` to the last finding.
void attach(const Fix& fix, Findings& findings);

// `command`, which needs root when `root` says, as this user runs it;
// advice instead where it is too long for a command line.
Fix runnable(const std::string& command, bool root, const setup::Environment& environment);

// Where a registration lies: a browser's folder in a scope, or the
// per-user folder of a profile folder (a --user-data-dir).
struct Place {
  const Browser* browser = nullptr;
  std::optional<std::string> userDataDir{};
  Scope scope = Scope::kUser;
};

// The install command that registers `allowed` at `place`, naming the host
// when it is not the default, with --force where `force`.
std::string installCommand(const Context& context, const Place& place,
                           const std::vector<std::string>& allowed, const std::string& hostPath,
                           bool force = false);

// What mends the manifest at `place` that the browser refuses or that does
// not allow `added` (empty: add nothing): install again with the entries
// the browser accepts of `manifest` and `added`, with --force where a file
// this tool did not write is `present`; nothing for a manifest the package
// owns or where no entry is left. Runnable as this user.
Fix rewriteFix(const Context& context, const Place& place,
               const std::optional<setup::Manifest>& manifest, bool present,
               const std::string& added = "");

// What mends a host file that cannot run: its execute bit, where that is
// what is missing; nothing otherwise. Neither this nor readableFix prints a
// command that would act through a symbolic link: advice names where it
// leads.
Fix hostFileFix(const Context& context, const std::string& host);

// What mends a file the browser cannot read: "chmod a+r", as its owner.
Fix readableFix(const Context& context, const std::string& path);

}  // namespace ostrel::doctor

#endif  // OSTREL_DOCTOR_FIXES_H_
