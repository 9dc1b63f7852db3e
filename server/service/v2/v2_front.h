// The daemon's side of protocol v2 on the server port: the TLS context made at start from the
// daemon's key, and the hand-over of a connection whose first byte opens a TLS handshake.
#pragma once

#include <openssl/ssl.h>

#include <cstdint>
#include <optional>
#include <string>

namespace tarvo {

class Socket;

// The daemon's own key, beside the store key in the home directory.
inline constexpr char kServerTlsKeyFileName[] = "tarvoserver-tls.key";
// Its public half, written at every start for the administration tools.
inline constexpr char kServerTlsPublicKeyFileName[] = "tarvoserver-tls.pub";

// Loads (or makes, on first start) the server key and builds the TLS context: keyFile and
// certificateFile are the settings' [TlsKey] and [TlsCertificate], empty for the daemon's own
// key in the home. False with error set when v2 cannot be offered.
bool StartV2Front(const std::string& keyFile, const std::string& certificateFile,
                  std::string& error);
// The same again for a reload (a renewed certificate, another key): the new context serves
// new connections, with the old one's ticket keys. False with error set: the old one stays.
// Network lock held.
bool ReloadV2Front(const std::string& keyFile, const std::string& certificateFile,
                   std::string& error);
// Null before StartV2Front succeeded.
SSL_CTX* V2Context();
const std::string& V2Fingerprint();

// True when the first bytes waiting on handle open a TLS handshake; nothing while no byte
// waits yet (a balancer's header may come on its own, ahead of them).
std::optional<bool> StartsWithTls(int handle);
// Takes an accepted connection over as a v2 connection (owned by owner). address: the peer's
// IPv4 address, network order.
void StartV2Connection(int handle, Socket* owner, std::uint32_t address);

}  // namespace tarvo
