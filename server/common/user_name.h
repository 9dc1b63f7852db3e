// User names compare without regard to ASCII letter case, here and in the user store alike.
#pragma once

#include <string>
#include <string_view>

namespace tarvo {

bool SameUserName(std::string_view a, std::string_view b);
// The name with ASCII letters in lower case: equal for names SameUserName matches.
std::string FoldUserName(std::string_view name);

}  // namespace tarvo
