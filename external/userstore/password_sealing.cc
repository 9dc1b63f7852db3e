#include "external/userstore/password_sealing.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <vector>

namespace tarvo::userstore {
namespace {

constexpr std::size_t kNonceSize = 12;
constexpr std::size_t kTagSize = 16;

struct CipherContextFree {
  void operator()(EVP_CIPHER_CTX* context) const { EVP_CIPHER_CTX_free(context); }
};
using CipherContext = std::unique_ptr<EVP_CIPHER_CTX, CipherContextFree>;

class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  ~FileDescriptor() {
    if (fd_ >= 0) close(fd_);
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

bool ReadExactly(int fd, std::uint8_t* data, std::size_t size) {
  while (size > 0) {
    ssize_t n = read(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

bool WriteExactly(int fd, const std::uint8_t* data, std::size_t size) {
  while (size > 0) {
    ssize_t n = write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

// 0: read; ENOENT: no such file; other errno: refused.
int ReadKeyFile(const std::string& path, SealKey& key) {
  FileDescriptor fd(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
  if (fd.get() < 0) return errno;
  struct stat info {};
  if (fstat(fd.get(), &info) != 0) return errno;
  if (!S_ISREG(info.st_mode) || info.st_size != static_cast<off_t>(kSealKeySize)) return EINVAL;
  return ReadExactly(fd.get(), key.data(), key.size()) ? 0 : EIO;
}

// A key that root makes (tarvostore, a console) in a home another user owns, the packaged
// service's /var/lib/tarvo, is that user's: the daemon running as that user must read it.
void GiveToHomeOwner(int fd, const std::string& path) {
  if (geteuid() != 0) return;
  const std::size_t slash = path.rfind('/');
  const std::string directory = slash == std::string::npos ? "." : path.substr(0, slash + 1);
  struct stat home {};
  if (stat(directory.c_str(), &home) != 0 || home.st_uid == 0) return;
  if (fchown(fd, home.st_uid, home.st_gid) != 0) {
    // Stays root's: the daemon then says that it cannot read the key.
  }
}

// Writes a fresh key under a private temporary name, then links it to path: the key file
// appears complete or not at all, and link() fails with EEXIST when another process won.
bool CreateKeyFile(const std::string& path) {
  SealKey key{};
  if (RAND_bytes(key.data(), static_cast<int>(key.size())) != 1) return false;
  std::string temporary = path + ".new." + std::to_string(getpid());
  unlink(temporary.c_str());  // a leftover of a crashed attempt of a process with our pid
  bool written = false;
  {
    FileDescriptor fd(
        open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600));
    if (fd.get() < 0) return false;
    GiveToHomeOwner(fd.get(), path);
    written = WriteExactly(fd.get(), key.data(), key.size()) && fsync(fd.get()) == 0;
  }
  OPENSSL_cleanse(key.data(), key.size());
  bool linked = written && (link(temporary.c_str(), path.c_str()) == 0 || errno == EEXIST);
  unlink(temporary.c_str());
  return linked;
}

std::string Base64Encode(const std::vector<std::uint8_t>& data) {
  std::string text(4 * ((data.size() + 2) / 3) + 1, '\0');
  int length = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()), data.data(),
                               static_cast<int>(data.size()));
  text.resize(static_cast<std::size_t>(length));
  return text;
}

std::optional<std::vector<std::uint8_t>> Base64Decode(const std::string& text) {
  if (text.empty() || text.size() % 4 != 0) return std::nullopt;
  std::vector<std::uint8_t> data(text.size() / 4 * 3);
  int length = EVP_DecodeBlock(data.data(), reinterpret_cast<const unsigned char*>(text.data()),
                               static_cast<int>(text.size()));
  if (length < 0) return std::nullopt;
  // EVP_DecodeBlock counts the bytes that '=' padding stands for; take them off.
  std::size_t padding = 0;
  if (text.back() == '=') ++padding;
  if (text.size() > 1 && text[text.size() - 2] == '=') ++padding;
  data.resize(static_cast<std::size_t>(length) - padding);
  return data;
}

}  // namespace

std::optional<SealKey> LoadSealKey(const std::string& path, bool create) {
  SealKey key{};
  int error = ReadKeyFile(path, key);
  if (error == ENOENT && create) {
    if (!CreateKeyFile(path)) return std::nullopt;
    error = ReadKeyFile(path, key);
  }
  if (error != 0) return std::nullopt;
  return key;
}

std::optional<std::string> SealPassword(const SealKey& key, const std::string& nameKey,
                                        const std::string& password) {
  std::vector<std::uint8_t> out(kNonceSize + password.size() + kTagSize);
  std::uint8_t* nonce = out.data();
  std::uint8_t* cipher = nonce + kNonceSize;
  std::uint8_t* tag = cipher + password.size();
  if (RAND_bytes(nonce, kNonceSize) != 1) return std::nullopt;

  CipherContext context(EVP_CIPHER_CTX_new());
  int length = 0;
  if (!context ||
      EVP_EncryptInit_ex(context.get(), EVP_aes_256_gcm(), nullptr, key.data(), nonce) != 1 ||
      EVP_EncryptUpdate(context.get(), nullptr, &length,
                        reinterpret_cast<const unsigned char*>(nameKey.data()),
                        static_cast<int>(nameKey.size())) != 1 ||
      EVP_EncryptUpdate(context.get(), cipher, &length,
                        reinterpret_cast<const unsigned char*>(password.data()),
                        static_cast<int>(password.size())) != 1 ||
      EVP_EncryptFinal_ex(context.get(), cipher + length, &length) != 1 ||
      EVP_CIPHER_CTX_ctrl(context.get(), EVP_CTRL_GCM_GET_TAG, kTagSize, tag) != 1) {
    return std::nullopt;
  }
  return kSealedPrefix + Base64Encode(out);
}

std::optional<std::string> OpenPassword(const SealKey& key, const std::string& nameKey,
                                        const std::string& sealed) {
  const std::size_t prefixLength = std::strlen(kSealedPrefix);
  if (sealed.compare(0, prefixLength, kSealedPrefix) != 0) return std::nullopt;
  auto data = Base64Decode(sealed.substr(prefixLength));
  if (!data || data->size() < kNonceSize + kTagSize) return std::nullopt;

  const std::uint8_t* nonce = data->data();
  const std::uint8_t* cipher = nonce + kNonceSize;
  const std::size_t cipherLength = data->size() - kNonceSize - kTagSize;
  const std::uint8_t* tag = cipher + cipherLength;
  std::string password(cipherLength, '\0');

  CipherContext context(EVP_CIPHER_CTX_new());
  int length = 0;
  if (!context ||
      EVP_DecryptInit_ex(context.get(), EVP_aes_256_gcm(), nullptr, key.data(), nonce) != 1 ||
      EVP_DecryptUpdate(context.get(), nullptr, &length,
                        reinterpret_cast<const unsigned char*>(nameKey.data()),
                        static_cast<int>(nameKey.size())) != 1 ||
      EVP_DecryptUpdate(context.get(), reinterpret_cast<unsigned char*>(password.data()), &length,
                        cipher, static_cast<int>(cipherLength)) != 1 ||
      EVP_CIPHER_CTX_ctrl(context.get(), EVP_CTRL_GCM_SET_TAG, kTagSize,
                          const_cast<std::uint8_t*>(tag)) != 1 ||
      EVP_DecryptFinal_ex(context.get(), reinterpret_cast<unsigned char*>(password.data()) + length,
                          &length) != 1) {
    OPENSSL_cleanse(password.data(), password.size());
    return std::nullopt;
  }
  return password;
}

}  // namespace tarvo::userstore
