#include "server/service/v2/v2_front.h"

#include <openssl/crypto.h>
#include <sys/socket.h>

#include <cerrno>

#include "platform/fd.h"
#include "platform/home.h"
#include "server/common/tls_identity.h"
#include "server/common/v2_wire.h"
#include "server/service/base/diagnostics.h"
#include "server/service/base/settings.h"
#include "server/service/v2/v2_opening_socket.h"
#include "server/service/v2/v2_ticket_keys.h"

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

namespace {

// The key (keyFile, or the daemon's own in the home, made on first start) and the context
// around it.
UniqueSslCtx MakeV2Context(const std::string& keyFile, const std::string& certificateFile,
                           std::string& fingerprint, std::string& error) {
  UniquePkey key;
  if (!keyFile.empty()) {
    key = ReadPrivateKey(keyFile, error);
  } else {
    std::string path;
    if (!HomeFilePath(kServerTlsKeyFileName, path, &error)) return nullptr;
    key = LoadOrCreateServerKey(path, error);
  }
  if (!key) return nullptr;
  UniqueSslCtx ctx = MakeServerContext(key.get(), certificateFile, error);
  if (!ctx) return nullptr;
  fingerprint = FingerprintOfKey(key.get());
  // Tickets the next run still opens, so a client's next login resumes.
  std::string ticketsPath, ticketsError;
  if (HomeFilePath(kTicketKeysFileName, ticketsPath, &ticketsError) &&
      !UseTicketKeys(ctx.get(), ticketsPath, fingerprint, ticketsError)) {
    Diagnose("protocol v2: %s", ticketsError.c_str());
  }
  // The public half, readable by the administration tools, which print its fingerprint.
  std::string publicPath;
  if (HomeFilePath(kServerTlsPublicKeyFileName, publicPath, nullptr)) {
    WritePublicKey(key.get(), publicPath);
  }
  return ctx;
}

}  // namespace

bool StartV2Front(const std::string& keyFile, const std::string& certificateFile,
                  std::string& error) {
  std::string fingerprint;
  UniqueSslCtx ctx = MakeV2Context(keyFile, certificateFile, fingerprint, error);
  if (!ctx) return false;
  Fingerprint() = fingerprint;
  Context() = std::move(ctx);
  return true;
}

bool ReloadV2Front(const std::string& keyFile, const std::string& certificateFile,
                   std::string& error) {
  std::string fingerprint;
  UniqueSslCtx ctx = MakeV2Context(keyFile, certificateFile, fingerprint, error);
  if (!ctx) return false;
  if (Context()) {
    // The sessions' tickets stay good: their relays resume rather than shake hands in full.
    unsigned char keys[80];
    if (SSL_CTX_get_tlsext_ticket_keys(Context().get(), keys, sizeof keys) == 1) {
      SSL_CTX_set_tlsext_ticket_keys(ctx.get(), keys, sizeof keys);
    }
    OPENSSL_cleanse(keys, sizeof keys);
  }
  Fingerprint() = fingerprint;
  // Connections made with the old context keep it (each holds a reference).
  Context() = std::move(ctx);
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
