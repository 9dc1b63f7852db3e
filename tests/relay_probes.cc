#include "tests/relay_probes.h"

#include <vector>

#include "tests/tarvo_daemon_fixture.h"

namespace tarvo::test {

using client::ClientStatus;
using client::DataConnection;

bool EchoesThrough(const client::SessionClient& session, std::uint32_t address,
                   std::uint16_t port, std::size_t size) {
  DataConnection relay;
  if (relay.open(session, address, port, kIoTimeoutMs) != ClientStatus::kOk) return false;
  if (relay.send(std::vector<std::uint8_t>(size, 0x5a)) != ClientStatus::kOk) return false;
  ByteBuffer back;
  while (back.size() < size) {
    if (relay.receive(back, kIoTimeoutMs) != ClientStatus::kOk) return false;
  }
  return back.size() == size;
}

bool ClosedWithoutAByte(const client::SessionClient& session, std::uint32_t address,
                        std::uint16_t port) {
  DataConnection relay;
  if (relay.open(session, address, port, kIoTimeoutMs) != ClientStatus::kOk) return false;
  ByteBuffer received;
  ClientStatus status = ClientStatus::kOk;
  while (status == ClientStatus::kOk) status = relay.receive(received, kIoTimeoutMs);
  return status == ClientStatus::kClosed && received.size() == 0;
}

}  // namespace tarvo::test
