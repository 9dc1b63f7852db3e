#include "server/service/v2/v2_front.h"

#include <sys/socket.h>

#include <cerrno>

#include "platform/fd.h"
#include "platform/home.h"
#include "server/common/tls_identity.h"
#include "server/common/v2_wire.h"
#include "server/service/base/diagnostics.h"
#include "server/service/base/settings.h"
#include "server/service/v2/v2_opening_socket.h"

namespace tarvo {

namespace {

UniqueSslCtx& Context() {
  static UniqueSslCtx ctx;
  return ctx;
}

std::string& Fingerprint() {
  static std::string fingerprint;
  return fingerprint;
}

}  // namespace

bool StartV2Front(const std::string& keyFile, const std::string& certificateFile,
                  std::string& error) {
  UniquePkey key;
  if (!keyFile.empty()) {
    key = ReadPrivateKey(keyFile, error);
  } else {
    std::string path;
    if (!HomeFilePath(kServerTlsKeyFileName, path, &error)) return false;
    key = LoadOrCreateServerKey(path, error);
  }
  if (!key) return false;
  UniqueSslCtx ctx = MakeServerContext(key.get(), certificateFile, error);
  if (!ctx) return false;
  Fingerprint() = FingerprintOfKey(key.get());
  Context() = std::move(ctx);
  // The public half, readable by the administration tools, which print its fingerprint.
  std::string publicPath;
  if (HomeFilePath(kServerTlsPublicKeyFileName, publicPath, nullptr)) {
    WritePublicKey(key.get(), publicPath);
  }
  return true;
}

SSL_CTX* V2Context() { return Context().get(); }

const std::string& V2Fingerprint() { return Fingerprint(); }

std::optional<bool> StartsWithTls(int handle) {
  std::uint8_t first = 0;
  ssize_t got;
  do {
    got = ::recv(handle, &first, 1, MSG_PEEK);
  } while (got < 0 && errno == EINTR);
  if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return std::nullopt;
  return got == 1 && first == kTlsHandshakeRecordByte;
}

void StartV2Connection(int handle, Socket* owner, std::uint32_t address) {
  if (V2Context() == nullptr) {
    CloseDescriptor(handle);
    return;
  }
  new V2OpeningSocket(handle, owner, address);  // owned by owner
}

}  // namespace tarvo
