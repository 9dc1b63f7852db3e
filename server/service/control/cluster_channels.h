// Announcements between the daemons of one PostgreSQL store, besides the user changes: each
// channel's handler runs for notes other daemons sent on it; notes to send wait in an outbox
// that the change listener's thread (user_change_listener.h) sends on its own connection, all
// that wait in one statement. Nothing is sent or received on other stores, or while that
// thread is not connected (notes then wait, a bounded number, the oldest dropped first).
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "server/service/net/network_loop.h"

struct pg_conn;

namespace tarvo {

// Runs on the network thread, network lock held: the payload and the sender's id (its
// connection's server process: unique among the store's live connections).
using ClusterNoteHandler = std::function<void(const std::string& payload, std::int32_t sender)>;

// Before StartUserChangeListener. onListening runs when that starts the listener, before the
// network loop runs: the sharing is then worth its work.
void RegisterClusterChannel(std::string channel, ClusterNoteHandler handler,
                            std::function<void()> onListening);
// Any thread. Dropped unless the listener was started (a PostgreSQL store). A payload is
// printable ASCII of at most kClusterPayloadBytes.
void PublishOnCluster(const std::string& channel, std::string payload);
inline constexpr std::size_t kClusterPayloadBytes = 7000;
// A name as one word of printable ASCII (any other byte, space and '%' as %XX), and back
// (false when text is no such word).
std::string EscapeClusterWord(const std::string& word);
bool UnescapeClusterWord(const std::string& text, std::string& word);

// For the change listener: its start, then its thread.
void MarkClusterListening();
std::vector<std::string> ClusterChannels();
// Readable while notes wait to be sent.
int ClusterOutboxFd();
// Sends what waits; false when the connection failed (the notes are lost, as notes sent to a
// lost connection would be).
bool SendClusterOutbox(pg_conn* connection);
// A note that came in on a registered channel, from another daemon.
void DispatchClusterNote(const std::string& channel, std::string payload, std::int32_t sender);

}  // namespace tarvo
