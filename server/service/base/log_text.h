// What the audit log and the message log share: local time, control characters written as
// visible escapes so that a client's bytes cannot break or forge a line, and appending one
// whole line to a file in the home directory.
#pragma once

#include <cstddef>
#include <ctime>
#include <string>
#include <string_view>

namespace tarvo {

// The current local calendar time.
std::tm LocalTimeNow();

// Appends text to out with CR, LF and TAB written as \r, \n and \t, every other byte below
// 0x20 and 0x7F as \xNN, and (with doubleQuotes) a double quote as two, as a CSV field
// requires. Every other byte, the backslash included, is copied as it is, so a name such as
// CORP\alice reads the same in the file as in the store. Stops before the first escape or byte
// that would take out beyond maxSize bytes; returns false when it had to stop.
bool AppendEscaped(std::string& out, std::string_view text, bool doubleQuotes,
                   std::size_t maxSize = std::string::npos);

// Appends line to fileName in the home directory (creating it) with one write call, so
// concurrent writers never interleave inside it. The file stays open between lines and is
// reopened when its name no longer leads to it (rotated or removed).
// False only when the file cannot be opened; a line the file does not take (a full disk, a
// file-size limit) is lost.
bool AppendLineToHomeFile(const char* fileName, std::string_view line);

}  // namespace tarvo
