#ifndef OSTREL_SETUP_VALIDATION_H_
#define OSTREL_SETUP_VALIDATION_H_

// Checks for every value the setup tool writes into a manifest. Each check
// returns nothing when the value is acceptable, otherwise one sentence in
// plain words saying what is wrong. The checks never change a value.

#include <optional>
#include <string>
#include <string_view>

namespace ostrel::setup {

using Problem = std::optional<std::string>;

// Lower-case letters, digits, '_' and '.', not empty, with no leading,
// trailing or doubled dot: "com.ostrel.native_host".
Problem checkHostName(std::string_view name);

// "chrome-extension://" followed by 32 letters a to p (either case, as
// Chromium reads them) and "/" or "/*".
Problem checkChromiumOrigin(std::string_view origin);

// A Firefox add-on id: a GUID in braces or an e-mail-like "name@domain",
// at most 255 characters.
Problem checkFirefoxExtensionId(std::string_view id);

// An absolute path naming an existing regular file that this user may
// execute.
Problem checkHostPath(const std::string& path);

}  // namespace ostrel::setup

#endif  // OSTREL_SETUP_VALIDATION_H_
