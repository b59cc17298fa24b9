// ---------------------------------------------------------------------------
// Not API. Private to the platform layer.
// ---------------------------------------------------------------------------
// The user-space input queue of a device: a ring buffer whose limit is the
// InputSize given to SetupComm. Its storage grows with the data that arrives
// and never beyond the limit, so a large limit costs nothing until that much
// input is actually waiting. Bytes are read from the device straight into
// its free space, so the queue never copies on the way in.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace CPort::Platform {

class InputQueue {
 public:
  explicit InputQueue(std::size_t limit) : limit_(limit) {}

  std::size_t Size() const { return size_; }
  std::size_t Limit() const { return limit_; }
  std::size_t Room() const { return size_ < limit_ ? limit_ - size_ : 0; }
  // Bytes of storage held now (for tests: the queue must not pre-fill).
  std::size_t Capacity() const { return storage_.size(); }

  // Contiguous free space after the newest byte, at most Room() bytes; fill
  // it and Commit what was written. Grows the storage when it is full.
  std::span<std::uint8_t> FreeSpan();
  void Commit(std::size_t count);

  // Moves up to `count` of the oldest bytes to `destination`.
  std::size_t Take(std::uint8_t* destination, std::size_t count);
  void Clear();
  // Changes the limit. Bytes already queued are kept even when they exceed
  // the new limit; the queue then takes no more until it drops below it.
  void SetLimit(std::size_t limit) { limit_ = limit; }

 private:
  void Grow();

  std::vector<std::uint8_t> storage_;
  std::size_t head_ = 0;
  std::size_t size_ = 0;
  std::size_t limit_;
};

}  // namespace CPort::Platform
