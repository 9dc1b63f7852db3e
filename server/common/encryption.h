// Cipher records: a 16-bit little-endian plaintext length, then the plaintext zero-padded to
// whole 32-byte units, each unit enciphered with AES-256 under the session key.
// AESEncryptor turns one plaintext into one record; AESDecryptor turns a record stream that
// arrives in arbitrary pieces back into plaintext, delivering each unit as soon as it is whole.
#pragma once

#include <cstddef>
#include <cstdint>

#include "external/aes_block.h"
#include "server/common/byte_buffer.h"

namespace tarvo {

inline constexpr std::size_t kRecordPrefixSize = 2;
inline constexpr std::size_t kMaxRecordPlaintext = 65535;

// Size of the record that carries n plaintext bytes.
constexpr std::size_t RecordSize(std::size_t n) {
  return kRecordPrefixSize + (n + kCipherUnitSize - 1) / kCipherUnitSize * kCipherUnitSize;
}

class BaseEncrypt {
 public:
  // The 32 key bytes are the first 32 bytes of keyText when length >= 32, else keyText repeated
  // from its start; with length <= 0 every key byte is keyText[0] (the NUL of an empty text).
  BaseEncrypt(const char* keyText, int length);
  virtual ~BaseEncrypt();
  BaseEncrypt(const BaseEncrypt&) = delete;
  BaseEncrypt& operator=(const BaseEncrypt&) = delete;

  // Returns a new buffer with the transformed bytes.
  virtual ByteBuffer transform(const std::uint8_t* data, std::size_t size) = 0;
  // Appends the transformed bytes to out (no intermediate buffer).
  virtual void transformAppend(const std::uint8_t* data, std::size_t size, ByteBuffer& out) = 0;

  const std::uint8_t* key() const { return key_; }

 protected:
  std::uint8_t key_[kCipherKeySize];
};

class AESEncryptor : public BaseEncrypt {
 public:
  AESEncryptor(const char* keyText, int length);
  // One call, one record. A plaintext over kMaxRecordPlaintext bytes (no caller sends one) goes
  // out as consecutive records, so nothing is lost or misframed on a record stream.
  ByteBuffer transform(const std::uint8_t* data, std::size_t size) override;
  void transformAppend(const std::uint8_t* data, std::size_t size, ByteBuffer& out) override;

 private:
  AesUnitCipher cipher_;
};

class AESDecryptor : public BaseEncrypt {
 public:
  AESDecryptor(const char* keyText, int length);
  // Takes more record bytes; returns (appends) every plaintext byte that can be produced so far.
  // data must not point into out.
  ByteBuffer transform(const std::uint8_t* data, std::size_t size) override;
  void transformAppend(const std::uint8_t* data, std::size_t size, ByteBuffer& out) override;

  // True while a record has begun but not all of its bytes have arrived.
  bool insideRecord() const { return recordTotal_ != 0; }
  // True when every byte taken so far belonged to whole records (not even a lone length byte
  // of the next record waits).
  bool atRecordBoundary() const { return recordTotal_ == 0 && pending_.empty(); }

 private:
  AesUnitCipher cipher_;
  std::size_t recordTotal_ = 0;  // enciphered size of the record in progress, prefix included
  std::size_t consumed_ = 0;     // bytes of that record taken so far, prefix included
  std::uint16_t plaintextLength_ = 0;
  ByteBuffer pending_;
};

}  // namespace tarvo
