// The check of a v2 login proof against what the store holds.
#pragma once

#include <string>

#include "server/service/session/v2_binding.h"

namespace tarvo {

// True when binding's proof is the one the password makes for name on binding's connection.
// password: null for a name the store does not know, which costs the same work and is false.
bool V2LoginProven(const V2Binding& binding, const std::string& name, const char* password);

}  // namespace tarvo
