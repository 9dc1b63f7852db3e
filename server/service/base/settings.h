// The daemon's seven settings, their file tarvoserver.ini in the home directory, and the client
// version admission rule that gives MinClientVersion its meaning.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "server/service/net/network_loop.h"

namespace tarvo {

inline constexpr char kServerVersion[] = "2.0.5";
inline constexpr char kSettingsFileName[] = "tarvoserver.ini";
inline constexpr std::size_t kMinClientVersionSize = 1024;  // 1023 characters and the NUL
inline constexpr std::int32_t kDefaultDaemonDeadAfter = 15;  // seconds

struct ServerSettingsRecord {
  std::int32_t ServerPort = 80;
  bool MultiConnect = false;
  std::int32_t AuditType = 0;
  char MinClientVersion[kMinClientVersionSize] = "2.0.4";
  bool HidePwd = false;
  bool StoreEncryptedPwd = false;
  bool AutoRefresh = false;

  // Beyond the seven, in the same file, and not part of the console's record: the console
  // neither shows nor changes it, and the file keeps it when the console saves. Read at start.
  // A UDP channel hands its client only datagrams from addresses it has sent to; off, it
  // passes datagrams from any sender, as peer-to-peer programs need.
  bool UdpAddressRestricted = false;
  // Where the metrics are served over HTTP for Prometheus: "ADDRESS:PORT" on a loopback
  // address; empty, they are served only on the local socket for the administration tools.
  std::string MetricsAddress;
  // Per-user series in the metrics (their number grows with the users).
  bool MetricsPerUser = false;
  // Load balancers that put a PROXY protocol v2 header in front of each connection they pass
  // on: IPv4 addresses or networks (CIDR), separated by commas or spaces. Connections from
  // them must carry the header and are taken to come from the client it names; no other
  // connection may carry one.
  std::string TrustedBalancers;
  // Protocol v1 (the original, unauthenticated records) beside v2 ([ProtocolV1]:accept|refuse).
  // Its recorded sessions can be replayed, so the package's first install refuses it; a plain
  // start accepts it.
  bool ProtocolV1Refused = false;
  // The administrator's certificate chain (PEM) and its key for v2; empty: the daemon's own
  // key (tarvoserver-tls.key in the home) with a certificate made from it at start.
  std::string TlsCertificate;
  std::string TlsKey;
  // The management API over TCP: "ADDRESS:PORT", HTTPS only, every request with a bearer token;
  // empty, the API is served only on the local socket. Its certificate chain and key (PEM);
  // empty, the certificate the v2 listener uses.
  std::string ApiAddress;
  std::string ApiCertificate;
  std::string ApiKey;
  // Daemons sharing a PostgreSQL store: one not heard from for this many seconds is taken for
  // dead, and its sessions stop counting against their users' caps. Each daemon states its
  // own, and renews it every third of it.
  std::int32_t DaemonDeadAfter = kDefaultDaemonDeadAfter;
};

// The process-wide settings; after start-up, read and changed only under the network lock.
extern ServerSettingsRecord ServerSettings GUARDED_BY(NetworkLock);

// Reads tarvoserver.ini from the home directory into ServerSettings, changing only the fields
// whose keys it finds. False when the file could not be opened (the settings stay as they are).
bool LoadSettings() REQUIRES(NetworkLock);
// Writes the seven settings lines, and the lines beyond them that are set. False
// when the file could not be created.
bool SaveSettings() REQUIRES(NetworkLock);
// True when MinClientVersion <= clientVersion <= kServerVersion.
bool IsClientVersionAllowed(const char* clientVersion) REQUIRES(NetworkLock);

// The same operations on an explicit file and record (used by the above and by tests).
bool LoadSettingsFile(const std::string& path, ServerSettingsRecord& settings);
bool SaveSettingsFile(const std::string& path, const ServerSettingsRecord& settings);
// What LoadSettingsFile does with the file's text: applies every "[Key]:value" line it knows.
void ParseSettingsText(std::string_view text, ServerSettingsRecord& settings);
bool IsClientVersionAllowed(const char* clientVersion, const char* minimumVersion);

// Dotted numeric comparison of two version texts: -1, 0 or 1.
int CompareVersions(const char* a, const char* b);

}  // namespace tarvo
