#ifndef OSTREL_RELAY_INCOMING_FRAMES_H_
#define OSTREL_RELAY_INCOMING_FRAMES_H_

// The reassembly buffer for frames arriving from the application: bytes are
// appended at the end as they are read, and whole frames are taken off the
// front. Its first byte is always the first byte of a frame header.
//
// Taking a frame off costs no copy of what follows it: the front only moves
// forward, and the unread rest is moved to the start of the storage once,
// before the next read. A burst of many small frames is therefore handled in
// time linear in its size. The buffer does no locking and never reads the
// socket itself.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

namespace ostrel {

class IncomingFrames {
 public:
  enum class Status {
    kIncomplete,  // fewer than 4 bytes, or the frame's payload is still missing
    kTooLong,     // the header declares more than the limit allows
  };

  // Space for up to `capacity` more bytes at the end, to read into.
  std::span<std::uint8_t> tail(std::size_t capacity);
  // Takes `count` bytes written into the space that tail() returned.
  void commit(std::size_t count);

  // Every complete frame at the front, side by side as they arrived, and
  // what stands after them: kIncomplete (nothing, or a frame still
  // arriving) or kTooLong. Lengths are judged against `maxMessageLength`
  // before completeness: a too-long header is reported as soon as its 4
  // bytes are present.
  struct CompleteRun {
    std::span<const std::uint8_t> frames;
    Status next;
  };
  CompleteRun completeFrames(std::int64_t maxMessageLength) const;
  // Removes the first `bytes` bytes: the frames completeFrames() returned.
  void consume(std::size_t bytes);

  // Discards everything, a partial frame included, and frees the storage.
  void clear();
  std::size_t size() const { return end_ - begin_; }
  bool empty() const { return begin_ == end_; }

 private:
  std::unique_ptr<std::uint8_t[]> storage_;
  std::size_t capacity_ = 0;
  std::size_t begin_ = 0;
  std::size_t end_ = 0;
};

}  // namespace ostrel

#endif  // OSTREL_RELAY_INCOMING_FRAMES_H_
