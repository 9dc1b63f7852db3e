// The directory of the calling program's executable: the product directory, where the
// required files lie and from which the daemon is installed.
#pragma once

#include <string>

namespace tarvo::install {

// Up to and including the last '/'; empty when the path cannot be read or is longer than the
// product's paths may be (checked, never cut).
std::string CallingProgramDirectory();

}  // namespace tarvo::install
