#include "server/service/session_list.h"

namespace tarvo {

void DeleteAllSessions() {}

}  // namespace tarvo
