// The daemon's side of the control channel: the control port, the listener thread that accepts
// consoles and answers their requests, and the table of console connections.
#pragma once

#include <cstddef>
#include <string>

#include "platform/local_port.h"
#include "platform/peer_credentials.h"
#include "platform/port_message.h"
#include "platform/shared_section.h"

namespace tarvo {

// Names the group whose members may administer the daemon (default kDefaultAdminGroup).
inline constexpr char kAdminGroupVariable[] = "TARVO_ADMIN_GROUP";

// Root, the daemon's user, and the members of the admin group where it exists.
PortAccessRule ControlPortRule();

// One accepted console connection: the port connection it came on and the reply area the
// daemon lends it. The request area is the view the console offered (LocalPort::peerView).
struct ControlConnection {
  ConnectionId id = 0;
  SharedSection replyArea;
  PeerCredentials peer;  // who connected, for the operator's lines
  bool attached = false;  // from its attach request to its detach request
};

// An attach (true) or detach request of connection: the daemon notifies while any console is
// attached, so one console's detach does not silence another. A console that went away
// attached keeps the daemon notifying until the next attach or detach, as one that never
// detaches. On the listener thread, under the network lock.
void SetConsoleAttached(ControlConnection& connection, bool attached);

// Creates the control port in the runtime directory. False (and why, in *error) when it cannot
// be made; the daemon then runs without consoles.
bool OpenControlPort(std::string* error);

// Starts the notifier and, when the port is open, the control listener thread.
void StartControlListener();

// Ends the listener thread (no thread is killed: its wait is interrupted), closes every
// console connection and removes the port.
void StopControlListener();

// Executes one request of connection under the network lock and leaves the answer (value,
// status) in message. requestArea is the console's view, of requestSize bytes.
void DispatchControlRequest(PortMessage& message, ControlConnection& connection,
                            std::uint8_t* requestArea, std::size_t requestSize);

// The connection is gone (closed, died, or not reading its replies); says so when it was the
// console that attached last. Listener thread, as DispatchControlRequest.
void ControlConnectionGone(const ControlConnection& connection);

}  // namespace tarvo
