#include "server/service/relay/relay_entry.h"

#include <algorithm>
#include <string>
#include <vector>

#include "platform/fd.h"
#include "server/common/coding.h"
#include "server/common/session_protocol.h"
#include "server/service/relay/name_resolver.h"
#include "server/service/policy/user_policy.h"
#include "server/service/relay/relay_host.h"
#include "server/service/relay/tcp_relay.h"
#include "server/service/relay/udp_server_socket.h"

namespace tarvo {

namespace {

UdpServerSocket* FindChannel(const SessionRelays& relays, std::uint32_t channelId) {
  for (UdpServerSocket* channel : relays.channels) {
    // An ended channel stays listed until the loop deletes it; its id is free again.
    if (channel->channelId() == channelId && !channel->retired()) return channel;
  }
  return nullptr;
}

}  // namespace

void StartDataConnection(RelayHost& session, int handle, std::unique_ptr<TlsStream> tls) {
  // Over its limit a session relays nothing.
  if (session.overQuota() || session.relays().tcp.size() >= kMaxRelaysPerSession) {
    tls.reset();  // before the descriptor it writes to closes
    CloseDescriptor(handle);
    return;
  }
  TcpRelay::Start(session, handle, std::move(tls));
}

bool HandleUdpData(RelayHost& session, std::span<const std::uint8_t> payload) {
  UdpDataHeader header;
  if (!ParseUdpDataRequest(payload, header)) return true;
  static thread_local ByteBuffer datagram;
  datagram.clear();
  // The datagram is the first record alone: bytes after it do not belong to it and must not
  // cost the datagram. A record cut short is dropped rather than sent short.
  std::span<const std::uint8_t> record = header.record;
  if (record.size() >= kRecordPrefixSize) {
    record = record.first(std::min(record.size(), RecordSize(DecodeFixed16(record.data()))));
  }
  if (!session.decipher(record, datagram)) return true;
  if (datagram.size() > kMaxRecordPlaintext) return true;
  if (!AdmitDatagram(session.upGate(), datagram.size())) return true;  // over the limit
  UdpServerSocket* channel = FindChannel(session.relays(), header.channel);
  if (channel == nullptr) {
    if (session.relays().channels.size() >= kMaxUdpChannelsPerSession) return true;
    channel = new UdpServerSocket(session, header.value, header.channel);  // owned by the session
    // Without a socket of its own (out of descriptors) the loop would never serve the channel
    // and its queued datagrams would hold the session's allowance for good.
    if (channel->handle() == kNoHandle) {
      RetireSocket(channel);
      return true;
    }
  }
  if (channel->send(header.address, header.port, datagram.view())) {
    session.countDatagram(datagram.size(), Flow::kUp);
  }
  return true;
}

bool HandleUdpClose(RelayHost& session, std::span<const std::uint8_t> payload) {
  std::uint32_t channelId = 0;
  if (!ParseUdpClose(payload, channelId)) return true;
  if (UdpServerSocket* channel = FindChannel(session.relays(), channelId)) RetireSocket(channel);
  return true;
}

bool HandleResolve(RelayHost& session, std::span<const std::uint8_t> payload) {
  if (payload.size() < 4) return true;
  const std::uint32_t count = DecodeFixed32(payload.data());
  payload = payload.subspan(4);
  std::vector<std::string> names;
  ByteBuffer plaintext;
  // The count is the client's word: stop at the end of the payload whatever it says.
  for (std::uint32_t i = 0; i < count && payload.size() >= kRecordPrefixSize; ++i) {
    const std::size_t size = RecordSize(DecodeFixed16(payload.data()));
    if (payload.size() < size) break;
    plaintext.clear();
    if (session.decipher(payload.first(size), plaintext)) {
      names.push_back(TextUpToNul(plaintext.view()));
    }
    payload = payload.subspan(size);
    if (names.size() >= kMaxPendingNamesPerSession) break;
  }
  if (!names.empty()) RequestLookups(session, std::move(names));
  return true;
}

}  // namespace tarvo
