// A session connection's bytes after the opening message: framed messages under the bound
// before or after login, each payload handed to the parser its type goes to in the daemon
// (Login, UdpData, UdpClose, Resolve, TextMessage) and in the client (Hello, TrafficInfo,
// LoginAccepted, UdpData and Resolve answers). The records inside are deciphered with one
// decoder per session, as the daemon does, and what a client sends ends up in the message log
// and audit rows as exactly one line.
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "server/common/session_protocol.h"
#include "server/service/base/audit_log.h"
#include "server/service/session/message_log.h"

using namespace tarvo;

namespace {

struct Session {
  std::unique_ptr<AESDecryptor> decryptor = NewDecryptor();
  std::string name;

  static std::unique_ptr<AESDecryptor> NewDecryptor() {
    return std::make_unique<AESDecryptor>(fuzz::kSecretKeyText, 32);
  }
  // As the daemon: a record cut short leaves a fresh decoder for the next message.
  ByteBuffer decipher(std::span<const std::uint8_t> records) {
    ByteBuffer plaintext;
    decryptor->transformAppend(records.data(), records.size(), plaintext);
    if (!decryptor->atRecordBoundary()) decryptor = NewDecryptor();
    return plaintext;
  }
};

// A line for the logs must stay one line whatever the client sent.
void CheckOneLine(const std::string& line) {
  FUZZ_CHECK(!line.empty() && line.back() == '\n');
  FUZZ_CHECK(line.find('\n') == line.size() - 1);
  FUZZ_CHECK(line.find('\r') == std::string::npos);
}

void HandlePayload(Session& session, std::uint32_t type, std::span<const std::uint8_t> payload) {
  static const std::tm when = [] {
    std::tm t{};
    t.tm_year = 126;
    t.tm_mday = 5;
    return t;
  }();
  switch (type) {
    case MessageType::Login: {
      LoginRequest login;
      if (ParseLogin(payload, login)) {
        FUZZ_CHECK(payload.size() == kLoginPayloadSize);
        FUZZ_CHECK(login.name.size() <= kLoginNameFieldSize);
        FUZZ_CHECK(login.name.find('\0') == std::string::npos);
        session.name = login.name;
        CheckOneLine(FormatAuditRow(when, login.name, 0x0100007F, "connect", 0, 0, "done"));
      }
      break;
    }
    case MessageType::TextMessage: {
      ByteBuffer text = session.decipher(payload);
      const std::string line =
          FormatMessageLine(when, session.name, 0x0100007F, TextUpToNul(text.view()));
      CheckOneLine(line);
      FUZZ_CHECK(line.size() < 4 * kLoginNameFieldSize + kMaxLoggedMessageText + 64);
      break;
    }
    case MessageType::UdpData: {
      UdpDataHeader header;
      if (ParseUdpDataRequest(payload, header)) {
        FUZZ_CHECK(header.record.size() == payload.size() - kUdpRequestHeaderSize);
        ByteBuffer datagram = session.decipher(header.record);
        FUZZ_CHECK(datagram.size() <= header.record.size());
      }
      if (ParseUdpDataReply(payload, header)) {
        FUZZ_CHECK(header.record.size() == payload.size() - kUdpReplyHeaderSize);
      }
      break;
    }
    case MessageType::UdpClose: {
      std::uint32_t channel = 0;
      FUZZ_CHECK(ParseUdpClose(payload, channel) == (payload.size() >= 4));
      break;
    }
    case MessageType::Resolve: {
      std::vector<std::span<const std::uint8_t>> records;
      if (SplitResolveRequest(payload, records)) {
        for (const auto& record : records) {
          FUZZ_CHECK(record.data() >= payload.data() &&
                     record.data() + record.size() <= payload.data() + payload.size());
          FUZZ_CHECK(record.size() == RecordSize(record[0] | record[1] << 8));
          ByteBuffer name = session.decipher(record);
          FUZZ_CHECK(name.size() <= kMaxRecordPlaintext);
        }
      }
      // The client's side of the same type: one answer record.
      ByteBuffer answer = session.decipher(payload);
      std::uint32_t address = 0;
      std::string name;
      if (ParseResolveAnswer(answer.view(), address, name)) {
        FUZZ_CHECK(name.size() + 4 <= answer.size());
        FormatIPv4(address);
      }
      break;
    }
    case MessageType::Hello:
    case MessageType::VersionRefused: {
      std::string range;
      if (ParseVersionRange(payload, range)) FUZZ_CHECK(range.size() + 8 == payload.size());
      break;
    }
    case MessageType::TrafficInfo: {
      std::int64_t limit = 0;
      std::int64_t counter = 0;
      FUZZ_CHECK(ParseTrafficInfoReply(payload, limit, counter) == (payload.size() == 16));
      break;
    }
    case MessageType::LoginAccepted: {
      std::uint32_t id = 0;
      FUZZ_CHECK(ParseLoginAccepted(payload, id) == (payload.size() == 4));
      break;
    }
    default:
      break;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  // The first byte says whether the session has logged in, which sets the bound.
  const bool loggedIn = (data[0] & 1) != 0;
  std::span<const std::uint8_t> bytes(data + 1, size - 1);
  MessageReader reader(loggedIn ? kMaxMessageLengthLoggedIn : kMaxMessageLengthBeforeLogin);
  Session session;
  for (;;) {
    SessionMessage message;
    const ParseResult result = reader.peek(bytes, message);
    if (result != ParseResult::kDone) {
      if (result == ParseResult::kNeedMore && bytes.size() >= kMessageHeaderSize) {
        // Waiting only for the rest of a message within the bound.
        const std::size_t total = bytes[4] | bytes[5] << 8 | bytes[6] << 16 |
                                  static_cast<std::size_t>(bytes[7]) << 24;
        FUZZ_CHECK(total > bytes.size() && total <= reader.maxTotalLength());
      }
      break;
    }
    FUZZ_CHECK(message.totalLength >= kMessageHeaderSize);
    FUZZ_CHECK(message.totalLength <= reader.maxTotalLength());
    FUZZ_CHECK(message.totalLength <= bytes.size());
    FUZZ_CHECK(message.payload.data() == bytes.data() + kMessageHeaderSize);
    FUZZ_CHECK(message.payload.size() == message.totalLength - kMessageHeaderSize);
    // The same message one byte short is not yet a message.
    SessionMessage cut;
    FUZZ_CHECK(reader.peek(bytes.first(message.totalLength - 1), cut) ==
               ParseResult::kNeedMore);
    HandlePayload(session, message.type, message.payload);
    bytes = bytes.subspan(message.totalLength);
  }
  return 0;
}
