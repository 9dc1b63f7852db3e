#include "server/common/tls_identity.h"

#include <fcntl.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <vector>

namespace tarvo {

namespace {

std::string OpenSslError(const char* what) {
  char text[256] = "";
  ERR_error_string_n(ERR_get_error(), text, sizeof text);
  ERR_clear_error();
  return std::string(what) + ": " + text;
}

struct X509Deleter {
  void operator()(X509* cert) const { X509_free(cert); }
};
using UniqueX509 = std::unique_ptr<X509, X509Deleter>;

UniqueX509 SelfSigned(EVP_PKEY* key) {
  UniqueX509 cert(X509_new());
  if (!cert) return nullptr;
  X509_set_version(cert.get(), 2);
  ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), 1);
  X509_gmtime_adj(X509_getm_notBefore(cert.get()), -24 * 3600);
  // The key is pinned, not the certificate: it is made anew at every start and never expires
  // in any deployment's lifetime.
  X509_gmtime_adj(X509_getm_notAfter(cert.get()), 100L * 365 * 24 * 3600);
  X509_NAME* name = X509_get_subject_name(cert.get());
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>("tarvo"), -1, -1, 0);
  X509_set_issuer_name(cert.get(), name);
  X509_set_pubkey(cert.get(), key);
  // Ed25519 signs without a separate digest.
  if (X509_sign(cert.get(), key, nullptr) <= 0) return nullptr;
  return cert;
}

std::string FingerprintOfPublicKey(EVP_PKEY* key) {
  const int size = i2d_PUBKEY(key, nullptr);
  if (size <= 0) return {};
  std::vector<std::uint8_t> der(static_cast<std::size_t>(size));
  unsigned char* at = der.data();
  i2d_PUBKEY(key, &at);
  return FingerprintOfPublicKeyDer(der);
}

// A connection that resumed with a ticket gets no new one while its ticket has more than half
// its lifetime left: a relay then costs no ticket to seal on our side and none to take in on
// the client's, and the client's ticket is renewed by the first relay past half-life.
SSL_TICKET_RETURN OnTicketDecrypted(SSL* ssl, SSL_SESSION* session, const unsigned char*, size_t,
                                    SSL_TICKET_STATUS status, void*) {
  switch (status) {
    case SSL_TICKET_SUCCESS:
    case SSL_TICKET_SUCCESS_RENEW: {
      const long age = static_cast<long>(std::time(nullptr)) - SSL_SESSION_get_time(session);
      if (age < SSL_SESSION_get_timeout(session) / 2) {
        SSL_set_num_tickets(ssl, 0);
        return SSL_TICKET_RETURN_USE;
      }
      return SSL_TICKET_RETURN_USE_RENEW;
    }
    case SSL_TICKET_NONE:
    case SSL_TICKET_EMPTY:
    case SSL_TICKET_NO_DECRYPT:
      return SSL_TICKET_RETURN_IGNORE_RENEW;
    default:
      return SSL_TICKET_RETURN_ABORT;
  }
}

}  // namespace

UniquePkey ReadPrivateKey(const std::string& path, std::string& error) {
  FILE* file = std::fopen(path.c_str(), "r");
  if (file == nullptr) {
    error = "cannot open " + path;
    return nullptr;
  }
  UniquePkey key(PEM_read_PrivateKey(file, nullptr, nullptr, nullptr));
  std::fclose(file);
  if (!key) error = OpenSslError(("cannot read the key in " + path).c_str());
  return key;
}

UniquePkey LoadOrCreateServerKey(const std::string& path, std::string& error) {
  if (::access(path.c_str(), F_OK) == 0) return ReadPrivateKey(path, error);
  UniquePkey key(EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519"));
  if (!key) {
    error = OpenSslError("cannot make the server key");
    return nullptr;
  }
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) {
    error = "cannot create " + path;
    return nullptr;
  }
  FILE* file = ::fdopen(fd, "w");
  const bool written = file != nullptr &&
                       PEM_write_PrivateKey(file, key.get(), nullptr, nullptr, 0, nullptr,
                                            nullptr) == 1;
  const bool closed = file != nullptr ? std::fclose(file) == 0 : ::close(fd) == 0;
  if (!written || !closed) {
    ::unlink(path.c_str());
    error = "cannot write " + path;
    return nullptr;
  }
  return key;
}

