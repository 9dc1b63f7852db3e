#include "server/common/encryption.h"

#include <cstring>

namespace tarvo {
namespace {

// The largest whole-unit plaintext one record carries; longer inputs are split there so only
// the last record of a split carries padding.
constexpr std::size_t kMaxSplitPlaintext = kMaxRecordPlaintext / kCipherUnitSize * kCipherUnitSize;

}  // namespace

BaseEncrypt::BaseEncrypt(const char* keyText, int length) {
  if (keyText == nullptr) {
    std::memset(key_, 0, sizeof key_);
  } else if (length >= static_cast<int>(kCipherKeySize)) {
    std::memcpy(key_, keyText, kCipherKeySize);
  } else if (length <= 0) {
    std::memset(key_, static_cast<unsigned char>(keyText[0]), sizeof key_);
  } else {
    const auto l = static_cast<std::size_t>(length);
    for (std::size_t i = 0; i < kCipherKeySize; ++i) {
      key_[i] = static_cast<std::uint8_t>(keyText[i % l]);
    }
  }
}

BaseEncrypt::~BaseEncrypt() = default;

AESEncryptor::AESEncryptor(const char* keyText, int length)
    : BaseEncrypt(keyText, length), cipher_(key_, AesUnitCipher::Direction::kEncrypt) {}

ByteBuffer AESEncryptor::transform(const std::uint8_t* data, std::size_t size) {
  ByteBuffer out;
  out.reserve(RecordSize(size) + (size / kMaxSplitPlaintext) * kRecordPrefixSize);
  transformAppend(data, size, out);
  return out;
}

void AESEncryptor::transformAppend(const std::uint8_t* data, std::size_t size, ByteBuffer& out) {
  // A plaintext longer than a record can announce goes out as consecutive records rather than
  // with a wrapped length; a stream decoder yields the same bytes.
  do {
    const std::size_t n = size <= kMaxRecordPlaintext ? size : kMaxSplitPlaintext;
    std::uint8_t* record = out.grow(RecordSize(n));
    record[0] = static_cast<std::uint8_t>(n & 0xff);
    record[1] = static_cast<std::uint8_t>(n >> 8);
    std::uint8_t* units = record + kRecordPrefixSize;
    const std::size_t whole = n / kCipherUnitSize;
    cipher_.transform(data, units, whole);
    if (const std::size_t tail = n % kCipherUnitSize; tail != 0) {
      std::uint8_t* last = units + whole * kCipherUnitSize;
      std::memcpy(last, data + whole * kCipherUnitSize, tail);
      std::memset(last + tail, 0, kCipherUnitSize - tail);
      cipher_.transform(last, 1);
    }
    data += n;
    size -= n;
  } while (size > 0);
}

AESDecryptor::AESDecryptor(const char* keyText, int length)
    : BaseEncrypt(keyText, length), cipher_(key_, AesUnitCipher::Direction::kDecrypt) {}

ByteBuffer AESDecryptor::transform(const std::uint8_t* data, std::size_t size) {
  ByteBuffer out;
  out.reserve(pending_.size() + size);
  transformAppend(data, size, out);
  return out;
}

// Pending only ever holds a piece shorter than what the decoder waits for (one or no prefix
// byte, or the start of a unit), because whole units are deciphered as soon as they are there.
// Whole units are therefore deciphered straight from the input into the output.
void AESDecryptor::transformAppend(const std::uint8_t* data, std::size_t size, ByteBuffer& out) {
  for (;;) {
    if (recordTotal_ == 0) {
      if (pending_.size() + size < kRecordPrefixSize) break;
      std::uint8_t prefix[kRecordPrefixSize];
      const std::size_t fromPending = pending_.size();
      if (fromPending != 0) std::memcpy(prefix, pending_.data(), fromPending);
      std::memcpy(prefix + fromPending, data, kRecordPrefixSize - fromPending);
      data += kRecordPrefixSize - fromPending;
      size -= kRecordPrefixSize - fromPending;
      pending_.clear();
      plaintextLength_ = static_cast<std::uint16_t>(prefix[0] | (prefix[1] << 8));
      recordTotal_ = RecordSize(plaintextLength_);
      consumed_ = kRecordPrefixSize;
      if (plaintextLength_ == 0) {
        recordTotal_ = 0;
        consumed_ = 0;
        continue;
      }
    }

    const std::size_t plaintextEnd = plaintextLength_ + kRecordPrefixSize;
    std::size_t takeIn = 0;
    std::uint8_t* units = nullptr;
    if (!pending_.empty()) {
      // Complete the unit that was started in an earlier call.
      const std::size_t missing = kCipherUnitSize - pending_.size();
      if (size < missing) break;
      units = out.grow(kCipherUnitSize);
      std::memcpy(units, pending_.data(), pending_.size());
      std::memcpy(units + pending_.size(), data, missing);
      pending_.clear();
      data += missing;
      size -= missing;
      takeIn = kCipherUnitSize;
      cipher_.transform(units, 1);
    } else {
      const std::size_t rest = recordTotal_ - consumed_;
      takeIn = size >= rest ? rest : size / kCipherUnitSize * kCipherUnitSize;
      if (takeIn == 0) break;
      units = out.grow(takeIn);
      cipher_.transform(data, units, takeIn / kCipherUnitSize);
      data += takeIn;
      size -= takeIn;
    }
    const std::size_t deliver =
        plaintextEnd - consumed_ < takeIn ? plaintextEnd - consumed_ : takeIn;
    out.truncate(out.size() - (takeIn - deliver));  // padding is never delivered
    consumed_ += takeIn;
    if (consumed_ == recordTotal_) {
      recordTotal_ = 0;
      consumed_ = 0;
    }
  }
  pending_.append(data, size);
}

}  // namespace tarvo
