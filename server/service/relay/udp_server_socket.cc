#include "server/service/relay/udp_server_socket.h"

#include <netinet/in.h>

#include <algorithm>

#include "server/common/session_protocol.h"
#include "server/service/policy/access_file.h"
#include "server/service/base/service_counters.h"
#include "server/service/policy/user_policy.h"
#include "server/service/relay/relay_host.h"
#include "server/service/base/settings.h"

namespace tarvo {

UdpServerSocket::UdpServerSocket(RelayHost& session, std::uint16_t value, std::uint32_t channelId)
    : UdpSocket(&session.relayOwner()), session_(session), value_(value), channelId_(channelId) {
  session_.relays().channels.push_back(this);
  CountRelayOpened(RelayKind::kUdp);
}

UdpServerSocket::~UdpServerSocket() {
  auto& channels = session_.relays().channels;
  channels.erase(std::find(channels.begin(), channels.end(), this));
  session_.relays().queuedDatagrams -= queue_.size();
  CountRelayClosed(RelayKind::kUdp);
}

bool UdpServerSocket::send(std::uint32_t address, std::uint16_t port,
                           std::span<const std::uint8_t> bytes) {
  if (session_.relays().queuedDatagrams >= kMaxQueuedDatagramsPerSession) return false;
  if (!DestinationAllowed(address, port)) {
    CountRefusedByRules(RelayKind::kUdp);
    return false;
  }
  if (ServerSettings.UdpAddressRestricted) rememberPeer(address);
  queueDatagram(std::make_unique<Datagram>(address, htons(port), bytes.data(), bytes.size()));
  ++session_.relays().queuedDatagrams;
  return true;
}

bool UdpServerSocket::wantRead() const {
  return session_.queuedForClient() < kMaxSessionOutputForDatagrams;
}

bool UdpServerSocket::onWrite() {
  const std::size_t before = queue_.size();
  const bool keep = UdpSocket::onWrite();  // a sendto error ends the channel
  session_.relays().queuedDatagrams -= before - queue_.size();
  return keep;
}

void UdpServerSocket::rememberPeer(std::uint32_t address) {
  if (knowsPeer(address)) return;
  if (peers_.size() < kMaxUdpPeersPerChannel) {
    peers_.push_back(address);
    return;
  }
  peers_[oldestPeer_] = address;
  oldestPeer_ = (oldestPeer_ + 1) % kMaxUdpPeersPerChannel;
}

bool UdpServerSocket::knowsPeer(std::uint32_t address) const {
  return std::find(peers_.begin(), peers_.end(), address) != peers_.end();
}

bool UdpServerSocket::onDatagram(std::unique_ptr<Datagram> datagram) {
  if (ServerSettings.UdpAddressRestricted && !knowsPeer(datagram->address)) return true;
  // Nor does a denied address reach the client by answering.
  if (!DestinationAllowed(datagram->address, ntohs(datagram->port))) {
    CountRefusedByRules(RelayKind::kUdp);
    return true;
  }
  // Nothing larger arrives over IPv4, but a record could not carry it.
  if (datagram->payload.size() > kMaxRecordPlaintext) return true;
  if (!AdmitDatagram(session_.downGate(), datagram->payload.size())) return true;
  AESEncryptor* encryptor = session_.encryptor();
  if (encryptor == nullptr) return true;
  static thread_local ByteBuffer frame;
  frame.clear();
  AppendUdpDataReply(frame, *encryptor, datagram->address, ntohs(datagram->port), channelId_,
                     datagram->payload.view());
  session_.queueOutput(frame.view());
  session_.countDatagram(datagram->payload.size(), Flow::kDown);
  return true;
}

}  // namespace tarvo
