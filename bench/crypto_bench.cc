// Figures for the crypto layer: password crypt (logins per second; a login hashes twice) and
// cipher record throughput on 16 KiB records (16384 plaintext bytes, a 16386-byte record).
#include <benchmark/benchmark.h>

#include <vector>

#include "server/common/encryption.h"
#include "server/common/password_hash.h"

namespace {

constexpr std::size_t kPlaintext = 16384;
const char kKey[] = "$1$481572$MsGJjTcYgOyD/7fg7CJii.";

std::vector<std::uint8_t> Plaintext() {
  std::vector<std::uint8_t> p(kPlaintext);
  for (std::size_t i = 0; i < p.size(); ++i) p[i] = static_cast<std::uint8_t>(i * 7);
  return p;
}

// Arg: password length; logins always hash a 128-character expansion, the short one shows
// what the per-digest overhead costs.
void BM_HashPassword(benchmark::State& state) {
  const std::string password(static_cast<std::size_t>(state.range(0)), 'p');
  for (auto _ : state) benchmark::DoNotOptimize(HashPassword(password.c_str()));
  state.counters["logins_per_s"] =
      benchmark::Counter(static_cast<double>(state.iterations()) / 2, benchmark::Counter::kIsRate);
}
BENCHMARK(BM_HashPassword)->Arg(128)->Arg(1);

void BM_DeriveSessionKeyText(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(tarvo::DeriveSessionKeyText("secret"));
}
BENCHMARK(BM_DeriveSessionKeyText);

// Into a reused buffer, as a relay appends to its send queue.
void BM_EncryptRecordAppend(benchmark::State& state) {
  const auto plain = Plaintext();
  tarvo::AESEncryptor enc(kKey, 32);
  tarvo::ByteBuffer out;
  for (auto _ : state) {
    out.clear();
    enc.transformAppend(plain.data(), plain.size(), out);
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kPlaintext));
}
BENCHMARK(BM_EncryptRecordAppend);

// A fresh buffer per record.
void BM_EncryptRecordNew(benchmark::State& state) {
  const auto plain = Plaintext();
  tarvo::AESEncryptor enc(kKey, 32);
  for (auto _ : state) {
    tarvo::ByteBuffer out = enc.transform(plain.data(), plain.size());
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kPlaintext));
}
BENCHMARK(BM_EncryptRecordNew);

// Whole records per call (arg 0) or the record stream cut into pieces of arg bytes, as TCP
// delivers it; the pieces exercise the path through the pending bytes.
void BM_DecryptRecord(benchmark::State& state) {
  const auto plain = Plaintext();
  tarvo::AESEncryptor enc(kKey, 32);
  const tarvo::ByteBuffer record = enc.transform(plain.data(), plain.size());
  const auto piece = static_cast<std::size_t>(state.range(0));
  tarvo::AESDecryptor dec(kKey, 32);
  tarvo::ByteBuffer out;
  for (auto _ : state) {
    out.clear();
    if (piece == 0) {
      dec.transformAppend(record.data(), record.size(), out);
    } else {
      for (std::size_t at = 0; at < record.size(); at += piece) {
        dec.transformAppend(record.data() + at, std::min(piece, record.size() - at), out);
      }
    }
    benchmark::DoNotOptimize(out.data());
  }
  if (out.size() != kPlaintext) state.SkipWithError("decoder lost bytes");
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kPlaintext));
}
BENCHMARK(BM_DecryptRecord)->Arg(0)->Arg(1448);

}  // namespace

BENCHMARK_MAIN();
