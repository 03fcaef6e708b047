#ifndef OSTREL_SETUP_USAGE_H_
#define OSTREL_SETUP_USAGE_H_

// The text printed by --help.

#include <string>

namespace ostrel::setup {

std::string usageText();

}  // namespace ostrel::setup

#endif  // OSTREL_SETUP_USAGE_H_
