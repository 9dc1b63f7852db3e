// The TLS side of protocol v2: the daemon's long-term key and the self-signed certificate made
// from it, the contexts of both roles (TLS 1.3 only), the peer's key fingerprint and the
// channel binding a login or relay proof is bound to.
#pragma once

#include <openssl/ssl.h>

#include <memory>
#include <string>

#include "server/common/v2_wire.h"

namespace tarvo {

struct SslCtxDeleter {
  void operator()(SSL_CTX* ctx) const { SSL_CTX_free(ctx); }
};
using UniqueSslCtx = std::unique_ptr<SSL_CTX, SslCtxDeleter>;
struct PkeyDeleter {
  void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
using UniquePkey = std::unique_ptr<EVP_PKEY, PkeyDeleter>;

// Reads the PEM private key at path; when there is no file, makes an Ed25519 key and writes it
// there with mode 0600 (never over an existing file). Null with error set when neither works.
UniquePkey LoadOrCreateServerKey(const std::string& path, std::string& error);
// Reads a PEM private key; null when it cannot.
UniquePkey ReadPrivateKey(const std::string& path, std::string& error);

// A server context with key and a self-signed certificate of it, or with the administrator's
// certificate chain file when certificatePath is not empty.
UniqueSslCtx MakeServerContext(EVP_PKEY* key, const std::string& certificatePath,
                               std::string& error);
// A client context: the server is accepted by its pinned key (checked after the handshake,
// before anything that depends on the password is sent), so no chain is verified.
UniqueSslCtx MakeClientContext();

std::string FingerprintOfKey(EVP_PKEY* key);
// The public half of key as PEM in path (mode 0640, replacing what was there); the fingerprint
// of the PEM public key in path, empty when it cannot be read.
bool WritePublicKey(EVP_PKEY* key, const std::string& path);
std::string FingerprintOfPublicKeyFile(const std::string& path);
// The fingerprint of the key the peer proved it holds; empty without a certificate.
std::string PeerFingerprint(SSL* ssl);
// The RFC 9266 channel binding of the connection.
bool ExportChannelBinding(SSL* ssl, V2Exporter& exporter);

}  // namespace tarvo
