// What the relays, the UDP channels and the name look-ups see of the session they serve: its
// keys and identity, its queue toward the client, its account and speed limits, and the list
// of its relays. The session implements it. Network lock held for everything here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "server/common/byte_buffer.h"
#include "server/service/relay/session_relays.h"
#include "server/service/store/traffic_accounting.h"

namespace tarvo {

class AESEncryptor;
class RateGate;
class Socket;

class RelayHost {
 public:
  // The socket its relays' ends and its channels belong to: they end with it.
  virtual Socket& relayOwner() = 0;
  virtual const std::string& userName() const = 0;
  virtual std::uint32_t peerAddress() const = 0;  // network order
  virtual std::uint32_t sessionId() const = 0;
  // The session key text that data connections are enciphered with.
  virtual const std::string& keyText() const = 0;
  // nullptr before the login.
  virtual AESEncryptor* encryptor() = 0;
  // Deciphers session message records; false when the payload ends inside a record.
  virtual bool decipher(std::span<const std::uint8_t> records, ByteBuffer& plaintext) = 0;
  // Bytes for the client, and how much waits to be sent to it.
  virtual void queueOutput(std::span<const std::uint8_t> bytes) = 0;
  virtual std::size_t queuedForClient() const = 0;
  // Relayed bytes (the account's) and datagram bytes (the metrics' alone).
  virtual void countRelayed(std::uint64_t bytes, Flow flow = Flow::kDown) = 0;
  virtual void countDatagram(std::uint64_t bytes, Flow flow) = 0;
  virtual bool overQuota() const = 0;
  // The user's speed limits each way; nullptr without any.
  virtual RateGate* downGate() const = 0;
  virtual RateGate* upGate() const = 0;

  SessionRelays& relays() { return relays_; }
  const SessionRelays& relays() const { return relays_; }

 protected:
  ~RelayHost() = default;

 private:
  SessionRelays relays_;
};

}  // namespace tarvo
