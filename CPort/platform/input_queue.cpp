// The ring buffer behind a device's input queue (see input_queue_p.h).
#include <algorithm>
#include <cstring>

#include "input_queue_p.h"

namespace CPort::Platform {

InputQueue::InputQueue(std::size_t limit) : storage_(limit), limit_(limit) {}

std::span<std::uint8_t> InputQueue::FreeSpan() {
  const std::size_t capacity = storage_.size();
  const std::size_t room = Room();
  if (room == 0) return {};
  const std::size_t tail = (head_ + size_) % capacity;
  const std::size_t contiguous = tail >= head_ ? capacity - tail : head_ - tail;
  return {storage_.data() + tail, std::min(contiguous, room)};
}

void InputQueue::Commit(std::size_t count) { size_ += count; }

std::size_t InputQueue::Take(std::uint8_t* destination, std::size_t count) {
  count = std::min(count, size_);
  const std::size_t capacity = storage_.size();
  const std::size_t first = std::min(count, capacity - head_);
  std::memcpy(destination, storage_.data() + head_, first);
  std::memcpy(destination + first, storage_.data(), count - first);
  head_ = (head_ + count) % capacity;
  size_ -= count;
  // An empty queue starts again at the front: the next read from the device
  // then gets one contiguous span.
  if (size_ == 0) head_ = 0;
  return count;
}

void InputQueue::Clear() {
  head_ = 0;
  size_ = 0;
}

void InputQueue::SetLimit(std::size_t limit) {
  std::vector<std::uint8_t> storage(std::max(limit, size_));
  const std::size_t kept = size_;
  Take(storage.data(), kept);
  storage_ = std::move(storage);
  head_ = 0;
  size_ = kept;
  limit_ = limit;
}

}  // namespace CPort::Platform
