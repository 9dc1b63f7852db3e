#include "platform/port_frames.h"

#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

namespace tarvo::port_frames {

Deadline Deadline::After(int timeoutMs) {
  Deadline deadline;
  if (timeoutMs >= 0) {
    deadline.infinite_ = false;
    deadline.at_ = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  }
  return deadline;
}

int Deadline::remainingMs() const {
  if (infinite_) return -1;
  auto left = std::chrono::ceil<std::chrono::milliseconds>(at_ - std::chrono::steady_clock::now());
  if (left.count() <= 0) return 0;
  return left.count() > 1'000'000'000 ? 1'000'000'000 : static_cast<int>(left.count());
}

std::string SystemError(const char* call) {
  return std::string(call) + ": " + std::strerror(errno);
}

PortMessage MakeFrame(std::uint16_t type) {
  PortMessage frame{};
  frame.header.totalLength = kPortMessageSize;
  frame.header.type = type;
  return frame;
}

namespace {

// sendmsg without waiting; returns the errno (0 when sent).
int SendOnce(int socket, const PortMessage& frame, int fd) {
  iovec part{const_cast<PortMessage*>(&frame), sizeof frame};
  msghdr message{};
  message.msg_iov = &part;
  message.msg_iovlen = 1;
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
  if (fd != kNoDescriptor) {
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    cmsghdr* header = CMSG_FIRSTHDR(&message);
    header->cmsg_level = SOL_SOCKET;
    header->cmsg_type = SCM_RIGHTS;
    header->cmsg_len = CMSG_LEN(sizeof(int));
    std::memcpy(CMSG_DATA(header), &fd, sizeof fd);
  }
  for (;;) {
    if (::sendmsg(socket, &message, MSG_DONTWAIT | MSG_NOSIGNAL) >= 0) return 0;
    if (errno != EINTR) return errno;
  }
}

bool IsPeerGone(int error) { return error == EPIPE || error == ECONNRESET || error == ENOTCONN; }

}  // namespace

bool SendFrameNow(int socket, const PortMessage& frame, std::string* error) {
  int result = SendOnce(socket, frame, kNoDescriptor);
  if (result == 0) return true;
  errno = result;
  if (error) *error = SystemError("sendmsg");
  return false;
}

SendResult SendFrame(int socket, const PortMessage& frame, int fd, const Deadline& deadline,
                     std::string* error) {
  for (;;) {
    int result = SendOnce(socket, frame, fd);
    if (result == 0) return SendResult::Sent;
    errno = result;
    if (IsPeerGone(result)) return SendResult::Closed;
    if (result != EAGAIN) {
      if (error) *error = SystemError("sendmsg");
      return SendResult::Failed;
    }
    pollfd entry{socket, POLLOUT, 0};
    int ready = ::poll(&entry, 1, deadline.remainingMs());
    if (ready == 0) return SendResult::TimedOut;
    if (ready < 0 && errno != EINTR) {
      if (error) *error = SystemError("poll");
      return SendResult::Failed;
    }
  }
}

ReadResult ReadFrame(int socket, PortMessage& frame, UniqueFd& passed, std::string* error) {
  passed.reset();
  iovec part{&frame, sizeof frame};
  msghdr message{};
  message.msg_iov = &part;
  message.msg_iovlen = 1;
  // Room for a few descriptors, so that a peer sending too many has them closed, not leaked.
  alignas(cmsghdr) char control[CMSG_SPACE(4 * sizeof(int))];
  message.msg_control = control;
  message.msg_controllen = sizeof control;
  ssize_t got;
  for (;;) {
    got = ::recvmsg(socket, &message, MSG_DONTWAIT | MSG_CMSG_CLOEXEC);
    if (got >= 0) break;
    // ECONNRESET: the peer closed with our data unread. The error is reported once, ahead of
    // what the peer queued for us before it closed (a refusal, say): read on.
    if (errno == EINTR || errno == ECONNRESET) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return ReadResult::NoFrame;
    if (IsPeerGone(errno)) return ReadResult::End;
    if (error) *error = SystemError("recvmsg");
    return ReadResult::Failed;
  }
  bool extra = false;
  for (cmsghdr* header = CMSG_FIRSTHDR(&message); header; header = CMSG_NXTHDR(&message, header)) {
    if (header->cmsg_level != SOL_SOCKET || header->cmsg_type != SCM_RIGHTS) continue;
    std::size_t count = (header->cmsg_len - CMSG_LEN(0)) / sizeof(int);
    for (std::size_t i = 0; i < count; ++i) {
      int fd;
      std::memcpy(&fd, CMSG_DATA(header) + i * sizeof(int), sizeof fd);
      if (!passed.valid() && !extra) {
        passed.reset(fd);
      } else {
        extra = true;
        CloseDescriptor(fd);
      }
    }
  }
  if (got == 0) {
    passed.reset();
    return ReadResult::End;
  }
  if (extra || static_cast<std::size_t>(got) != sizeof frame ||
      (message.msg_flags & (MSG_TRUNC | MSG_CTRUNC))) {
    passed.reset();
    return ReadResult::Bad;
  }
  return ReadResult::Frame;
}

WaitResult WaitReadable(int socket, const Deadline& deadline, std::string* error) {
  for (;;) {
    pollfd entry{socket, POLLIN, 0};
    int ready = ::poll(&entry, 1, deadline.remainingMs());
    if (ready > 0) return WaitResult::Ready;
    if (ready == 0) return WaitResult::TimedOut;
    if (errno != EINTR) {
      if (error) *error = SystemError("poll");
      return WaitResult::Failed;
    }
  }
}

}  // namespace tarvo::port_frames
