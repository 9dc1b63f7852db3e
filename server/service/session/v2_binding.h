// What ties a session to the TLS connection it logged in on (protocol v2): the connection's
// channel binding and the client's proof until the login is checked, then the key its relays
// prove themselves with.
#pragma once

#include <openssl/crypto.h>

#include "server/common/v2_wire.h"

namespace tarvo {

struct V2Binding {
  V2Exporter exporter{};
  V2Proof proof{};
  V2Proof relayKey{};  // from the login on
  ~V2Binding() {
    OPENSSL_cleanse(exporter.data(), exporter.size());
    OPENSSL_cleanse(relayKey.data(), relayKey.size());
  }
};

}  // namespace tarvo
