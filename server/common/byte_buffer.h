// An owned, growable byte buffer: bytes are appended at the end and consumed from the front.
// Every queue, record and payload of the tunnel is one. Consuming from the front only moves
// a read offset; the storage is compacted when the dead prefix outweighs the live bytes or
// before it grows.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <span>
#include <utility>

namespace tarvo {

class ByteBuffer {
 public:
  ByteBuffer() = default;
  ByteBuffer(const void* data, std::size_t size) { append(data, size); }
  ByteBuffer(const ByteBuffer& other) { append(other); }
  ByteBuffer& operator=(const ByteBuffer& other) {
    if (this != &other) {
      clear();
      append(other);
    }
    return *this;
  }
  // A moved-from buffer is empty and holds no storage.
  ByteBuffer(ByteBuffer&& other) noexcept
      : bytes_(std::move(other.bytes_)),
        head_(std::exchange(other.head_, 0)),
        end_(std::exchange(other.end_, 0)),
        capacity_(std::exchange(other.capacity_, 0)) {}
  ByteBuffer& operator=(ByteBuffer&& other) noexcept {
    if (this != &other) {
      bytes_ = std::move(other.bytes_);
      head_ = std::exchange(other.head_, 0);
      end_ = std::exchange(other.end_, 0);
      capacity_ = std::exchange(other.capacity_, 0);
    }
    return *this;
  }

  std::size_t size() const { return end_ - head_; }
  bool empty() const { return end_ == head_; }
  const std::uint8_t* data() const { return bytes_.get() + head_; }
  std::uint8_t* data() { return bytes_.get() + head_; }
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
    if (count > capacity_ - end_) {
      makeRoom(count);
    } else if (head_ != 0 && head_ >= size()) {
      moveToFront();
    }
    std::uint8_t* at = bytes_.get() + end_;
    end_ += count;
    return at;
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
      end_ = head_ + newSize;
    }
  }

  void clear() { head_ = end_ = 0; }

  // Bytes of storage held.
  std::size_t capacity() const { return capacity_; }

  // Frees the storage too (a buffer of length 0 holds none).
  void release() {
    bytes_.reset();
    head_ = end_ = capacity_ = 0;
  }

  // Makes room for capacity bytes in all without another allocation.
  void reserve(std::size_t capacity) {
    if (capacity > capacity_ - head_) reallocate(std::max(capacity, size()));
  }

 private:
  // The dead prefix is reclaimed before the storage grows; growth doubles, so a queue filled
  // and drained piece by piece costs linear time.
  void makeRoom(std::size_t count) {
    const std::size_t live = size();
    if (count > SIZE_MAX / 2 - live) throw std::bad_alloc();
    if (live + count <= capacity_) {
      moveToFront();
    } else {
      reallocate(std::max(live + count, capacity_ * 2));
    }
  }

  void moveToFront() {
    const std::size_t live = size();
    if (live != 0) std::memmove(bytes_.get(), bytes_.get() + head_, live);
    head_ = 0;
    end_ = live;
  }

  void reallocate(std::size_t capacity) {
    const std::size_t live = size();
    auto fresh = std::make_unique_for_overwrite<std::uint8_t[]>(capacity);
    if (live != 0) std::memcpy(fresh.get(), bytes_.get() + head_, live);
    bytes_ = std::move(fresh);
    head_ = 0;
    end_ = live;
    capacity_ = capacity;
  }

  std::unique_ptr<std::uint8_t[]> bytes_;
  std::size_t head_ = 0;
  std::size_t end_ = 0;
  std::size_t capacity_ = 0;
};

}  // namespace tarvo
