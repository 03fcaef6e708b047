#include "binary_plist.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <unordered_map>
#include <vector>

namespace ostrel::doctor {
namespace {

constexpr std::string_view kMagic = "bplist00";
constexpr std::size_t kTrailer = 32;
constexpr int kMaxNesting = 200;
constexpr std::size_t kMostValues = std::size_t{1} << 20;
// Dates count seconds from 2001-01-01T00:00:00Z, 978307200 after 1970's.
constexpr double kEpoch2001 = 978307200;
constexpr double kMostSeconds = 1e13;  // some 300,000 years either way

// The text of a date, as the XML form writes it.
std::string isoDate(double seconds) {
  const auto unix = static_cast<long long>(std::floor(seconds + kEpoch2001));
  const long long days = (unix >= 0 ? unix : unix - 86399) / 86400;
  const long long second = unix - days * 86400;
  // Days since 1970-01-01 to a civil date (proleptic Gregorian).
  const long long z = days + 719468;
  const long long era = (z >= 0 ? z : z - 146096) / 146097;
  const long long dayOfEra = z - era * 146097;
  const long long yearOfEra =
      (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
  const long long dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
  const long long monthIndex = (5 * dayOfYear + 2) / 153;
  const long long day = dayOfYear - (153 * monthIndex + 2) / 5 + 1;
  const long long month = monthIndex < 10 ? monthIndex + 3 : monthIndex - 9;
  const long long year = yearOfEra + era * 400 + (month <= 2 ? 1 : 0);
  char text[160];  // room for any six numbers
  std::snprintf(text, sizeof text, "%04lld-%02lld-%02lldT%02lld:%02lld:%02lldZ", year, month, day,
                second / 3600, second / 60 % 60, second % 60);
  return text;
}

std::string base64(std::string_view bytes) {
  static constexpr char kDigits[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string text;
  text.reserve((bytes.size() + 2) / 3 * 4);
  for (std::size_t i = 0; i < bytes.size(); i += 3) {
    std::uint32_t group = static_cast<unsigned char>(bytes[i]) << 16;
    if (i + 1 < bytes.size()) group |= static_cast<unsigned char>(bytes[i + 1]) << 8;
    if (i + 2 < bytes.size()) group |= static_cast<unsigned char>(bytes[i + 2]);
    text += kDigits[(group >> 18) & 63];
    text += kDigits[(group >> 12) & 63];
    text += i + 1 < bytes.size() ? kDigits[(group >> 6) & 63] : '=';
    text += i + 2 < bytes.size() ? kDigits[group & 63] : '=';
  }
  return text;
}

void appendUtf8(std::string& out, std::uint32_t code) {
  if (code < 0x80) {
    out += static_cast<char>(code);
  } else if (code < 0x800) {
    out += static_cast<char>(0xC0 | (code >> 6));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else if (code < 0x10000) {
    out += static_cast<char>(0xE0 | (code >> 12));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (code >> 18));
    out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  }
}

// Big-endian UTF-16 to UTF-8; half a surrogate pair alone becomes U+FFFD.
std::string fromUtf16(std::string_view bytes) {
  std::string text;
  const auto unit = [&](std::size_t i) {
    return static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[2 * i]) << 8 |
                                      static_cast<unsigned char>(bytes[2 * i + 1]));
  };
  const std::size_t units = bytes.size() / 2;
  for (std::size_t i = 0; i < units; ++i) {
    std::uint32_t code = unit(i);
    if (code >= 0xD800 && code < 0xDC00 && i + 1 < units && unit(i + 1) >= 0xDC00 &&
        unit(i + 1) < 0xE000) {
      code = 0x10000 + ((code - 0xD800) << 10) + (unit(++i) - 0xDC00);
    } else if (code >= 0xD800 && code < 0xE000) {
      code = 0xFFFD;
    }
    appendUtf8(text, code);
  }
  return text;
}

class BinaryPlist {
 public:
  explicit BinaryPlist(std::string_view bytes) : bytes_(bytes) {}

  PlistReading read() {
    JsonValue root;
    if (!trailer() || !object(top_, 0, root)) {
      return {std::nullopt, "a binary property list that is not well formed: " + why_, nullptr};
    }
    return {root, {}, storage_};
  }

 private:
  bool fail(std::string why) {
    if (why_.empty()) why_ = std::move(why);
    return false;
  }

  // The big-endian unsigned number of `width` bytes (1 to 8) at `at`,
  // which must end by `end`.
  bool number(std::size_t at, std::size_t width, std::size_t end, std::uint64_t& out) const {
    if (width == 0 || width > 8 || at > end || end - at < width) return false;
    out = 0;
    for (std::size_t i = 0; i < width; ++i) {
      out = out << 8 | static_cast<unsigned char>(bytes_[at + i]);
    }
    return true;
  }

