// Looks at a running daemon from outside (threads, descriptors, memory) and opens raw
// connections from chosen loopback source addresses, for tests that load or attack it.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>

namespace tarvo::test {

// The Threads: line of /proc/PID/status, or -1.
long ThreadCount(pid_t pid);
// Entries in /proc/PID/fd, or -1.
long OpenDescriptors(pid_t pid);
// Raises this process's soft descriptor limit to at least wanted (up to the hard limit), so
// that daemons it starts inherit it; the soft limit now in force.
long RaiseDescriptorLimit(long wanted);

// Under AddressSanitizer freed memory waits in a quarantine of up to 256 MiB, which looks like
// growth to a test that reads a daemon's resident memory: daemons started after this call get
// a small one (through ASAN_OPTIONS, which they inherit). True, for use in a static initializer.
bool LimitSanitizerQuarantine();

// A TCP connection from source (a 127.x.y.z address) to 127.0.0.1:port, or -1; non-blocking
// once connected.
int ConnectFrom(const std::string& source, std::uint16_t port, int timeoutMs = 5000);
// 127.a.b.c for a small index (never 127.0.0.1): distinct client addresses on loopback.
std::string LoopbackSource(int index);

// Waits at most timeoutMs for fd to be closed by its peer (reads and drops bytes first).
bool PeerClosed(int fd, int timeoutMs);

}  // namespace tarvo::test
