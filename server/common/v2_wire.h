// Protocol v2 without sockets: what travels inside the TLS 1.3 connection before the v1 session
// or relay stream takes over, and the proofs that bind a login and a relay to their
// TLS connection. The format is written down in docs/protocol-v2.md.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "server/common/byte_buffer.h"
#include "server/common/session_protocol.h"

namespace tarvo {

// The first byte of a TLS handshake record. The v1 opening message starts with its code (52,
// little-endian), so one byte tells the two apart.
inline constexpr std::uint8_t kTlsHandshakeRecordByte = 0x16;

inline constexpr std::uint8_t kV2KindSession = 1;
inline constexpr std::uint8_t kV2KindRelay = 2;
inline constexpr std::size_t kV2ProofSize = 32;
inline constexpr std::size_t kV2ExporterSize = 32;
inline constexpr std::size_t kV2MaxNameLength = 128;
// RFC 9266 (tls-exporter): the label, an empty context, 32 bytes.
inline constexpr std::string_view kV2ExporterLabel = "EXPORTER-Channel-Binding";

using V2Proof = std::array<std::uint8_t, kV2ProofSize>;
using V2Exporter = std::array<std::uint8_t, kV2ExporterSize>;

// The opening frame, the client's first application bytes: kind (1), body length (1), body.
struct V2Opening {
  std::uint8_t kind = 0;
  std::string name;             // session
  std::uint32_t sessionId = 0;  // relay
  V2Proof proof{};
};

void AppendV2SessionOpening(ByteBuffer& out, std::string_view name, const V2Proof& proof);
void AppendV2RelayOpening(ByteBuffer& out, std::uint32_t sessionId, const V2Proof& proof);

// Parses the opening frame at the start of bytes; consumed gets its size when done (what
// follows belongs to the session or the relay).
ParseResult ParseV2Opening(std::span<const std::uint8_t> bytes, V2Opening& opening,
                           std::size_t& consumed);

// The login key is the session key text of the v1 login (32 characters derived from the
// password), so the daemon checks a proof from what the store holds today.
V2Proof MakeV2LoginProof(std::string_view loginKey, const V2Exporter& exporter,
                         std::string_view name);
// The key a session's relays prove themselves with; never sent.
V2Proof MakeV2RelayKey(std::string_view loginKey, const V2Exporter& sessionExporter);
V2Proof MakeV2RelayProof(const V2Proof& relayKey, const V2Exporter& relayExporter,
                         std::uint32_t sessionId);
// Constant time.
bool V2ProofsEqual(const V2Proof& a, const V2Proof& b);

// A server key fingerprint: SHA-256 of the DER SubjectPublicKeyInfo, 64 lower-case hex digits.
std::string FingerprintOfPublicKeyDer(std::span<const std::uint8_t> der);
// Accepts upper or lower case and ':' between pairs; empty when it is not 32 bytes of hex.
std::string NormalizeFingerprint(std::string_view text);

// What an administrator hands a user: tarvo://USER@HOST:PORT/?fingerprint=HEX
struct Enrolment {
  std::string user;
  std::string host;
  std::uint16_t port = 0;
  std::string fingerprint;
};
std::string FormatEnrolment(const Enrolment& enrolment);
bool ParseEnrolment(std::string_view line, Enrolment& enrolment);

}  // namespace tarvo

namespace tarvo {

// The v1 Login a v2 session is handed inside the daemon once its opening frame is read: the
// name, and no v1 proof (the session checks the v2 proof instead).
void AppendV2InnerLogin(ByteBuffer& out, std::string_view name);

}  // namespace tarvo
