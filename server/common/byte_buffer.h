// An owned, growable byte buffer: bytes are appended at the end and consumed from the front.
// Every queue, record and payload of the tunnel is one. Consuming from the front only moves
// a read offset; the storage is compacted when the dead prefix outweighs the live bytes, so a
// queue that is filled and drained piece by piece costs linear time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <utility>
#include <memory>
#include <vector>

namespace tarvo {

// Leaves new bytes uninitialised on resize: grow() is followed by a write of every byte.
template <typename T>
struct DefaultInitAllocator : std::allocator<T> {
  template <typename U>
  struct rebind {
    using other = DefaultInitAllocator<U>;
  };
  using std::allocator<T>::allocator;
  template <typename U>
  void construct(U* p) noexcept {
    ::new (static_cast<void*>(p)) U;
  }
  template <typename U, typename... Args>
  void construct(U* p, Args&&... args) {
    ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
  }
};

class ByteBuffer {
 public:
  ByteBuffer() = default;
  ByteBuffer(const void* data, std::size_t size) { append(data, size); }
  ByteBuffer(const ByteBuffer&) = default;
  ByteBuffer& operator=(const ByteBuffer&) = default;
  // A moved-from buffer is empty: the read offset must not outlive the storage it indexed.
  ByteBuffer(ByteBuffer&& other) noexcept
      : storage_(std::move(other.storage_)), head_(std::exchange(other.head_, 0)) {
    other.storage_.clear();
  }
  ByteBuffer& operator=(ByteBuffer&& other) noexcept {
    if (this != &other) {
      storage_ = std::move(other.storage_);
      head_ = std::exchange(other.head_, 0);
      other.storage_.clear();
    }
    return *this;
  }

  std::size_t size() const { return storage_.size() - head_; }
  bool empty() const { return size() == 0; }
  const std::uint8_t* data() const { return storage_.data() + head_; }
  std::uint8_t* data() { return storage_.data() + head_; }
  std::span<const std::uint8_t> view() const { return {data(), size()}; }

  void append(const void* bytes, std::size_t count) {
    if (count == 0) return;
    // Bytes of this very buffer would move under us when grow() reallocates or compacts.
    const auto* src = static_cast<const std::uint8_t*>(bytes);
    const auto at = reinterpret_cast<std::uintptr_t>(src);
    const auto live = reinterpret_cast<std::uintptr_t>(data());
    if (at >= live && at < live + size()) {
      const std::size_t offset = at - live;
      std::uint8_t* dst = grow(count);
      std::memcpy(dst, data() + offset, count);
      return;
    }
    std::memcpy(grow(count), src, count);
  }
  void append(std::span<const std::uint8_t> bytes) { append(bytes.data(), bytes.size()); }
  void append(const ByteBuffer& other) { append(other.data(), other.size()); }

  // Adds count bytes of unspecified value at the end and returns where they start.
  std::uint8_t* grow(std::size_t count) {
    compactIfWorthIt(count);
    std::size_t old = storage_.size();
    storage_.resize(old + count);
    return storage_.data() + old;
  }

  // Drops count bytes (at most size()) from the front.
  void consume(std::size_t count) {
    if (count >= size()) {
      clear();
      return;
    }
    head_ += count;
  }

  // Drops bytes from the end, keeping the first newSize bytes.
  void truncate(std::size_t newSize) {
    if (newSize == 0) {
      clear();
    } else if (newSize < size()) {
      storage_.resize(head_ + newSize);
    }
  }

  void clear() {
    storage_.clear();
    head_ = 0;
  }

  // Frees the storage too (a buffer of length 0 holds none).
  void release() {
    Storage().swap(storage_);
    head_ = 0;
  }

  void reserve(std::size_t capacity) { storage_.reserve(head_ + capacity); }

 private:
  void compactIfWorthIt(std::size_t incoming) {
    if (head_ == 0) return;
    if (head_ >= size() || storage_.size() + incoming > storage_.capacity()) {
      storage_.erase(storage_.begin(), storage_.begin() + static_cast<std::ptrdiff_t>(head_));
      head_ = 0;
    }
  }

  using Storage = std::vector<std::uint8_t, DefaultInitAllocator<std::uint8_t>>;
  Storage storage_;
  std::size_t head_ = 0;
};

}  // namespace tarvo
