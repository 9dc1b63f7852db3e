#include "server/common/v2_wire.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <algorithm>
#include <charconv>

#include "server/common/coding.h"

namespace tarvo {

namespace {

constexpr std::size_t kFrameHeaderSize = 2;  // kind, body length
constexpr std::size_t kRelayBodySize = 4 + kV2ProofSize;

// HMAC-SHA256(key, label || 0x00 || parts...): every input has a fixed size or comes last, so
// the concatenation is unambiguous.
V2Proof Hmac(std::span<const std::uint8_t> key, std::string_view label,
             std::initializer_list<std::span<const std::uint8_t>> parts) {
  ByteBuffer message;
  message.append(label.data(), label.size());
  const std::uint8_t zero = 0;
  message.append(&zero, 1);
  for (const auto& part : parts) message.append(part.data(), part.size());
  V2Proof out{};
  unsigned int length = 0;
  HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()), message.data(), message.size(),
       out.data(), &length);
  OPENSSL_cleanse(message.data(), message.size());
  return out;
}

std::span<const std::uint8_t> Bytes(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

}  // namespace

void AppendV2SessionOpening(ByteBuffer& out, std::string_view name, const V2Proof& proof) {
  const std::size_t n = std::min(name.size(), kV2MaxNameLength);
  const std::uint8_t header[3] = {kV2KindSession, static_cast<std::uint8_t>(1 + n + kV2ProofSize),
                                  static_cast<std::uint8_t>(n)};
  out.append(header, sizeof header);
  out.append(name.data(), n);
  out.append(proof.data(), proof.size());
}

void AppendV2RelayOpening(ByteBuffer& out, std::uint32_t sessionId, const V2Proof& proof) {
  const std::uint8_t header[2] = {kV2KindRelay, static_cast<std::uint8_t>(kRelayBodySize)};
  out.append(header, sizeof header);
  PutFixed32(out, sessionId);
  out.append(proof.data(), proof.size());
}

ParseResult ParseV2Opening(std::span<const std::uint8_t> bytes, V2Opening& opening,
                           std::size_t& consumed) {
  if (bytes.empty()) return ParseResult::kNeedMore;
  const std::uint8_t kind = bytes[0];
  if (kind != kV2KindSession && kind != kV2KindRelay) return ParseResult::kBad;
  if (bytes.size() < kFrameHeaderSize) return ParseResult::kNeedMore;
  const std::size_t length = bytes[1];
  if (kind == kV2KindRelay && length != kRelayBodySize) return ParseResult::kBad;
  if (kind == kV2KindSession) {
    if (length < 1 + kV2ProofSize) return ParseResult::kBad;
    // The name length is known from the third byte on: a body that disagrees is not waited for.
    if (bytes.size() > kFrameHeaderSize) {
      const std::size_t n = bytes[kFrameHeaderSize];
      if (n > kV2MaxNameLength || length != 1 + n + kV2ProofSize) return ParseResult::kBad;
    }
  }
  if (bytes.size() < kFrameHeaderSize + length) return ParseResult::kNeedMore;
  const std::uint8_t* body = bytes.data() + kFrameHeaderSize;
  opening = V2Opening{};
  opening.kind = kind;
  const std::uint8_t* proof = nullptr;
  if (kind == kV2KindRelay) {
    opening.sessionId = DecodeFixed32(body);
    proof = body + 4;
  } else {
    const std::size_t n = body[0];
    opening.name.assign(reinterpret_cast<const char*>(body + 1), n);
    // The v1 login ends a name at its first NUL: such a name could never match.
    if (opening.name.find('\0') != std::string::npos) return ParseResult::kBad;
    proof = body + 1 + n;
  }
  std::copy_n(proof, kV2ProofSize, opening.proof.begin());
  consumed = kFrameHeaderSize + length;
  return ParseResult::kDone;
}

V2Proof MakeV2LoginProof(std::string_view loginKey, const V2Exporter& exporter,
                         std::string_view name) {
  return Hmac(Bytes(loginKey), "tarvo v2 login", {exporter, Bytes(name)});
}

