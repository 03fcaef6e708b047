#include "manifest_rules.h"

#include <algorithm>

#include "json_reader.h"
#include "validation.h"

namespace ostrel::doctor {
namespace {

constexpr std::string_view kChromiumScheme = "chrome-extension";

std::string jsonQuoted(std::string_view text) { return "\"" + std::string(text) + "\""; }

bool isLower(char c) { return c >= 'a' && c <= 'z'; }
bool isDigit(char c) { return c >= '0' && c <= '9'; }
bool isWordChar(char c) { return isLower(c) || isDigit(c) || (c >= 'A' && c <= 'Z') || c == '_'; }
char lowered(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// '*' matches any run of characters, '?' any one, as Chromium's pattern
// paths match.
bool globMatches(std::string_view pattern, std::string_view text) {
  std::size_t p = 0;
  std::size_t t = 0;
  std::size_t star = std::string_view::npos;
  std::size_t resume = 0;
  while (t < text.size()) {
    if (p < pattern.size() && (pattern[p] == '?' || pattern[p] == text[t])) {
      ++p;
      ++t;
    } else if (p < pattern.size() && pattern[p] == '*') {
      star = p++;
      resume = t;
    } else if (star != std::string_view::npos) {
      p = star + 1;
      t = ++resume;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

struct OriginPattern {
  std::string host;  // lower-cased
  std::string path;
};

// An allowed_origins entry parsed as Chromium parses an extension-scheme
// URL pattern; the reason it fails, in words, otherwise.
std::optional<OriginPattern> parsePattern(std::string_view entry, std::string& why) {
  const std::size_t separator = entry.find("://");
  if (separator == std::string_view::npos) {
    why = "it lacks \"://\" after the scheme";
    return std::nullopt;
  }
  std::string scheme(entry.substr(0, separator));
  std::transform(scheme.begin(), scheme.end(), scheme.begin(), lowered);
  if (scheme != kChromiumScheme) {
    why = "its scheme is \"" + scheme + "\", not chrome-extension";
    return std::nullopt;
  }
  std::string_view rest = entry.substr(separator + 3);
  const std::size_t slash = rest.find('/');
  if (slash == std::string_view::npos) {
    why = R"(it has no path (it must end in "/" or "/*"))";
    return std::nullopt;
  }
  std::string host(rest.substr(0, slash));
  if (host.empty()) {
    why = "it names no extension id";
    return std::nullopt;
  }
  if (host == "*" || host.starts_with("*.")) {
    why = "a wildcard host matches every extension, which Chromium does not allow";
    return std::nullopt;
  }
  if (host.find('*') != std::string::npos) {
    why = "a '*' may stand only at the start of the host";
    return std::nullopt;
  }
  if (const std::size_t colon = host.find(':'); colon != std::string::npos) {
    const std::string_view port = std::string_view{host}.substr(colon + 1);
    if (port.empty() || !std::all_of(port.begin(), port.end(), isDigit)) {
      why = "its port is not a number";
      return std::nullopt;
    }
  }
  std::transform(host.begin(), host.end(), host.begin(), lowered);
  return OriginPattern{.host = std::move(host), .path = std::string(rest.substr(slash))};
}

// Firefox's add-on id patterns, case-insensitive, without a length limit.
bool isFirefoxId(std::string_view id) {
  constexpr std::string_view kGuid = "{........-....-....-....-............}";
  if (id.size() == kGuid.size()) {
    bool guid = true;
    for (std::size_t i = 0; i < id.size() && guid; ++i) {
      const char c = lowered(id[i]);
      guid = kGuid[i] == '.' ? (isDigit(c) || (c >= 'a' && c <= 'f')) : c == kGuid[i];
    }
    if (guid) return true;
  }
  const std::size_t at = id.rfind('@');
  if (at == std::string_view::npos || at + 1 == id.size()) return false;
  return std::all_of(id.begin(), id.end(), [&, index = std::size_t{0}](char c) mutable {
    const bool isAt = index++ == at;
    return isAt || isLower(lowered(c)) || isDigit(c) || c == '-' || c == '.' || c == '_';
  });
}

// Firefox's pattern for a host name: word characters in dot-separated runs.
bool isFirefoxHostName(std::string_view name) {
  if (name.empty() || name.front() == '.' || name.back() == '.') return false;
  if (name.find("..") != std::string_view::npos) return false;
  return std::all_of(name.begin(), name.end(), [](char c) { return isWordChar(c) || c == '.'; });
}

const char* familyWord(Family family) {
  return family == Family::kChromium ? "Chromium" : "Firefox";
}

// A required string member: its value, or a fault. Chromium requires a
// non-empty description and path; Firefox only strings.
std::optional<std::string> stringMember(const JsonValue& root, std::string_view key, Family family,
                                        std::vector<std::string>& faults) {
  const JsonValue* value = root.find(key);
  if (value == nullptr) {
    faults.push_back("the member " + jsonQuoted(key) + " is missing, and " + familyWord(family) +
                     " requires it");
    return std::nullopt;
  }
  if (!value->isString()) {
    faults.push_back("the member " + jsonQuoted(key) + " is not a string");
    return std::nullopt;
  }
  const bool mayBeEmpty = family == Family::kFirefox || key == "name" || key == "type";
  if (value->text().empty() && !mayBeEmpty) {
    faults.push_back("the member " + jsonQuoted(key) + " is empty, and " + familyWord(family) +
                     " requires a value");
  }
  return std::string(value->text());
}

void judgeAllowed(const JsonValue& root, Manifest& manifest, std::vector<std::string>& faults,
                  bool& otherFormat) {
  const Family family = manifest.family;
  const std::string key(setup::allowedMember(family));
  const JsonValue* list = root.find(key);
  if (list == nullptr) {
    const std::string other(
        setup::allowedMember(family == Family::kChromium ? Family::kFirefox : Family::kChromium));
    if (root.find(other) != nullptr) {
      otherFormat = true;
      faults.push_back(std::string("it is a ") +
                       (family == Family::kChromium ? "Firefox" : "Chromium-family") +
                       "-format manifest (it lists " + jsonQuoted(other) + "), in a folder " +
                       (family == Family::kChromium ? "a Chromium-family browser" : "Firefox") +
                       " reads, which needs " + jsonQuoted(key));
    } else {
      faults.push_back("the member " + jsonQuoted(key) + " is missing, and " + familyWord(family) +
                       " requires it");
    }
    return;
  }
  if (list->type != JsonValue::Type::kArray) {
    faults.push_back("the member " + jsonQuoted(key) + " is not a list");
    return;
  }
  if (list->items().empty() && family == Family::kFirefox) {
    faults.push_back("the list " + jsonQuoted(key) +
                     " is empty, and Firefox requires at least one id");
  }
  // The browser stops at the first entry it cannot read, and names that
  // one: so does this, however long the list.
  bool named = false;
  for (const JsonValue& entry : list->items()) {
    if (!entry.isString()) {
      faults.push_back("the list " + jsonQuoted(key) +
                       " holds something other than a string, and " + familyWord(family) +
                       " then refuses the whole manifest");
      return;
    }
    manifest.allowed.emplace_back(entry.text());
    if (named) continue;
    std::string why;
    if (family == Family::kChromium && !parsePattern(entry.text(), why)) {
      faults.push_back("the allowed_origins entry " + jsonQuoted(entry.text()) + " is malformed (" +
                       why +
                       "), and Chromium then refuses the whole manifest, for every extension");
      named = true;
    } else if (family == Family::kFirefox && !isFirefoxId(entry.text())) {
      faults.push_back("the allowed_extensions entry " + jsonQuoted(entry.text()) +
                       " is not an add-on id (a GUID in braces or name@domain), and Firefox "
                       "then refuses the whole manifest, for every add-on");
      named = true;
    }
  }
}

}  // namespace

ManifestJudgement judgeManifest(std::string_view text, Family family, std::string_view name) {
  ManifestJudgement judgement;
  std::vector<std::string>& faults = judgement.faults;
  JsonReading reading =
      readJson(text, family == Family::kChromium ? kChromiumManifestJson : kFirefoxManifestJson);
  if (!reading.value) {
    faults.push_back("the file is not valid JSON at " + std::to_string(reading.line) + ":" +
                     std::to_string(reading.column) + ": " + reading.error);
    return judgement;
  }
  const JsonValue& root = *reading.value;
  if (root.type != JsonValue::Type::kObject) {
    faults.emplace_back("the file does not hold a JSON object");
    return judgement;
  }
  Manifest manifest;
  manifest.family = family;
  // Checked in the order the browser checks them, so the first fault is
  // the one it reports.
  if (auto value = stringMember(root, "name", family, faults)) {
    manifest.name = *value;
    const bool valid =
        family == Family::kChromium ? !setup::checkHostName(*value) : isFirefoxHostName(*value);
    if (!valid) {
      faults.push_back("the name " + jsonQuoted(*value) + " is not a valid host name (" +
                       (family == Family::kChromium
                            ? "lower-case letters, digits, '_' and single dots"
                            : "letters, digits, '_' and single dots") +
                       ")");
    }
  }
  if (auto value = stringMember(root, "description", family, faults)) {
    manifest.description = *value;
  }
  if (family == Family::kFirefox) {
    if (auto value = stringMember(root, "path", family, faults)) manifest.path = *value;
  }
  if (auto value = stringMember(root, "type", family, faults)) {
    manifest.type = *value;
    if (*value != "stdio") {
      faults.push_back("the type is " + jsonQuoted(*value) + R"(, not "stdio")");
    }
  }
  if (family == Family::kChromium) {
    if (auto value = stringMember(root, "path", family, faults)) manifest.path = *value;
  }
  judgeAllowed(root, manifest, faults, judgement.otherFormat);
  if (!manifest.name.empty() && manifest.name != name) {
    faults.push_back("the name " + jsonQuoted(manifest.name) + " differs from the file name " +
                     jsonQuoted(std::string(name) + ".json") +
                     "; browsers look the host up by file name and then insist they match");
  }
  if (!manifest.path.empty() && !manifest.path.starts_with('/')) {
    faults.push_back("the path " + jsonQuoted(manifest.path) + " is not absolute, and " +
                     familyWord(family) + " starts a host only from an absolute path");
  }
  judgement.manifest = std::move(manifest);
  return judgement;
}

std::string chromiumIdIn(std::string_view allowed) {
  std::string why;
  std::optional<OriginPattern> pattern = parsePattern(allowed, why);
  if (!pattern || !globMatches(pattern->path, "/")) return {};
  return pattern->host;
}

bool allowsExtension(const Manifest& manifest, std::string_view id) {
  return std::any_of(
      manifest.allowed.begin(), manifest.allowed.end(), [&](const std::string& allowed) {
        return manifest.family == Family::kFirefox ? allowed == id : chromiumIdIn(allowed) == id;
      });
}

}  // namespace ostrel::doctor
