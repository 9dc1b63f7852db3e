// One v2 connection on the server port: TLS 1.3 with the daemon's key, the opening frame, and
// then the v1 session or relay stream inside the TLS connection. The link joins the TLS
// connection to a socketpair whose other end is an ordinary session (UserSocket) or data
// connection (TcpRelay), so everything they do is done for v2 as well. Whatever goes wrong
// before that (no TLS, a bad frame, a wrong proof) ends the same way: close_notify, no byte of
// ours. Owned by the acceptor; it has no descriptor of its own, only its two ends.
#pragma once

#include <cstdint>
#include <memory>

#include "server/common/tls_pipe.h"
#include "server/common/v2_wire.h"
#include "server/service/net/socket.h"

namespace tarvo {

class V2LinkEnd;

class V2Link : public Socket {
 public:
  V2Link(int handle, Socket* owner, std::uint32_t address);
  ~V2Link() override;

  bool wantRead() const override { return false; }
  bool wantWrite() const override { return false; }
  bool wantExcept() const override { return false; }
  bool onRead() override { return true; }
  bool onWrite() override { return true; }
  bool onExcept() override { return true; }

 private:
  friend class V2LinkEnd;
  bool endWantsRead(const V2LinkEnd& end) const;
  bool endWantsWrite(const V2LinkEnd& end) const;
  // Either end is ready: the pipe moves what it can, then the link looks where it stands.
  void endReady();
  void readOpening();
  void joinSession(const V2Opening& opening);
  void joinRelay(const V2Opening& opening);
  // The inner end of a new socketpair, or -1.
  int makePlainEnd();
  // The uniform end of a connection that did not log in or open a relay.
  void refuse();
  void end();

  std::unique_ptr<TlsPipe> pipe_;
  V2LinkEnd* tls_;
  V2LinkEnd* plain_ = nullptr;
  std::uint32_t address_;
  NetworkTimer openingTimer_;
  bool joined_ = false;
  bool ended_ = false;
};

}  // namespace tarvo
