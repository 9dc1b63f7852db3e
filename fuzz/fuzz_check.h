// What the fuzz targets share: a check that stops the run with a message (libFuzzer then saves
// the input as a crash reproducer), and the session key of the "secret" test user.
#pragma once

#include <cstdio>
#include <cstdlib>

#define FUZZ_CHECK(condition)                                                            \
  do {                                                                                   \
    if (!(condition)) {                                                                  \
      std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
      std::abort();                                                                      \
    }                                                                                    \
  } while (0)

namespace tarvo::fuzz {

// The session key text of the password "secret": seed records are made under it, so the
// decoders see plaintext that means something and the mutations start from real records.
inline constexpr char kSecretKeyText[] = "$1$481572$MsGJjTcYgOyD/7fg7CJii.";

}  // namespace tarvo::fuzz