UniqueSslCtx MakeServerContext(EVP_PKEY* key, const std::string& certificatePath,
                               std::string& error) {
  UniqueSslCtx ctx(SSL_CTX_new(TLS_server_method()));
  if (!ctx) {
    error = OpenSslError("cannot make the TLS context");
    return nullptr;
  }
  SSL_CTX_set_min_proto_version(ctx.get(), TLS1_3_VERSION);
  SSL_CTX_set_max_proto_version(ctx.get(), TLS1_3_VERSION);
  // AES-128-GCM first: the fastest with AES instructions, as strong as the relays need.
  SSL_CTX_set_ciphersuites(ctx.get(),
                           "TLS_AES_128_GCM_SHA256:TLS_AES_256_GCM_SHA384:TLS_CHACHA20_POLY1305_SHA256");
  SSL_CTX_set_options(ctx.get(), SSL_OP_CIPHER_SERVER_PREFERENCE);
  // Relays and later logins resume with a ticket (sealed with OpenSSL's keys for the process's
  // life, unless the owner installs keys of its own).
  SSL_CTX_set_num_tickets(ctx.get(), 1);
  SSL_CTX_set_session_cache_mode(ctx.get(), SSL_SESS_CACHE_OFF);
  SSL_CTX_set_session_ticket_cb(ctx.get(), nullptr, &OnTicketDecrypted, nullptr);
  if (!certificatePath.empty()) {
    if (SSL_CTX_use_certificate_chain_file(ctx.get(), certificatePath.c_str()) != 1) {
      error = OpenSslError(("cannot read the certificate " + certificatePath).c_str());
      return nullptr;
    }
  } else {
    UniqueX509 cert = SelfSigned(key);
    if (!cert || SSL_CTX_use_certificate(ctx.get(), cert.get()) != 1) {
      error = OpenSslError("cannot make the server certificate");
      return nullptr;
    }
  }
  if (SSL_CTX_use_PrivateKey(ctx.get(), key) != 1 || SSL_CTX_check_private_key(ctx.get()) != 1) {
    error = OpenSslError("the server key does not match its certificate");
    return nullptr;
  }
  return ctx;
}

UniqueSslCtx MakeClientContext() {
  UniqueSslCtx ctx(SSL_CTX_new(TLS_client_method()));
  if (!ctx) return nullptr;
  SSL_CTX_set_min_proto_version(ctx.get(), TLS1_3_VERSION);
  SSL_CTX_set_max_proto_version(ctx.get(), TLS1_3_VERSION);
  SSL_CTX_set_verify(ctx.get(), SSL_VERIFY_NONE, nullptr);
  // OpenSSL would still build and check a chain for the verify result nobody reads.
  SSL_CTX_set_cert_verify_callback(ctx.get(), [](X509_STORE_CTX*, void*) { return 1; }, nullptr);
  return ctx;
}

std::string FingerprintOfKey(EVP_PKEY* key) { return FingerprintOfPublicKey(key); }

bool WritePublicKey(EVP_PKEY* key, const std::string& path) {
  const std::string temporary = path + ".new";
  // The daemon's group (the administrators) reads it; nothing the daemon makes is open to others.
  const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0640);
  if (fd < 0) return false;
  FILE* file = ::fdopen(fd, "w");
  if (file == nullptr) {
    ::close(fd);
    return false;
  }
  const bool written = PEM_write_PUBKEY(file, key) == 1;
  if (std::fclose(file) != 0 || !written || std::rename(temporary.c_str(), path.c_str()) != 0) {
    ::unlink(temporary.c_str());
    return false;
  }
  return true;
}

std::string FingerprintOfPublicKeyFile(const std::string& path) {
  FILE* file = std::fopen(path.c_str(), "r");
  if (file == nullptr) return {};
  UniquePkey key(PEM_read_PUBKEY(file, nullptr, nullptr, nullptr));
  std::fclose(file);
  return key ? FingerprintOfPublicKey(key.get()) : std::string();
}

std::string PeerFingerprint(SSL* ssl) {
  X509* cert = SSL_get0_peer_certificate(ssl);
  if (cert == nullptr) return {};
  // The certificate's own SubjectPublicKeyInfo, the bytes i2d_PUBKEY would make: encoding it
  // costs a few thousand instructions, the key's encoder about a million.
  const int size = i2d_X509_PUBKEY(X509_get_X509_PUBKEY(cert), nullptr);
  if (size <= 0) return {};
  std::vector<std::uint8_t> der(static_cast<std::size_t>(size));
  unsigned char* at = der.data();
  i2d_X509_PUBKEY(X509_get_X509_PUBKEY(cert), &at);
  return FingerprintOfPublicKeyDer(der);
}

bool ExportChannelBinding(SSL* ssl, V2Exporter& exporter) {
  return SSL_export_keying_material(ssl, exporter.data(), exporter.size(), kV2ExporterLabel.data(),
                                    kV2ExporterLabel.size(), nullptr, 0, 0) == 1;
}

}  // namespace tarvo
