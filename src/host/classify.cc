// Classification with simdjson's DOM parser, which validates the whole text
// before anything is looked up, behind a scan that spares the parse where
// the answer cannot matter.
#include "host/classify.h"

#include <simdjson.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>

namespace ostrel {
namespace {

static_assert(simdjson::SIMDJSON_PADDING <= kPayloadPadding,
              "the parser reads past a payload into its padding");

// The types the host acts on. Their first letters are those that
// pairStarts() looks for after a quote.
constexpr std::string_view kActedOn[] = {"hello", "focus", "blur", "open_app"};

// Sixteen bytes compared at once, through the compilers' vector extensions
// (SSE2 on x86-64, NEON on arm64).
using Lanes = std::uint8_t __attribute__((vector_size(16)));
constexpr std::size_t kLanes = sizeof(Lanes);
// How much text is looked at around each quote found, in lanes from the
// one that holds it; the search for the next quote starts after it.
constexpr std::size_t kWindow = 4 * kLanes;

// The scan reads whole lanes, and one byte more, from anywhere before the
// payload's end: into its padding, whose zeros match nothing.
static_assert(kLanes + 1 <= kPayloadPadding, "the scan reads past a payload into its padding");

Lanes load(const std::uint8_t* at) {
  Lanes lanes;
  std::memcpy(&lanes, at, sizeof lanes);
  return lanes;
}

Lanes splat(std::uint8_t byte) { return Lanes{} + byte; }

// One bit for each lane of `mask` (all ones or all zeros), the first lane's
// lowest: the weight of each lane summed within each half, by a multiply.
unsigned bitsOf(Lanes mask) {
  const Lanes weights = {1, 2, 4, 8, 16, 32, 64, 128, 1, 2, 4, 8, 16, 32, 64, 128};
  const Lanes weighted = mask & weights;
  std::uint64_t halves[2];
  std::memcpy(halves, &weighted, sizeof halves);
  constexpr std::uint64_t kSum = 0x0101010101010101;
  return static_cast<unsigned>((halves[0] * kSum) >> 56 | ((halves[1] * kSum) >> 56) << 8);
}

// Where, in the sixteen bytes at `at`, a quote followed by the first letter
// of an acted-on type, or by a backslash, starts: all ones in each such
// lane.
Lanes pairStarts(const std::uint8_t* at) {
  const Lanes first = load(at);
  const Lanes second = load(at + 1);
  const auto next = (second == splat('h')) | (second == splat('f')) | (second == splat('b')) |
                    (second == splat('o')) | (second == splat('\\'));
  return __builtin_convertvector((first == splat('"')) & next, Lanes);
}

// Whether the string that the quote at `at` opens may be an acted-on type:
// its letters are those of one of them, each as it is or escaped, and it
// ends with the word. A "\u" escape is taken to spell the letter it stands
// at, so nothing escaped is missed; no other escape spells a letter.
bool startsHere(std::string_view text, std::size_t at) {
  const std::string_view rest = text.substr(at + 1);
  return std::any_of(std::begin(kActedOn), std::end(kActedOn), [&](std::string_view type) {
    for (std::size_t i = 0; i <= type.size(); ++i) {
      if (i == rest.size()) return false;
      if (rest[i] == '\\') return i + 1 < rest.size() && rest[i + 1] == 'u';
      if (i == type.size()) return rest[i] == '"';
      if (rest[i] != type[i]) return false;
    }
    return false;
  });
}

}  // namespace

std::optional<std::string> messageType(const Payload& payload) {
  static simdjson::dom::parser parser;
  simdjson::dom::object object;
  // The payload's own padding lets the parser work in place, without a copy.
  if (parser.parse(payload.data(), payload.size(), false).get_object().get(object)) {
    return std::nullopt;
  }
  std::optional<std::string> type;
  for (const simdjson::dom::key_value_pair field : object) {
    if (field.key != "type") continue;
    std::string_view value;
    if (field.value.get_string().get(value)) {
      type.reset();  // the last "type" counts, and this one is not a string
    } else {
      type.emplace(value);
    }
  }
  return type;
}

std::optional<std::string_view> actedOnType(const Payload& payload) {
  if (!mayHaveActedOnType(payload)) return std::nullopt;
  const std::optional<std::string> type = messageType(payload);
  if (!type) return std::nullopt;
  for (const std::string_view actedOn : kActedOn) {
    if (*type == actedOn) return actedOn;
  }
  return std::nullopt;
}

// A type's value is a JSON string, opened by a quote. Its letters stand in
// the text as they are or as "\u" escapes, since no other escape stands for
// a letter: a value "hello" is the seven bytes "hello", quotes included, or
// has a backslash where one of its letters is. The stretches without a
// quote, most of a long text, are passed over by memchr(), which the C
// library runs at the machine's full width; the text around each quote it
// finds is looked at lane by lane.
bool mayHaveActedOnType(const Payload& payload) {
  const std::uint8_t* bytes = payload.data();
  const std::string_view text = payload.text();
  // Every quote before `from`, a multiple of kLanes, has been looked at.
  for (std::size_t from = 0; from < text.size();) {
    const void* quote = std::memchr(bytes + from, '"', text.size() - from);
    if (quote == nullptr) return false;
    const std::size_t first =
        static_cast<std::size_t>(static_cast<const std::uint8_t*>(quote) - bytes) & ~(kLanes - 1);
    from = first + kWindow;
    for (std::size_t lanes = first; lanes < from && lanes < text.size(); lanes += kLanes) {
      for (unsigned starts = bitsOf(pairStarts(bytes + lanes)); starts != 0; starts &= starts - 1) {
        const std::size_t at = lanes + static_cast<std::size_t>(std::countr_zero(starts));
        if (at < text.size() && startsHere(text, at)) return true;
      }
    }
  }
  return false;
}

}  // namespace ostrel