  // The trailer's sizes, the object count, the top object and the offset
  // table, each checked against the file.
  bool trailer() {
    if (bytes_.size() < kMagic.size() + 1 + kTrailer) return fail("shorter than its trailer");
    if (!bytes_.starts_with(kMagic)) return fail("a version other than bplist00");
    const std::size_t at = bytes_.size() - kTrailer;
    offsetSize_ = static_cast<unsigned char>(bytes_[at + 6]);
    referenceSize_ = static_cast<unsigned char>(bytes_[at + 7]);
    std::uint64_t tableAt = 0;
    if (!number(at + 8, 8, bytes_.size(), count_) || !number(at + 16, 8, bytes_.size(), top_) ||
        !number(at + 24, 8, bytes_.size(), tableAt)) {
      return fail("a short trailer");
    }
    if (offsetSize_ < 1 || offsetSize_ > 8 || referenceSize_ < 1 || referenceSize_ > 8) {
      return fail("offsets or references of " + std::to_string(offsetSize_) + " and " +
                  std::to_string(referenceSize_) + " bytes");
    }
    if (count_ == 0 || top_ >= count_) return fail("no top object among its objects");
    if (tableAt < kMagic.size() || tableAt > at || (at - tableAt) / offsetSize_ < count_) {
      return fail("an offset table outside the file");
    }
    table_ = static_cast<std::size_t>(tableAt);
    return true;
  }

  // Where object `index` begins: after the header, before the table.
  bool offsetOf(std::uint64_t index, std::size_t& out) {
    std::uint64_t offset = 0;
    if (index >= count_ ||
        !number(table_ + static_cast<std::size_t>(index) * offsetSize_, offsetSize_,
                bytes_.size() - kTrailer, offset) ||
        offset < kMagic.size() || offset >= table_) {
      return fail("an object outside the file");
    }
    out = static_cast<std::size_t>(offset);
    return true;
  }

  // The length in a marker's low four bits, or in the integer after it
  // when they are all set; `at` moves past it.
  bool length(unsigned marker, std::size_t& at, std::uint64_t& out) {
    out = marker & 0x0F;
    if (out != 0x0F) return true;
    if (at >= table_) return fail("a length past the objects");
    const unsigned sized = static_cast<unsigned char>(bytes_[at]);
    const std::size_t width = std::size_t{1} << (sized & 0x0F);
    if ((sized >> 4) != 0x1 || width > 8 || !number(at + 1, width, table_, out)) {
      return fail("a malformed length");
    }
    at += 1 + width;
    return true;
  }

  // `count` units of `unit` bytes at `at`, within the objects.
  bool span(std::size_t at, std::uint64_t count, std::size_t unit, std::string_view& out) {
    if (at > table_ || count > (table_ - at) / unit) return fail("an object longer than the file");
    out = bytes_.substr(at, static_cast<std::size_t>(count) * unit);
    return true;
  }

  bool object(std::uint64_t index, int depth, JsonValue& out) {
    if (depth > kMaxNesting) return fail("nesting deeper than " + std::to_string(kMaxNesting));
    if (++reached_ > kMostValues) {
      return fail("more than " + std::to_string(kMostValues) + " values");
    }
    if (const auto known = plain_.find(index); known != plain_.end()) {
      out = known->second;
      return true;
    }
    std::size_t at = 0;
    if (!offsetOf(index, at)) return false;
    const unsigned marker = static_cast<unsigned char>(bytes_[at++]);
    switch (marker >> 4) {
      case 0xA:
      case 0xD:
        return container(index, marker, at, depth, out);
      default:
        if (!plainValue(marker, at, out)) return false;
        plain_.emplace(index, out);
        return true;
    }
  }

  bool plainValue(unsigned marker, std::size_t at, JsonValue& out) {
    switch (marker >> 4) {
      case 0x0:
        if (marker == 0x08 || marker == 0x09) {
          out = JsonValue::ofBool(marker == 0x09);
          return true;
        }
        if (marker == 0x00) {
          out = JsonValue{};
          return true;
        }
        break;
      case 0x1:
        return integer(marker, at, out);
      case 0x2:
      case 0x3:
        return real(marker, at, out);
      case 0x4:
      case 0x5:
      case 0x6:
        return text(marker, at, out);
      default:
        break;
    }
    char hex[8];
    std::snprintf(hex, sizeof hex, "0x%02x", marker);
    return fail(std::string("an object of a kind managed preferences do not hold (marker ") + hex +
                ")");
  }

  bool integer(unsigned marker, std::size_t at, JsonValue& out) {
    const std::size_t width = std::size_t{1} << (marker & 0x0F);
    std::uint64_t high = 0;
    std::uint64_t low = 0;
    std::string text;
    if (width <= 8) {
      if (!number(at, width, table_, low)) return fail("an integer past the objects");
      // Eight bytes are signed; fewer are not.
      text = width == 8 ? std::to_string(static_cast<std::int64_t>(low)) : std::to_string(low);
    } else if (width == 16 && number(at, 8, table_, high) && number(at + 8, 8, table_, low)) {
      const bool negative = (low >> 63) != 0;
      if (high != (negative ? ~std::uint64_t{0} : 0)) return fail("an integer beyond 64 bits");
      text = negative ? std::to_string(static_cast<std::int64_t>(low)) : std::to_string(low);
    } else {
      return fail("an integer of " + std::to_string(width) + " bytes");
    }
    out = JsonValue::ofNumber(storage_->keep(text));
    return true;
  }

