#include "server/service/control/cluster_channels.h"

#include <libpq-fe.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdint>
#include <deque>
#include <mutex>
#include <utility>

namespace tarvo {
namespace {

// Notes that wait while the connection is down; past this the oldest are dropped (the
// daemons' figures are fresh again a second later).
constexpr std::size_t kMostWaitingNotes = 256;
// Between a note's channel and payload, and between notes, in the one statement that sends
// them: bytes no payload holds.
constexpr char kFieldSeparator = '\x1f';
constexpr char kNoteSeparator = '\x1e';

struct Channel {
  std::string name;
  ClusterNoteHandler handler;
  std::function<void()> onListening;
};

// Registered before the listener starts and only read after: no lock.
std::vector<Channel>& Channels() {
  static auto* channels = new std::vector<Channel>;
  return *channels;
}

std::atomic<bool> Listening{false};

Mutex OutboxLock;
std::deque<std::pair<std::string, std::string>> Outbox GUARDED_BY(OutboxLock);
// Numbers this daemon's notes: the store delivers a note only once when one transaction sends
// it twice with the same payload, and two batches may well be alike.
std::uint64_t NoteNumber GUARDED_BY(OutboxLock) = 0;

int OutboxFd() {
  static const int fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  return fd;
}

bool Printable(const std::string& text) {
  for (char c : text) {
    if (c < 0x20 && c != '\n') return false;
  }
  return true;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

std::string EscapeClusterWord(const std::string& word) {
  std::string out;
  for (unsigned char c : word) {
    if (c > 0x20 && c < 0x7F && c != '%') {
      out += static_cast<char>(c);
    } else {
      char hex[4];
      std::snprintf(hex, sizeof hex, "%%%02X", c);
      out += hex;
    }
  }
  return out;
}

bool UnescapeClusterWord(const std::string& text, std::string& word) {
  word.clear();
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      word += text[i];
      continue;
    }
    if (i + 2 >= text.size() || HexDigit(text[i + 1]) < 0 || HexDigit(text[i + 2]) < 0) {
      return false;
    }
    word += static_cast<char>(HexDigit(text[i + 1]) * 16 + HexDigit(text[i + 2]));
    i += 2;
  }
  return true;
}

void RegisterClusterChannel(std::string channel, ClusterNoteHandler handler,
                            std::function<void()> onListening) {
  Channels().push_back({std::move(channel), std::move(handler), std::move(onListening)});
}

void PublishOnCluster(const std::string& channel, std::string payload) {
  if (!Listening.load() || payload.size() > kClusterPayloadBytes || !Printable(payload)) return;
  {
    MutexLock lock(OutboxLock);
    if (Outbox.size() >= kMostWaitingNotes) Outbox.pop_front();
    Outbox.emplace_back(channel, std::to_string(++NoteNumber) + "\n" + payload);
  }
  const std::uint64_t one = 1;
  [[maybe_unused]] const ssize_t wrote = ::write(OutboxFd(), &one, sizeof one);
}

void MarkClusterListening() {
  Listening.store(true);
  for (const Channel& channel : Channels()) {
    if (channel.onListening) channel.onListening();
  }
}

std::vector<std::string> ClusterChannels() {
  std::vector<std::string> names;
  for (const Channel& channel : Channels()) names.push_back(channel.name);
  return names;
}

int ClusterOutboxFd() { return OutboxFd(); }

bool SendClusterOutbox(pg_conn* connection) {
  std::uint64_t count = 0;
  [[maybe_unused]] const ssize_t read = ::read(OutboxFd(), &count, sizeof count);
  std::string notes;
  {
    MutexLock lock(OutboxLock);
    for (const auto& [channel, payload] : Outbox) {
      if (!notes.empty()) notes += kNoteSeparator;
      notes += channel + kFieldSeparator + payload;
    }
    Outbox.clear();
  }
  if (notes.empty()) return true;
  const char* values[] = {notes.c_str()};
  PGresult* result = PQexecParams(
      connection,
      "SELECT pg_notify(split_part(n, chr(31), 1), split_part(n, chr(31), 2)) "
      "FROM unnest(string_to_array($1, chr(30))) AS n",
      1, nullptr, values, nullptr, nullptr, 0);
  const bool sent = PQresultStatus(result) == PGRES_TUPLES_OK;
  PQclear(result);
  return sent || PQstatus(connection) == CONNECTION_OK;
}

void DispatchClusterNote(const std::string& channel, std::string payload, std::int32_t sender) {
  const std::size_t numbered = payload.find('\n');
  if (numbered == std::string::npos) return;
  payload.erase(0, numbered + 1);
  for (const Channel& known : Channels()) {
    if (known.name != channel) continue;
    PostToNetworkThread([handler = known.handler, payload = std::move(payload), sender] {
      handler(payload, sender);
    });
    return;
  }
}

}  // namespace tarvo
