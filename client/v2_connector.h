// tarvoclient's side of protocol v2: every connection to the daemon is TLS 1.3, the server is
// accepted only with the pinned key fingerprint (given by the administrator, or trusted on
// first use and kept in a known-servers file, as ssh does), and the v1 session or relay
// stream runs inside. The session is handed to its user as one end of a socketpair, which the
// connector's pump joins to TLS on the client's loop; a relay, where the bytes are, holds its
// TLS stream itself.
#pragma once

#include <netinet/in.h>
#include <openssl/ssl.h>

#include <cstdint>
#include <memory>
#include <set>
#include <string>

#include "client/tarvo_client_lib.h"
#include "platform/event_loop.h"
#include "server/common/tls_identity.h"
#include "server/common/tls_stream.h"
#include "server/common/v2_wire.h"

namespace tarvo::client {

struct V2Options {
  // Lower-case hex of the pinned key; empty: trust on first use through knownServersPath.
  std::string fingerprint;
  std::string knownServersPath;
};

// The default known-servers file: $XDG_CONFIG_HOME/tarvo/known_servers, else
// ~/.config/tarvo/known_servers.
std::string DefaultKnownServersPath();

class V2Connector {
 public:
  V2Connector(EventLoop& loop, V2Options options);
  // Ends every connection it still pumps.
  ~V2Connector();
  V2Connector(const V2Connector&) = delete;
  V2Connector& operator=(const V2Connector&) = delete;

  // Blocks at most timeoutMs: TCP, TLS (resumed with the last ticket when this server issued
  // it), the server's key checked, then the opening frame and the daemon's LoginAccepted.
  // kOk: innerFd is the session stream after LoginAccepted.
  // kClosed: the daemon ended the connection (the login was refused, for whatever reason).
  // kProtocolError with why set: the server's key is not the pinned one (nothing was sent).
  ClientStatus openSession(const std::string& host, std::uint16_t port, const std::string& user,
                           const std::string& keyText, int timeoutMs, int& innerFd,
                           std::uint32_t& sessionId, std::string& why);
  // A new relay connection of the session last opened: fd a non-blocking socket connecting to
  // the daemon, and TLS on it that resumes the session with its ticket. Null (fd -1) when no
  // descriptor could be had.
  std::unique_ptr<TlsStream> openRelay(int& fd);
  // After a relay's handshake: the server's key checked again, and the relay's opening frame
  // (its proof bound to this TLS connection) to send first. False: end the relay.
  bool relayOpening(SSL* ssl, ByteBuffer& frame);
  // The last openSession resumed with a ticket from an earlier session.
  bool lastSessionResumed() const { return resumed_; }

 private:
  class Pump;
  friend class Pump;
  bool pinAccepts(SSL* ssl, std::string& why);
  static int onNewTicket(SSL* ssl, SSL_SESSION* session);
  // Sets a copy of the last ticket on ssl to resume with.
  void offerTicket(SSL* ssl);

  EventLoop& loop_;
  V2Options options_;
  UniqueSslCtx ctx_;
  std::string hostPort_;
  sockaddr_in daemon_{};
  std::uint32_t sessionId_ = 0;
  V2Proof relayKey_{};
  SSL_SESSION* ticket_ = nullptr;
  std::string ticketFor_;  // the host:port that issued it
  bool resumed_ = false;
  std::set<Pump*> pumps_;  // each removes itself when it ends; the rest end with the connector
};

}  // namespace tarvo::client
