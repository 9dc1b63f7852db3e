#include "server/common/byte_buffer.h"

#include <gtest/gtest.h>

#include <deque>
#include <random>
#include <vector>

namespace tarvo {
namespace {

std::vector<std::uint8_t> Contents(const ByteBuffer& b) {
  return std::vector<std::uint8_t>(b.data(), b.data() + b.size());
}

// Appends and consumes in random interleavings, checked against a plain queue; this walks the
// compaction paths (dead prefix larger than the live bytes, growth beyond capacity).
TEST(ByteBuffer, InterleavedAppendAndConsumeMatchAQueue) {
  std::mt19937 rng(5);
  ByteBuffer buffer;
  std::deque<std::uint8_t> model;
  std::uint8_t next = 0;
  for (int step = 0; step < 5000; ++step) {
    if (rng() % 2 == 0) {
      std::vector<std::uint8_t> chunk(rng() % 200);
      for (auto& x : chunk) x = next++;
      buffer.append(chunk.data(), chunk.size());
      model.insert(model.end(), chunk.begin(), chunk.end());
    } else {
      const std::size_t n = rng() % 250;
      buffer.consume(n);
      model.erase(model.begin(), model.begin() + static_cast<std::ptrdiff_t>(std::min(n, model.size())));
    }
    ASSERT_EQ(buffer.size(), model.size());
    ASSERT_EQ(Contents(buffer), std::vector<std::uint8_t>(model.begin(), model.end())) << step;
  }
}

TEST(ByteBuffer, GrowTruncateClearRelease) {
  ByteBuffer b("abcdef", 6);
  b.consume(2);
  std::uint8_t* tail = b.grow(3);
  tail[0] = 'x', tail[1] = 'y', tail[2] = 'z';
  EXPECT_EQ(Contents(b), (std::vector<std::uint8_t>{'c', 'd', 'e', 'f', 'x', 'y', 'z'}));
  b.truncate(2);
  EXPECT_EQ(Contents(b), (std::vector<std::uint8_t>{'c', 'd'}));
  b.truncate(5);  // never grows
  EXPECT_EQ(b.size(), 2u);
  b.truncate(0);
  EXPECT_TRUE(b.empty());
  b.append("q", 1);
  EXPECT_EQ(Contents(b), (std::vector<std::uint8_t>{'q'}));
  b.consume(10);  // more than it holds
  EXPECT_TRUE(b.empty());
  b.append("r", 1);
  b.release();
  EXPECT_TRUE(b.empty());

  // After reserve, growing within the reservation keeps the bytes where they are.
  ByteBuffer r("xy", 2);
  r.consume(1);
  r.reserve(100);
  const std::uint8_t* before = r.data();
  r.grow(99);
  EXPECT_EQ(r.data(), before);
  EXPECT_EQ(r.data()[0], 'y');
}

TEST(ByteBuffer, MovedFromBufferIsEmptyAndUsable) {
  ByteBuffer a("0123456789", 10);
  a.consume(4);
  ByteBuffer b(std::move(a));
  EXPECT_EQ(Contents(b), (std::vector<std::uint8_t>{'4', '5', '6', '7', '8', '9'}));
  EXPECT_EQ(a.size(), 0u);  // NOLINT(bugprone-use-after-move): the moved-from state is the point
  a.append("k", 1);
  EXPECT_EQ(Contents(a), (std::vector<std::uint8_t>{'k'}));

  ByteBuffer c("zz", 2);
  c.consume(1);
  c = std::move(b);
  EXPECT_EQ(c.size(), 6u);
  EXPECT_EQ(b.size(), 0u);  // NOLINT(bugprone-use-after-move)

  ByteBuffer copy = c;
  copy.consume(1);
  EXPECT_EQ(c.size(), 6u);
  EXPECT_EQ(copy.size(), 5u);
  copy = c;
  EXPECT_EQ(Contents(copy), Contents(c));
}

TEST(ByteBuffer, AppendingItsOwnBytes) {
  ByteBuffer b("abcd", 4);
  b.consume(1);
  for (int i = 0; i < 6; ++i) b.append(b);  // forces reallocation while reading from itself
  ASSERT_EQ(b.size(), 3u * 64);
  for (std::size_t i = 0; i < b.size(); ++i) EXPECT_EQ(b.data()[i], "bcd"[i % 3]) << i;
  b.append(b.data() + 1, 2);
  EXPECT_EQ(b.data()[b.size() - 2], 'c');
  EXPECT_EQ(b.data()[b.size() - 1], 'd');
}

}  // namespace
}  // namespace tarvo
