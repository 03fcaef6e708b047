#include "validation.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "files.h"
#include "tools/common/paths.h"
#include "tools/common/shell_words.h"

namespace ostrel::setup {
namespace {

constexpr std::string_view kOriginPrefix = "chrome-extension://";
constexpr std::size_t kExtensionIdLength = 32;
// addons.mozilla.org's limit; Firefox itself sets none shorter.
constexpr std::size_t kMaxFirefoxIdLength = 255;

std::string quoted(std::string_view value) { return "\"" + std::string(value) + "\""; }

bool isLowerOrDigit(char c) { return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'); }
bool isHex(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}
bool isAlnum(char c) { return isLowerOrDigit(c) || (c >= 'A' && c <= 'Z'); }

// "{xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}" with hexadecimal digits.
bool isBracedGuid(std::string_view id) {
  constexpr std::string_view kShape = "{........-....-....-....-............}";
  if (id.size() != kShape.size()) return false;
  for (std::size_t i = 0; i < id.size(); ++i) {
    if (kShape[i] == '.' ? !isHex(id[i]) : id[i] != kShape[i]) return false;
  }
  return true;
}

// "local@domain" where both parts use letters, digits, '-', '.' and '_'
// and the domain part is not empty.
bool isEmailLike(std::string_view id) {
  std::size_t at = id.find('@');
  if (at == std::string_view::npos || at + 1 == id.size()) return false;
  if (id.find('@', at + 1) != std::string_view::npos) return false;
  return std::all_of(id.begin(), id.end(), [](char c) {
    return isAlnum(c) || c == '-' || c == '.' || c == '_' || c == '@';
  });
}

}  // namespace

Problem checkHostName(std::string_view name) {
  if (name.empty()) return "the host name is empty";
  for (char c : name) {
    if (!isLowerOrDigit(c) && c != '_' && c != '.') {
      return "the host name " + quoted(name) +
             " may contain only lower-case letters, digits, '_' and '.'";
    }
  }
  if (name.front() == '.' || name.back() == '.' || name.find("..") != std::string_view::npos) {
    return "the host name " + quoted(name) + " must not start or end with a dot or contain \"..\"";
  }
  return std::nullopt;
}

// The exact origin when `origin` holds an extension id somewhere (a
// missing slash, another scheme, a path after it).
std::string suggestion(std::string_view origin) {
  for (std::size_t start = 0; start + kExtensionIdLength <= origin.size(); ++start) {
    std::string_view id = origin.substr(start, kExtensionIdLength);
    if (std::all_of(id.begin(), id.end(), [](char c) { return c >= 'a' && c <= 'p'; })) {
      return "; did you mean " + std::string(kOriginPrefix) + std::string(id) + "/ ?";
    }
  }
  return {};
}

Problem checkChromiumOrigin(std::string_view origin) {
  const std::string expected = " must be chrome-extension://<32 letters a to p>/";
  if (!origin.starts_with(kOriginPrefix)) {
    return "the origin " + quoted(origin) + expected + suggestion(origin);
  }
  std::string_view rest = origin.substr(kOriginPrefix.size());
  // Chromium matches "/" and "/*" alike against the extension's origin.
  if (rest.ends_with("/*")) rest.remove_suffix(1);
  if (rest.size() != kExtensionIdLength + 1 || rest.back() != '/') {
    return "the origin " + quoted(origin) + expected + " (with the trailing slash)" +
           suggestion(origin);
  }
  for (char c : rest.substr(0, kExtensionIdLength)) {
    const char lower = static_cast<char>(c | 0x20);
    if (lower < 'a' || lower > 'p' || (c >= '0' && c <= '9')) {
      return "the origin " + quoted(origin) + expected + "; extension ids use only a to p";
    }
  }
  return std::nullopt;
}

Problem checkFirefoxExtensionId(std::string_view id) {
  if (id.size() > kMaxFirefoxIdLength) {
    return "the Firefox extension id " + quoted(id) + " is longer than " +
           std::to_string(kMaxFirefoxIdLength) + " characters";
  }
  if (isBracedGuid(id) || isEmailLike(id)) return std::nullopt;
  return "the Firefox extension id " + quoted(id) +
         " must be a GUID in braces or look like name@domain";
}

Problem checkHostPath(const std::string& path) {
  if (path.empty() || path.front() != '/') {
    return "the host path " + quoted(path) + " is not an absolute path";
  }
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) {
    return "the host path " + quoted(path) + " does not exist";
  }
  if (!S_ISREG(info.st_mode)) {
    return "the host path " + quoted(path) + " is not a regular file";
  }
  if ((info.st_mode & (S_IXUSR | S_IXGRP | S_IXOTH)) == 0) {
    // No command that would change a mode through a link.
    if (isSymbolicLink(path)) {
      return "the host path " + quoted(path) + " is not executable: it is a symbolic link to " +
             quoted(common::resolvedPath(path));
    }
    return "the host path " + quoted(path) + " is not executable; make it so with: chmod +x " +
           common::shellWord(path);
  }
  if (::access(path.c_str(), X_OK) != 0) {
    return "the host path " + quoted(path) +
           " is not executable for you (its permissions, or a file system mounted noexec)";
  }
  return std::nullopt;
}

}  // namespace ostrel::setup
