#ifndef OSTREL_TESTS_DOCTOR_FAKE_BROWSER_H_
#define OSTREL_TESTS_DOCTOR_FAKE_BROWSER_H_

// A stand-in for a browser's main process as the doctor finds one: a
// program that waits until killed, copied under the name of a browser's
// executable (which is what tells the doctor it is a browser), started
// with the command line and environment a test gives it.

#include <sys/types.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "tools/common/child_process.h"

namespace ostrel::doctor::tests {

// The waiting program, copied as `folder`/`name` when it is not there yet.
std::string browserProgram(const std::string& folder, const std::string& name);

// That program started with argv[0] `name`, then `options`, and this
// process's environment with `environment` over it; nullptr when it did not
// show as running that program in time.
std::unique_ptr<common::ChildProcess> fakeBrowser(const std::string& folder,
                                                  const std::string& name,
                                                  const std::vector<std::string>& options,
                                                  const std::vector<std::string>& environment = {});

// An ordinary user for tests run as root, which the doctor treats apart.
inline constexpr uid_t kOrdinaryUser = 65532;

// Runs `body` as an ordinary user: at once when this process is not root's;
// otherwise in a child process that gives `home` (and all in it) to
// kOrdinaryUser and becomes that user for good, its failures reported
// there and counted here.
void asOrdinaryUser(const std::string& home, const std::function<void()>& body);

}  // namespace ostrel::doctor::tests

#endif  // OSTREL_TESTS_DOCTOR_FAKE_BROWSER_H_
