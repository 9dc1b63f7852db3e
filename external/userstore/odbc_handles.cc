#include "external/userstore/odbc_handles.h"

#include <cstring>

namespace tarvo::userstore {

bool DiagnosticsSayConnectionLost(SQLSMALLINT type, SQLHANDLE handle) {
  for (SQLSMALLINT record = 1;; ++record) {
    SQLCHAR state[6] = {};
    SQLINTEGER nativeError = 0;
    SQLCHAR message[256];
    SQLSMALLINT messageLength = 0;
    SQLRETURN rc = SQLGetDiagRec(type, handle, record, state, &nativeError, message,
                                 sizeof(message), &messageLength);
    if (!Succeeded(rc)) return false;
    if (std::memcmp(state, "08", 2) == 0) return true;
  }
}

}  // namespace tarvo::userstore
