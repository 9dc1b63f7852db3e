// One TCP relay of a logged-in session: the client's data connection and, once the client has
// named its destination in the 8-byte header, the connection to that destination. The relay
// holds both connections, the queue toward each, one pump that moves bytes one way (records
// deciphered toward the destination, plaintext made into records toward the client) and one
// close: the "disconnect" row (or "connect" "fail" while still connecting), the console's
// notification, and both connections ended. Owned by the session (SessionRelays); it is not a
// socket: its two ends are, children of the session's socket that ask the relay what to do.
// The relay goes when the loop has deleted its ends.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "external/aes_block.h"
#include "server/common/byte_buffer.h"
#include "server/common/encryption.h"
#include "server/common/tls_stream.h"
#include "server/service/policy/rate_gate.h"
#include "server/service/relay/relay_buffers.h"

namespace tarvo {

class RelayEnd;
class RelayHost;

// An end reads only while the queue it feeds holds less than this, and never more than the room
// left below it.
inline constexpr std::size_t kRelayQueueLimit = 65536;
// The plaintext of one record from a destination: the largest whole number of cipher units a
// record can carry (65535 at most), so a full record needs no padding.
inline constexpr std::size_t kRelayReadChunk = 65504;
// The most a queue holds: records made of a read of the room left carry at most two records'
// prefix and padding beyond it; plaintext toward a destination exceeds the read by less than
// the one cipher unit an earlier read may have begun.
inline constexpr std::size_t kRelayQueueMost =
    kRelayQueueLimit + 2 * (kRecordPrefixSize + kCipherUnitSize - 1);
// Reads per readiness report: a busy relay yields to the others.
inline constexpr int kRelayRoundsPerEvent = 4;

class TcpRelay {
 public:
  // Starts a relay on an accepted data connection, owned by the session; it awaits the
  // destination header. Network lock held.
  // tls: the client's end of a v2 relay, over which the destination's bytes travel as they are.
  static void Start(RelayHost& session, int handle, std::unique_ptr<TlsStream> tls = nullptr);
  ~TcpRelay();
  TcpRelay(const TcpRelay&) = delete;
  TcpRelay& operator=(const TcpRelay&) = delete;

  // Ends both connections before the next wait, dropping what is queued (the session is over
  // its limit or ends).
  void close();

  // From the header on the relay is listed by the session and has a destination.
  bool hasDestination() const { return destination_ != nullptr; }
  std::uint32_t destinationAddress() const { return address_; }  // network order
  std::uint16_t destinationPort() const { return port_; }        // host order
  std::uint16_t localPort() const;  // source port, host order
  bool connecting() const;
  std::size_t queuedForClient() const { return toClient_.size(); }
  std::size_t queuedForDestination() const { return toDestination_.size(); }

 private:
  friend class RelayEnd;
  enum class Way { kToDestination, kToClient };

  TcpRelay(RelayHost& session, int handle, std::unique_ptr<TlsStream> tls);

  // What an end wants watched, and what its readiness does.
  bool endWantsRead(const RelayEnd& end) const;
  bool endWantsWrite(const RelayEnd& end) const;
  bool endWantsExcept(const RelayEnd& end) const;
  void endReadable(RelayEnd& end) REQUIRES(NetworkLock);
  void endWritable(RelayEnd& end) REQUIRES(NetworkLock);
  void endException(RelayEnd& end) REQUIRES(NetworkLock);
  // An end is being deleted: the first writes the close, the last lets the session drop the
  // relay.
  void endGone(RelayEnd& end) REQUIRES(NetworkLock);
  // The row and notification of a relay that had a destination, once.
  void writeClose() REQUIRES(NetworkLock);

  void readHeader() REQUIRES(NetworkLock);
  // Frees a queue's storage, for the allocator to give back after a burst.
  static void releaseQueue(ByteBuffer& queue);
  // Deciphers records from the client into the destination's queue and counts them.
  void takeFromClient(const std::uint8_t* records, std::size_t size);
  void openDestination() REQUIRES(NetworkLock);
  // Moves bytes one way: sends the queue toward the sink, reads the source into it while it is
  // below its limit, and sends again, for up to kRelayRoundsPerEvent reads.
  void pump(Way way);
  // Sends the queue toward the sink of way; false when that end failed.
  bool flush(Way way);
  // The end of the source (0 from recv) or a failure of an end: nothing more is read, what the
  // working ends are owed is sent, then the relay closes. A failed end's queue is dropped.
  void beginEnd(RelayEnd* failed = nullptr);
  // After each readiness report: closes the relay when it has ended and sent what it owed,
  // else has the loop ask both ends again.
  void settle();
  void notify(std::uint32_t code) const;
  // A narrow relay whose source fills its window takes a wide grant if one is left.
  void widen();

  RelayHost& session_;
  const bool plain_;  // v2: no cipher records inside TLS
  WideGrant grant_;   // before the ends, whose buffers it sizes
  RelayEnd* client_;
  RelayEnd* destination_ = nullptr;  // from the header on
  ByteBuffer toClient_;              // records for the client
  ByteBuffer toDestination_;         // plaintext for the destination
  std::unique_ptr<AESDecryptor> decryptor_;
  AesUnitCipher encipher_;
  std::uint8_t header_[8] = {};
  std::size_t headerSize_ = 0;
  std::uint32_t address_ = 0;
  std::uint16_t port_ = 0;
  mutable std::uint16_t localPort_ = 0;  // found when first asked
  // Places in the user's speed limits: a source that waits for its turn is not read.
  RateWaiter upWait_;
  RateWaiter downWait_;
  bool ending_ = false;
  bool closed_ = false;
  bool closeWritten_ = false;
};

}  // namespace tarvo
