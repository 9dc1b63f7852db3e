// The daemon's few lines for the operator on stderr (the journal under systemd): start and end
// of listening, the user store lost and back, consoles attaching and dropped. Never a password
// or anything a client sent; the audit and message files are the record of what users did.
#pragma once

#include <cstdint>

namespace tarvo {

// One line "TarvoServer: <text>", written whole.
void Diagnose(const char* format, ...) __attribute__((format(printf, 1, 2)));

// The answer of one store call (a ReaderStatus): the first failure after a success says the
// store is lost, the first answer after that says it is back. One line per change.
void NoteStoreAnswer(std::int32_t readerStatus);

}  // namespace tarvo
