// The ring buffer behind a device's input queue (see input_queue_p.h).
#include <algorithm>
#include <cstring>

#include "input_queue_p.h"

namespace CPort::Platform {

namespace {
// The first allocation, and the least a growth adds.
constexpr std::size_t kGrowthStep = 4096;
}  // namespace

void InputQueue::Grow() {
  const std::size_t capacity = storage_.size();
  const std::size_t wanted = std::min(std::max(capacity * 2, capacity + kGrowthStep), std::max(limit_, size_));
  if (wanted <= capacity) return;
  std::vector<std::uint8_t> grown(wanted);
  const std::size_t kept = size_;
  Take(grown.data(), kept);
  storage_ = std::move(grown);
  head_ = 0;
  size_ = kept;
}

std::span<std::uint8_t> InputQueue::FreeSpan() {
  const std::size_t room = Room();
  if (room == 0) return {};
  if (size_ == storage_.size()) Grow();
  const std::size_t capacity = storage_.size();
  if (size_ == capacity) return {};
  const std::size_t tail = (head_ + size_) % capacity;
  const std::size_t contiguous = tail >= head_ ? capacity - tail : head_ - tail;
  return {storage_.data() + tail, std::min(contiguous, room)};
}

void InputQueue::Commit(std::size_t count) { size_ += count; }

std::size_t InputQueue::Take(std::uint8_t* destination, std::size_t count) {
  count = std::min(count, size_);
  if (count == 0) return 0;
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

}  // namespace CPort::Platform
