// Classification of arbitrary browser payloads. messageType must not crash
// or change the payload, and its answer must agree with a second,
// independent JSON decoder (below). actedOnType, which parses only what may
// have one of the four types the host acts on, must give messageType's
// answer narrowed to those four, and the scan that spares the parse must
// never pass over a payload whose type is one of them.
//
// The second decoder:
//   - text the decoder rejects has no type, nor has text with a NUL byte
//     (which that decoder takes for the end of its input);
//   - for text it accepts, the type is the string value of the object's
//     "type" member (the last one, when it occurs more than once), and
//     nothing for anything else.
// The classifier's parser has limits that the second decoder does not share:
// a nesting depth of 1024, integers that fit 64 bits and other numbers that
// fit a finite double. Texts beyond those limits must have no type, whatever
// the second decoder says.
//
// libostrel-app's ostrel_app_message_type, which gives applications the
// host's rule, must give messageType's answer for every text.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <nlohmann/json.hpp>
#include <optional>
#include <span>
#include <string>

#include "channel/payload.h"
#include "fuzz_check.h"
#include "host/classify.h"
#include "ostrel/app.h"

namespace {

constexpr int kParserDepthLimit = 1024;

// Looks through a JSON text for what lies beyond the classifier's parser:
// nesting deeper than its limit, integers outside 64 bits, and numbers that
// do not fit a finite double.
class ParserLimits : public nlohmann::json_sax<nlohmann::json> {
 public:
  bool beyond() const { return deepest_ > kParserDepthLimit || numberBeyond_; }

  bool null() override { return true; }
  bool boolean(bool) override { return true; }
  bool number_integer(number_integer_t) override { return true; }
  bool number_unsigned(number_unsigned_t) override { return true; }
  bool number_float(number_float_t value, const string_t& text) override {
    // An integer too large for 64 bits arrives here too, without a
    // fraction or an exponent.
    const bool integer = text.find_first_of(".eE") == string_t::npos;
    if (integer || !std::isfinite(value)) numberBeyond_ = true;
    return true;
  }
  bool string(string_t&) override { return true; }
  bool binary(binary_t&) override { return true; }
  bool start_object(std::size_t) override { return enter(); }
  bool key(string_t&) override { return true; }
  bool end_object() override { return leave(); }
  bool start_array(std::size_t) override { return enter(); }
  bool end_array() override { return leave(); }
  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override {
    return false;
  }

 private:
  bool enter() {
    deepest_ = std::max(deepest_, ++depth_);
    return true;
  }
  bool leave() {
    --depth_;
    return true;
  }

  int depth_ = 0;
  int deepest_ = 0;
  bool numberBeyond_ = false;
};

std::optional<std::string> expectedType(const nlohmann::json& document) {
  if (!document.is_object()) return std::nullopt;
  const auto type = document.find("type");
  if (type == document.end() || !type->is_string()) return std::nullopt;
  return type->get<std::string>();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const ostrel::Payload payload =
      ostrel::Payload::copyOf(std::span<const std::uint8_t>(data, size));
  const std::optional<std::string> type = ostrel::messageType(payload);
  FUZZ_CHECK(payload.size() == size);
  FUZZ_CHECK(size == 0 || std::memcmp(payload.data(), data, size) == 0);

  std::string library(size + 1, '\0');
  const ssize_t length = ostrel_app_message_type(data, size, library.data(), library.size());
  FUZZ_CHECK(type ? length == static_cast<ssize_t>(type->size()) &&
                        library.compare(0, type->size(), *type) == 0
                  : length == -1);

  const bool actedOn = type == "hello" || type == "focus" || type == "blur" || type == "open_app";
  FUZZ_CHECK(ostrel::mayHaveActedOnType(payload) || !actedOn);
  const std::optional<std::string_view> narrowed = ostrel::actedOnType(payload);
  FUZZ_CHECK(actedOn ? narrowed == type : !narrowed.has_value());

  // Never valid JSON, and the second decoder takes it for the end of input.
  if (std::memchr(data, 0, size) != nullptr) {
    FUZZ_CHECK(!type.has_value());
    return 0;
  }
  const nlohmann::json document =
      nlohmann::json::parse(data, data + size, nullptr, /*allow_exceptions=*/false);
  if (document.is_discarded()) {
    FUZZ_CHECK(!type.has_value());
    return 0;
  }
  ParserLimits limits;
  nlohmann::json::sax_parse(data, data + size, &limits);
  if (limits.beyond()) {
    FUZZ_CHECK(!type.has_value());
    return 0;
  }
  FUZZ_CHECK(type == expectedType(document));
  return 0;
}