  // A real (4 or 8 bytes), or a date (marker 0x33, 8 bytes).
  bool real(unsigned marker, std::size_t at, JsonValue& out) {
    std::uint64_t bits = 0;
    const bool date = marker == 0x33;
    if (!date && marker != 0x22 && marker != 0x23) return fail("a real of an unknown size");
    const std::size_t width = marker == 0x22 ? 4 : 8;
    if (!number(at, width, table_, bits)) return fail("a real past the objects");
    const double value = width == 4 ? std::bit_cast<float>(static_cast<std::uint32_t>(bits))
                                    : std::bit_cast<double>(bits);
    if (date) {
      if (!std::isfinite(value) || std::fabs(value) > kMostSeconds) {
        return fail("a date out of range");
      }
      out = JsonValue::ofString(storage_->keep(isoDate(value)));
      return true;
    }
    char written[40];
    std::snprintf(written, sizeof written, width == 4 ? "%.9g" : "%.17g", value);
    out = JsonValue::ofNumber(storage_->keep(written));
    return true;
  }

  // Data (0x4), an ASCII string (0x5) or a UTF-16 one (0x6).
  bool text(unsigned marker, std::size_t at, JsonValue& out) {
    std::uint64_t count = 0;
    std::string_view raw;
    const unsigned kind = marker >> 4;
    if (!length(marker, at, count) || !span(at, count, kind == 0x6 ? 2 : 1, raw)) return false;
    if (kind == 0x4) {
      out = JsonValue::ofString(storage_->keep(base64(raw)));
    } else if (kind == 0x6) {
      out = JsonValue::ofString(storage_->keep(fromUtf16(raw)));
    } else if (std::any_of(raw.begin(), raw.end(), [](char c) { return (c & 0x80) != 0; })) {
      return fail("an ASCII string that is not ASCII");
    } else {
      out = JsonValue::ofString(storage_->keep(raw));
    }
    return true;
  }

  // An array (0xA) or a dict (0xD): its references, then each object.
  bool container(std::uint64_t index, unsigned marker, std::size_t at, int depth, JsonValue& out) {
    if (std::find(path_.begin(), path_.end(), index) != path_.end()) {
      return fail("a dict or array that holds itself");
    }
    const bool dict = (marker >> 4) == 0xD;
    std::uint64_t count = 0;
    std::string_view references;
    if (!length(marker, at, count) ||
        !span(at, count, referenceSize_ * (dict ? 2U : 1U), references)) {
      return false;
    }
    if (count > kMostValues - std::min(reached_, kMostValues)) {
      return fail("more than " + std::to_string(kMostValues) + " values");
    }
    // Within the span just checked; each must name an object.
    const auto reference = [&](std::size_t i, std::uint64_t& to) {
      return number(at + i * referenceSize_, referenceSize_, table_, to);
    };
    path_.push_back(index);
    const auto size = static_cast<std::size_t>(count);
    bool ok = true;
    if (dict) {
      const std::span<JsonMember> members(storage_->members(size), size);
      for (std::size_t i = 0; ok && i < size; ++i) {
        std::uint64_t key = 0;
        std::uint64_t value = 0;
        JsonValue name;
        ok = reference(i, key) && reference(size + i, value) && object(key, depth + 1, name) &&
             (name.isString() || fail("a dict key that is not a string")) &&
             object(value, depth + 1, members[i].value);
        members[i].name = name.text();
      }
      if (ok) out = JsonValue::ofObject(members.first(keepLastOfEachName(members)));
    } else {
      JsonValue* const items = storage_->values(size);
      for (std::size_t i = 0; ok && i < size; ++i) {
        std::uint64_t item = 0;
        ok = reference(i, item) && object(item, depth + 1, items[i]);
      }
      if (ok) out = JsonValue::ofArray({items, size});
    }
    path_.pop_back();
    return ok;
  }

  std::string_view bytes_;
  std::size_t offsetSize_ = 0;
  std::size_t referenceSize_ = 0;
  std::uint64_t count_ = 0;
  std::uint64_t top_ = 0;
  std::size_t table_ = 0;            // where the offset table begins, and the objects end
  std::vector<std::uint64_t> path_;  // the dicts and arrays being read, outermost first
  std::unordered_map<std::uint64_t, JsonValue> plain_;  // values other than those, once read
  std::size_t reached_ = 0;
  std::string why_;
  std::shared_ptr<JsonStorage> storage_ = std::make_shared<JsonStorage>();
};

}  // namespace

PlistReading readBinaryPlist(std::string_view bytes) { return BinaryPlist(bytes).read(); }

}  // namespace ostrel::doctor
