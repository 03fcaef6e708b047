#include "extension_id.h"

#include <simdjson.h>
#include <sys/stat.h>

#include "commands.h"
#include "files.h"
#include "open_app_plan.h"
#include "sha256.h"

namespace ostrel::setup {
namespace {

constexpr std::size_t kIdBytes = 16;
constexpr std::string_view kPemBegin = "-----BEGIN PUBLIC KEY-----";
constexpr std::string_view kPemEnd = "-----END PUBLIC KEY-----";
constexpr std::string_view kNoKey =
    " has no \"key\", so the browser derives the extension's id from the folder it is loaded "
    "from; give the extension a key (its public half, in base64, as \"key\") to fix its id";

int base64Value(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

bool isSpace(char c) { return c == ' ' || c == '\n' || c == '\r' || c == '\t'; }

ExtensionIdReading failure(std::string error) {
  return {.id = std::nullopt, .error = std::move(error), .geckoId = std::nullopt};
}

ExtensionIdReading fromBase64Key(std::string_view text, const std::string& where) {
  std::optional<std::string> der = decodeBase64(text);
  if (!der || der->empty()) return failure("the key in " + where + " is not base64");
  return {.id = extensionIdOfKey(*der), .error = {}, .geckoId = std::nullopt};
}

// A Firefox add-on's own id, where its manifest names one.
std::optional<std::string> geckoIdIn(simdjson::dom::element root) {
  for (const char* pointer : {"/browser_specific_settings/gecko/id", "/applications/gecko/id"}) {
    std::string_view id;
    if (root.at_pointer(pointer).get_string().get(id) == simdjson::SUCCESS && !id.empty()) {
      return std::string(id);
    }
  }
  return std::nullopt;
}

ExtensionIdReading fromManifest(const std::string& text, const std::string& path) {
  simdjson::dom::parser parser;
  simdjson::padded_string padded(text);
  simdjson::dom::element root;
  if (parser.parse(padded).get(root) != simdjson::SUCCESS || !root.is_object()) {
    return failure(path + " is not a JSON object");
  }
  std::optional<std::string> gecko = geckoIdIn(root);
  simdjson::dom::element key;
  if (root.at_key("key").get(key) != simdjson::SUCCESS) {
    if (gecko) return {.id = std::nullopt, .error = {}, .geckoId = gecko};
    return failure(path + std::string(kNoKey));
  }
  std::string_view value;
  if (key.get_string().get(value) != simdjson::SUCCESS) {
    return failure("the \"key\" in " + path + " is not a string");
  }
  ExtensionIdReading reading = fromBase64Key(value, path);
  reading.geckoId = gecko;
  return reading;
}

}  // namespace

std::string extensionIdOfKey(std::string_view der) {
  Sha256Digest digest = sha256(der);
  std::string id;
  for (std::size_t i = 0; i < kIdBytes; ++i) {
    id += static_cast<char>('a' + (digest[i] >> 4));
    id += static_cast<char>('a' + (digest[i] & 0x0f));
  }
  return id;
}

std::optional<std::string> decodeBase64(std::string_view text) {
  std::string out;
  unsigned bits = 0;
  int count = 0;
  std::size_t padding = 0;
  for (char c : text) {
    if (isSpace(c)) continue;
    if (c == '=') {
      ++padding;
      continue;
    }
    int value = base64Value(c);
    if (value < 0 || padding > 0) return std::nullopt;  // no data after padding
    bits = (bits << 6) | static_cast<unsigned>(value);
    count += 6;
    if (count >= 8) {
      count -= 8;
      out += static_cast<char>((bits >> count) & 0xff);
    }
  }
  // Leftover bits must be zero padding, and '=' only completes a quantum.
  if (count >= 6 || (bits & ((1U << count) - 1)) != 0 || padding > 2) return std::nullopt;
  return out;
}

ExtensionIdReading extensionIdOfPath(const std::string& path) {
  struct stat info {};
  std::string file = path;
  if (::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) {
    file = joinPath(path, "manifest.json");
  }
  FileContents contents = readWholeFile(file);
  if (contents.state == FileState::kMissing) return failure(file + " does not exist");
  if (isUnusable(contents.state)) {
    return failure("cannot read " + file + ": " + contents.reason);
  }
  const std::string& text = contents.text;
  std::size_t begin = text.find(kPemBegin);
  if (begin != std::string::npos) {
    std::size_t body = begin + kPemBegin.size();
    std::size_t end = text.find(kPemEnd, body);
    if (end == std::string::npos) return failure(file + " has no \"" + std::string(kPemEnd) + "\"");
    return fromBase64Key(std::string_view{text}.substr(body, end - body), file);
  }
  if (text.find("PRIVATE KEY-----") != std::string::npos) {
    return failure(file +
                   " holds a private key; give its public half (openssl pkey -in KEY -pubout)");
  }
  std::size_t first = text.find_first_not_of(" \t\r\n");
  if (first != std::string::npos && text[first] == '{') return fromManifest(text, file);
  // A DER SubjectPublicKeyInfo starts with a SEQUENCE tag.
  if (!text.empty() && static_cast<unsigned char>(text[0]) == 0x30) {
    return {.id = extensionIdOfKey(text), .error = {}, .geckoId = std::nullopt};
  }
  return failure(file + " is neither a manifest.json nor a public key (PEM or DER)");
}

int runExtensionId(const std::string& path, std::ostream& out, std::ostream& err) {
  ExtensionIdReading reading = extensionIdOfPath(path);
  if (!reading.id && !reading.geckoId) {
    err << "error: " << reading.error << "\n";
    return kExitFailure;
  }
  if (reading.id) {
    out << "id: " << *reading.id << "\norigin: chrome-extension://" << *reading.id << "/\n";
  }
  if (reading.geckoId) {
    out << "firefox id: " << *reading.geckoId << " (register it with --extension-id "
        << shellWords({*reading.geckoId}) << ")\n";
  }
  return kExitSuccess;
}

}  // namespace ostrel::setup
