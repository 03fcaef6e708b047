#ifndef OSTREL_CHANNEL_PAYLOAD_H_
#define OSTREL_CHANNEL_PAYLOAD_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string_view>

namespace ostrel {

// Spare bytes allocated past the end of every payload, all zero. A JSON
// parser that reads ahead in wide blocks can then parse the payload in place
// instead of copying it into a padded buffer of its own.
inline constexpr std::size_t kPayloadPadding = 64;

// The body of one message: a contiguous, owned byte sequence, moved rather
// than copied. It never looks at or changes its bytes; the padding after
// size() is not part of the message. The 4-byte frame header for the bytes
// sits right in front of them, so the whole frame can be written without
// copying the payload (frame()).
class Payload {
 public:
  Payload() : Payload(0) {}
  // size bytes, left for the caller to fill. size must fit the frame's
  // 32-bit length field.
  explicit Payload(std::size_t size);

  static Payload copyOf(std::span<const std::uint8_t> bytes);
  static Payload copyOf(std::string_view text);

  Payload(Payload&&) noexcept = default;
  Payload& operator=(Payload&&) noexcept = default;
  Payload(const Payload&) = delete;
  Payload& operator=(const Payload&) = delete;

  std::uint8_t* data() { return storage_.get() + kHeaderRoom; }
  const std::uint8_t* data() const { return storage_.get() + kHeaderRoom; }
  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  std::span<const std::uint8_t> bytes() const { return {data(), size_}; }
  std::string_view text() const { return {reinterpret_cast<const char*>(data()), size_}; }
  // The frame of this payload: its 4-byte length, then its bytes.
  std::span<const std::uint8_t> frame() const { return {storage_.get(), kHeaderRoom + size_}; }

 private:
  static constexpr std::size_t kHeaderRoom = 4;

  std::unique_ptr<std::uint8_t[]> storage_;
  std::size_t size_ = 0;
};

}  // namespace ostrel

#endif  // OSTREL_CHANNEL_PAYLOAD_H_
