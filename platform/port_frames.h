// Frame input and output for the local port layer (internal to platform/): one 40-byte
// message per SOCK_SEQPACKET record, optionally carrying one descriptor.
#pragma once

#include <chrono>
#include <string>

#include "platform/fd.h"
#include "platform/port_message.h"

namespace tarvo::port_frames {

// Frame types the port layer uses among itself besides the PortMessageType values.
inline constexpr std::uint16_t kAcceptFrame = 0x8001;  // clientViewSize: the acceptor's view
inline constexpr std::uint16_t kRefuseFrame = 0x8002;  // data[0]: a RefusalReason
enum RefusalReason : std::uint8_t { kRefusedByOwner = 1, kAccessDenied = 2 };

// A point in time to wait until, or none (wait as long as it takes).
class Deadline {
 public:
  static Deadline After(int timeoutMs);  // negative: none
  // Milliseconds left for poll: -1 without a deadline, else at least 0.
  int remainingMs() const;
  bool infinite() const { return infinite_; }

 private:
  bool infinite_ = true;
  std::chrono::steady_clock::time_point at_{};
};

enum class SendResult { Sent, Closed, TimedOut, Failed };
// Sends one frame with fd (kNoDescriptor for none), waiting for room until the deadline.
SendResult SendFrame(int socket, const PortMessage& frame, int fd, const Deadline& deadline,
                     std::string* error);
// Sends without waiting; false when the frame could not go at once.
bool SendFrameNow(int socket, const PortMessage& frame, std::string* error = nullptr);

enum class ReadResult { Frame, NoFrame, End, Bad, Failed };
// Reads one frame if one is queued, without waiting. A descriptor that came with it lands in
// passed; extra descriptors and those of bad frames are closed. End: the peer's socket ended.
ReadResult ReadFrame(int socket, PortMessage& frame, UniqueFd& passed, std::string* error);

// Waits until socket is readable (or has ended). False on time-out or failure (error set).
enum class WaitResult { Ready, TimedOut, Failed };
WaitResult WaitReadable(int socket, const Deadline& deadline, std::string* error);

// Builds an internal frame of the given type.
PortMessage MakeFrame(std::uint16_t type);

std::string SystemError(const char* call);

}  // namespace tarvo::port_frames
