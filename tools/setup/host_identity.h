#ifndef OSTREL_SETUP_HOST_IDENTITY_H_
#define OSTREL_SETUP_HOST_IDENTITY_H_

// Tells whether a program is this project's host before a manifest names
// it: started the way a browser starts a host, ostrel-native-host writes a
// status message at once, before it reads anything. A program that does
// not (a typo that names /bin/cat, a wrapper that fails) is refused.

#include <chrono>
#include <string>
#include <vector>

#include "validation.h"

namespace ostrel::setup {

// Nothing when the program at `path`, given `arguments`, wrote a status
// message within `deadline`; otherwise why it is not taken for the host.
Problem checkAnswersLikeHost(const std::string& path, const std::vector<std::string>& arguments,
                             std::chrono::milliseconds deadline);

}  // namespace ostrel::setup

#endif  // OSTREL_SETUP_HOST_IDENTITY_H_
