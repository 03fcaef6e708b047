#include "manifest.h"

#include <simdjson.h>

#include <cstdio>

namespace ostrel::setup {
namespace {

std::string jsonString(std::string_view text) {
  std::string out = "\"";
  for (char c : text) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (static_cast<unsigned char>(c) < 0x20) {
          char escaped[8];
          std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(c));
          out += escaped;
        } else {
          out += c;
        }
    }
  }
  return out + "\"";
}

// Reads the string member `key` into `into`; complains when it is missing
// (unless optional) or not a string.
void readString(simdjson::dom::object object, std::string_view key, std::string& into,
                bool required, std::vector<std::string>& problems) {
  simdjson::dom::element element;
  if (object.at_key(key).get(element) != simdjson::SUCCESS) {
    if (required) problems.push_back("the member \"" + std::string(key) + "\" is missing");
    return;
  }
  std::string_view value;
  if (element.get_string().get(value) != simdjson::SUCCESS) {
    problems.push_back("the member \"" + std::string(key) + "\" is not a string");
    return;
  }
  into = value;
}

void readAllowed(simdjson::dom::object object, Manifest& manifest,
                 std::vector<std::string>& problems) {
  std::string key(allowedMember(manifest.family));
  simdjson::dom::element element;
  if (object.at_key(key).get(element) != simdjson::SUCCESS) {
    problems.push_back("the member \"" + key + "\" is missing");
    return;
  }
  simdjson::dom::array array;
  if (element.get_array().get(array) != simdjson::SUCCESS) {
    problems.push_back("the member \"" + key + "\" is not a list");
    return;
  }
  if (array.size() == 0) {
    problems.push_back("the list \"" + key + "\" is empty");
    return;
  }
  for (simdjson::dom::element entry : array) {
    std::string_view value;
    if (entry.get_string().get(value) != simdjson::SUCCESS) {
      problems.push_back("the list \"" + key + "\" holds something other than a string");
      continue;
    }
    manifest.allowed.emplace_back(value);
  }
}

}  // namespace

Manifest ownManifest(std::string name, std::string path, Family family,
                     std::vector<std::string> allowed) {
  return Manifest{.name = std::move(name),
                  .description = std::string(kOwnDescription),
                  .path = std::move(path),
                  .type = "stdio",
                  .family = family,
                  .allowed = std::move(allowed)};
}

bool isOwnManifest(const Manifest& manifest) { return manifest.description == kOwnDescription; }

std::string renderManifest(const Manifest& manifest) {
  std::string out = "{\n";
  out += "  \"name\": " + jsonString(manifest.name) + ",\n";
  out += "  \"description\": " + jsonString(manifest.description) + ",\n";
  out += "  \"path\": " + jsonString(manifest.path) + ",\n";
  out += "  \"type\": " + jsonString(manifest.type) + ",\n";
  out += "  \"" + std::string(allowedMember(manifest.family)) + "\": [";
  for (std::size_t i = 0; i < manifest.allowed.size(); ++i) {
    out += i == 0 ? "\n    " : ",\n    ";
    out += jsonString(manifest.allowed[i]);
  }
  out += manifest.allowed.empty() ? "]\n" : "\n  ]\n";
  return out + "}\n";
}

ManifestReading readManifest(std::string_view text, Family family) {
  ManifestReading reading;
  simdjson::dom::parser parser;
  simdjson::padded_string padded(text);
  simdjson::dom::element root;
  if (parser.parse(padded).get(root) != simdjson::SUCCESS) {
    reading.problems.emplace_back("the file is not valid JSON");
    return reading;
  }
  simdjson::dom::object object;
  if (root.get_object().get(object) != simdjson::SUCCESS) {
    reading.problems.emplace_back("the file does not hold a JSON object");
    return reading;
  }
  Manifest manifest;
  manifest.family = family;
  readString(object, "name", manifest.name, true, reading.problems);
  readString(object, "description", manifest.description, true, reading.problems);
  readString(object, "path", manifest.path, true, reading.problems);
  readString(object, "type", manifest.type, true, reading.problems);
  readAllowed(object, manifest, reading.problems);
  reading.manifest = std::move(manifest);
  return reading;
}

std::string_view allowedMember(Family family) {
  return family == Family::kChromium ? "allowed_origins" : "allowed_extensions";
}

std::string manifestFileName(std::string_view name) { return std::string(name) + ".json"; }

}  // namespace ostrel::setup
