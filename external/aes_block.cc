// AES-256-ECB over OpenSSL libcrypto. A 32-byte unit is two 16-byte blocks, so a run of units
// is simply a run of blocks and one EVP call can transform all of them.
#include "external/aes_block.h"

#include <openssl/evp.h>

#include <climits>
#include <cstdlib>
#include <cstring>

namespace tarvo {
namespace {

// Fetched once: an implicit fetch on every context set-up costs a provider look-up.
const EVP_CIPHER* Aes256Ecb() {
  static EVP_CIPHER* cipher = EVP_CIPHER_fetch(nullptr, "AES-256-ECB", nullptr);
  return cipher;
}

void InitContext(EVP_CIPHER_CTX* ctx, const std::uint8_t* key, bool encrypt) {
  // Without AES no client can be spoken to; carrying on would send plaintext.
  const EVP_CIPHER* cipher = Aes256Ecb();
  if (cipher == nullptr ||
      EVP_CipherInit_ex2(ctx, cipher, key, nullptr, encrypt ? 1 : 0, nullptr) != 1 ||
      EVP_CIPHER_CTX_set_padding(ctx, 0) != 1) {
    std::abort();
  }
}

// ECB with padding off never buffers, so the length written always equals the length given.
void Run(EVP_CIPHER_CTX* ctx, const std::uint8_t* in, std::uint8_t* out, std::size_t bytes) {
  constexpr std::size_t kMaxChunk = static_cast<std::size_t>(INT_MAX) / kCipherUnitSize *
                                    kCipherUnitSize;
  while (bytes > 0) {
    std::size_t chunk = bytes < kMaxChunk ? bytes : kMaxChunk;
    int written = 0;
    if (EVP_CipherUpdate(ctx, out, &written, in, static_cast<int>(chunk)) != 1) std::abort();
    in += chunk;
    out += chunk;
    bytes -= chunk;
  }
}

// The unit calls keep one context per thread and set the key schedule up again only when the
// key or the direction changes, which for a stream transformer is never.
void UnitCall(const std::uint8_t* input, std::uint8_t* output, const std::uint8_t* key,
              bool encrypt) {
  struct Cached {
    EVP_CIPHER_CTX* ctx = nullptr;
    std::uint8_t key[kCipherKeySize] = {};
    bool encrypt = false;
    bool keyed = false;
    ~Cached() { EVP_CIPHER_CTX_free(ctx); }
  };
  thread_local Cached cached;
  if (cached.ctx == nullptr) {
    cached.ctx = EVP_CIPHER_CTX_new();
    if (cached.ctx == nullptr) std::abort();
  }
  if (!cached.keyed || cached.encrypt != encrypt ||
      std::memcmp(cached.key, key, kCipherKeySize) != 0) {
    InitContext(cached.ctx, key, encrypt);
    std::memcpy(cached.key, key, kCipherKeySize);
    cached.encrypt = encrypt;
    cached.keyed = true;
  }
  Run(cached.ctx, input, output, kCipherUnitSize);
}

}  // namespace

bool AesAvailable() { return Aes256Ecb() != nullptr; }

struct AesUnitCipher::Context {
  EVP_CIPHER_CTX* ctx;
};

AesUnitCipher::AesUnitCipher(const std::uint8_t key[kCipherKeySize], Direction direction)
    : context_(new Context{EVP_CIPHER_CTX_new()}) {
  if (context_->ctx == nullptr) std::abort();
  InitContext(context_->ctx, key, direction == Direction::kEncrypt);
}

AesUnitCipher::~AesUnitCipher() {
  EVP_CIPHER_CTX_free(context_->ctx);
  delete context_;
}

void AesUnitCipher::transform(std::uint8_t* units, std::size_t unitCount) {
  Run(context_->ctx, units, units, unitCount * kCipherUnitSize);
}

void AesUnitCipher::transform(const std::uint8_t* input, std::uint8_t* output,
                              std::size_t unitCount) {
  Run(context_->ctx, input, output, unitCount * kCipherUnitSize);
}

}  // namespace tarvo

extern "C" void ecbcrypt(const std::uint8_t* input, std::uint8_t* output,
                         const std::uint8_t* key) {
  tarvo::UnitCall(input, output, key, true);
}

extern "C" void ecbdecrypt(const std::uint8_t* input, std::uint8_t* output,
                           const std::uint8_t* key) {
  tarvo::UnitCall(input, output, key, false);
}
