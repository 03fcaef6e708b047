#ifndef OSTREL_DOCTOR_JSON_READER_H_
#define OSTREL_DOCTOR_JSON_READER_H_

// Reads the JSON files the browsers read (host manifests, policy files) by
// the rules of the browser and the kind of file: each browser reads each
// kind with rules of its own, beyond standard JSON, and the doctor must
// accept exactly what the browser accepts. Where the text breaks the rules
// it says what was expected, at which line and column (both from 1).
//
// It builds the tree of json_value.h in two passes over the text, the
// first checking it and counting what the second then places: a few bytes
// per byte read (16 per value, 32 per member, the decoded text once), no
// recursion, so no nesting exhausts the stack. Nothing throws.

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "json_value.h"

namespace ostrel::doctor {

// What a reading accepts beyond standard JSON (RFC 8259). The defaults are
// standard JSON with a leading byte-order mark skipped and the first two
// fields named as the callers name them.
struct JsonOptions {
  // One comma after the last item of an array or member of an object.
  bool allowTrailingCommas = false;
  // Invalid UTF-8 in a string refused; otherwise each invalid sequence is
  // read as U+FFFD. Outside strings it is never JSON.
  bool requireUtf8 = true;
  // "// ..." to the end of the line and "/* ... */", wherever space may be.
  bool allowComments = false;
  // A UTF-8 byte-order mark before the text skipped; otherwise refused.
  bool skipByteOrderMark = true;
  // Raw line feeds and carriage returns inside a string (any other control
  // character, the tab included, is always refused).
  bool allowNewlinesInStrings = false;
  // "\xNN" in a string, read as the code point U+00NN.
  bool allowXEscapes = false;
  // A "\uD800"-style escape of half a surrogate pair, read as U+FFFD;
  // otherwise refused.
  bool allowLoneSurrogates = false;
  // A number too large for a double (1e400) refused.
  bool refuseOverflowingNumbers = false;
  // The most arrays and objects nested, the outermost counting 1; 0 for
  // no limit (what the reader can hold: a 16 MiB file nests 8 million).
  int maxDepth = 199;
};

// The rules each browser reads each kind of file by, as measured against
// the browsers themselves (Chromium 156.0.8078.129 and Firefox ESR
// 153.8.0esr, Debian's builds): each rule was a file written with and
// without the feature, and a real browser run that started the host the
// manifest names, or showed the policy's effect (Chromium's
// NativeMessagingBlocklist ["*"]; Firefox's ExtensionSettings "*" blocked).
//
//                          Chromium        Chromium        Firefox       Firefox
//                          host manifest   policy file     host manifest policies.json
//   // and /* */ comments  accepted        accepted        refused       refused
//   one trailing comma     refused         accepted        refused       refused
//   UTF-8 byte-order mark  skipped         skipped         skipped       refused
//   a name given twice     last one wins   last one wins   last one wins last one wins
//   raw LF or CR in string accepted        accepted        refused       refused
//   raw tab, NUL, 0x01     refused         refused         refused       refused
//   "\x41" escape          accepted        accepted        refused       refused
//   "\v" escape            refused         refused         refused       refused
//   invalid UTF-8          refused         refused         refused       as U+FFFD
//   "\ud800" alone         refused         refused         accepted      accepted
//   1e400                  refused         refused         accepted      accepted
//   nesting                199 deep        199 deep        no limit      no limit
//
// Both read standard JSON otherwise: no "#" comments, single quotes,
// leading zeros, "1.", text after the value, or space other than space,
// tab, LF and CR (a form feed or a no-break space is refused); "\u0000"
// and an empty name are accepted. Chromium's nesting counts arrays and
// objects alike, the outermost as 1: 199 accepted, 200 refused, even
// empty; Firefox took 1,000,000 nested arrays or objects in a manifest,
// and 100,000 in policies.json. Firefox refuses a manifest with invalid
// UTF-8 anywhere in it.
inline constexpr JsonOptions kChromiumManifestJson = {
    .allowTrailingCommas = false,
    .requireUtf8 = true,
    .allowComments = true,
    .skipByteOrderMark = true,
    .allowNewlinesInStrings = true,
    .allowXEscapes = true,
    .allowLoneSurrogates = false,
    .refuseOverflowingNumbers = true,
    .maxDepth = 199,
};
inline constexpr JsonOptions kChromiumPolicyJson = [] {
  JsonOptions rules = kChromiumManifestJson;
  rules.allowTrailingCommas = true;
  return rules;
}();
inline constexpr JsonOptions kFirefoxManifestJson = {
    .allowTrailingCommas = false,
    .requireUtf8 = true,
    .allowComments = false,
    .skipByteOrderMark = true,
    .allowNewlinesInStrings = false,
    .allowXEscapes = false,
    .allowLoneSurrogates = true,
    .refuseOverflowingNumbers = false,
    .maxDepth = 0,
};
inline constexpr JsonOptions kFirefoxPolicyJson = [] {
  JsonOptions rules = kFirefoxManifestJson;
  rules.requireUtf8 = false;
  rules.skipByteOrderMark = false;
  return rules;
}();

struct JsonReading {
  std::optional<JsonValue> value;
  // When value is empty: "expected ... at line L, column C", and where.
  std::string error;
  int line = 0;
  int column = 0;
  // What value points into.
  std::shared_ptr<const JsonStorage> storage;
};

JsonReading readJson(std::string_view text, const JsonOptions& options = {});

}  // namespace ostrel::doctor

#endif  // OSTREL_DOCTOR_JSON_READER_H_