V2Proof MakeV2RelayKey(std::string_view loginKey, const V2Exporter& sessionExporter) {
  return Hmac(Bytes(loginKey), "tarvo v2 relay key", {sessionExporter});
}

V2Proof MakeV2RelayProof(const V2Proof& relayKey, const V2Exporter& relayExporter,
                         std::uint32_t sessionId) {
  std::uint8_t id[4];
  EncodeFixed32(id, sessionId);
  return Hmac(relayKey, "tarvo v2 relay", {relayExporter, id});
}

bool V2ProofsEqual(const V2Proof& a, const V2Proof& b) {
  return CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

std::string FingerprintOfPublicKeyDer(std::span<const std::uint8_t> der) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  EVP_Digest(der.data(), der.size(), digest, &size, EVP_sha256(), nullptr);
  static const char kHex[] = "0123456789abcdef";
  std::string text;
  for (unsigned int i = 0; i < size; ++i) {
    text += kHex[digest[i] >> 4];
    text += kHex[digest[i] & 15];
  }
  return text;
}

std::string NormalizeFingerprint(std::string_view text) {
  std::string out;
  for (char c : text) {
    if (c == ':') continue;
    if (c >= 'A' && c <= 'F') c = static_cast<char>(c - 'A' + 'a');
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return {};
    out += c;
  }
  return out.size() == 64 ? out : std::string();
}

std::string FormatEnrolment(const Enrolment& enrolment) {
  return "tarvo://" + enrolment.user + "@" + enrolment.host + ":" +
         std::to_string(enrolment.port) + "/?fingerprint=" + enrolment.fingerprint;
}

bool ParseEnrolment(std::string_view line, Enrolment& enrolment) {
  constexpr std::string_view kScheme = "tarvo://";
  constexpr std::string_view kQuery = "/?fingerprint=";
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r' || line.back() == ' ')) {
    line.remove_suffix(1);
  }
  if (!line.starts_with(kScheme)) return false;
  line.remove_prefix(kScheme.size());
  // The user name may hold '@'; the host never does.
  const std::size_t at = line.rfind('@', line.find(kQuery));
  const std::size_t query = line.find(kQuery);
  if (at == std::string_view::npos || query == std::string_view::npos || query < at) return false;
  const std::string_view hostPort = line.substr(at + 1, query - at - 1);
  const std::size_t colon = hostPort.rfind(':');
  if (colon == std::string_view::npos || colon == 0) return false;
  unsigned port = 0;
  const std::string_view portText = hostPort.substr(colon + 1);
  auto [end, error] = std::from_chars(portText.data(), portText.data() + portText.size(), port);
  if (error != std::errc() || end != portText.data() + portText.size() || port == 0 ||
      port > 0xFFFF) {
    return false;
  }
  Enrolment parsed;
  parsed.user.assign(line.substr(0, at));
  parsed.host.assign(hostPort.substr(0, colon));
  parsed.port = static_cast<std::uint16_t>(port);
  parsed.fingerprint = NormalizeFingerprint(line.substr(query + kQuery.size()));
  if (parsed.fingerprint.empty()) return false;
  enrolment = std::move(parsed);
  return true;
}

}  // namespace tarvo

namespace tarvo {

void AppendV2InnerLogin(ByteBuffer& out, std::string_view name) {
  const std::size_t n = std::min(name.size(), kLoginNameFieldSize);
  AppendMessageHeader(out, MessageType::Login, kLoginPayloadSize);
  PutFixed32(out, static_cast<std::uint32_t>(n));
  std::uint8_t field[kLoginNameFieldSize + kLoginProofSize] = {};
  for (std::size_t i = 0; i < kLoginNameFieldSize; ++i) {
    const std::uint8_t byte = i < n ? static_cast<std::uint8_t>(name[i]) : 0;
    field[i] = static_cast<std::uint8_t>(byte ^ (i + 1));
  }
  out.append(field, sizeof field);
}

}  // namespace tarvo
