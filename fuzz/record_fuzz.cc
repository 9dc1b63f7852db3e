// The record decoder on a stream cut into the pieces the input chooses. After every piece the
// plaintext delivered so far must be exactly what the stream's prefixes announce (whole records'
// lengths, plus the whole units of the record in progress, never its padding), and equal to
// what one decoder fed everything at once delivers.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "server/common/encryption.h"

using namespace tarvo;

namespace {

// How many plaintext bytes the first `length` bytes of a record stream carry, and whether the
// stream then ends inside a record.
std::size_t Announced(const std::vector<std::uint8_t>& stream, std::size_t length, bool& inside) {
  std::size_t delivered = 0;
  std::size_t pos = 0;
  inside = false;
  while (length - pos >= kRecordPrefixSize) {
    const std::size_t n = stream[pos] | stream[pos + 1] << 8;
    const std::size_t total = RecordSize(n);
    if (length - pos >= total) {
      delivered += n;
      pos += total;
      continue;
    }
    const std::size_t units = (length - pos - kRecordPrefixSize) / kCipherUnitSize;
    delivered += std::min(n, units * kCipherUnitSize);
    inside = true;
    return delivered;
  }
  inside = false;
  return delivered;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  AESDecryptor pieces(fuzz::kSecretKeyText, 32);
  std::vector<std::uint8_t> stream;
  ByteBuffer out;
  while (input.remaining_bytes() > 0) {
    // Piece sizes from the end of the input, stream bytes from its front.
    const std::size_t n = input.ConsumeIntegralInRange<std::size_t>(0, 300);
    std::vector<std::uint8_t> piece = input.ConsumeBytes<std::uint8_t>(n);
    if (piece.size() % 2 == 0) {
      pieces.transformAppend(piece.data(), piece.size(), out);
    } else {
      ByteBuffer got = pieces.transform(piece.data(), piece.size());
      out.append(got);
    }
    stream.insert(stream.end(), piece.begin(), piece.end());
    bool inside = false;
    FUZZ_CHECK(out.size() == Announced(stream, stream.size(), inside));
    // Inside a record exactly when its prefix has arrived and not all of its units.
    FUZZ_CHECK(pieces.insideRecord() == inside);
  }

  AESDecryptor whole(fuzz::kSecretKeyText, 32);
  ByteBuffer all = whole.transform(stream.data(), stream.size());
  FUZZ_CHECK(all.size() == out.size());
  FUZZ_CHECK(std::equal(all.data(), all.data() + all.size(), out.data()));
  FUZZ_CHECK(whole.insideRecord() == pieces.insideRecord());
  return 0;
}
