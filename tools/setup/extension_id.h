#ifndef OSTREL_SETUP_EXTENSION_ID_H_
#define OSTREL_SETUP_EXTENSION_ID_H_

// The id a Chromium-family browser gives an extension, derived from its
// public key as the browser derives it: the first 16 bytes of the SHA-256
// of the key (DER SubjectPublicKeyInfo), each hexadecimal digit 0-f written
// as a letter a-p. The key comes from the "key" member of an unpacked
// extension's manifest.json, or from a public key file (PEM or DER). It
// reads files only; it never checks that the key is a valid RSA key.

#include <optional>
#include <ostream>
#include <string>
#include <string_view>

namespace ostrel::setup {

// The 32-letter id of the key whose DER bytes are `der`.
std::string extensionIdOfKey(std::string_view der);

// Standard base64, whitespace ignored; nothing when it is not base64.
std::optional<std::string> decodeBase64(std::string_view text);

struct ExtensionIdReading {
  std::optional<std::string> id;
  std::string error;  // one sentence, set when neither id is there
  // A Firefox add-on's id, from browser_specific_settings.gecko.id (or
  // the older applications.gecko.id) of its manifest.json.
  std::optional<std::string> geckoId;
};

// `path` is an extension's folder, its manifest.json, or a public key file.
ExtensionIdReading extensionIdOfPath(const std::string& path);

// The extension-id command: prints the id and the origin, a Firefox
// add-on's id, or the error. Returns the exit status.
int runExtensionId(const std::string& path, std::ostream& out, std::ostream& err);

}  // namespace ostrel::setup

#endif  // OSTREL_SETUP_EXTENSION_ID_H_
