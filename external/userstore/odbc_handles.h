// Owning wrappers for ODBC handles (environment, connection, statement) and the diagnostics
// the store acts on. Every handle is freed exactly once, on every path.
#pragma once

#include <sql.h>
#include <sqlext.h>

#include <utility>

namespace tarvo::userstore {

inline bool Succeeded(SQLRETURN rc) { return rc == SQL_SUCCESS || rc == SQL_SUCCESS_WITH_INFO; }

template <SQLSMALLINT Type>
class OdbcHandle {
 public:
  OdbcHandle() = default;
  explicit OdbcHandle(SQLHANDLE handle) : handle_(handle) {}
  ~OdbcHandle() { Reset(); }
  OdbcHandle(OdbcHandle&& other) noexcept : handle_(std::exchange(other.handle_, SQLHANDLE{})) {}
  OdbcHandle& operator=(OdbcHandle&& other) noexcept {
    if (this != &other) {
      Reset();
      handle_ = std::exchange(other.handle_, SQLHANDLE{});
    }
    return *this;
  }
  OdbcHandle(const OdbcHandle&) = delete;
  OdbcHandle& operator=(const OdbcHandle&) = delete;

  // Allocates a handle of this type under parent (SQL_NULL_HANDLE for an environment).
  static OdbcHandle Allocate(SQLHANDLE parent) {
    SQLHANDLE handle = SQL_NULL_HANDLE;
    if (!Succeeded(SQLAllocHandle(Type, parent, &handle))) return OdbcHandle();
    return OdbcHandle(handle);
  }

  SQLHANDLE get() const { return handle_; }
  explicit operator bool() const { return handle_ != SQL_NULL_HANDLE; }

  void Reset() {
    if (handle_ == SQL_NULL_HANDLE) return;
    if constexpr (Type == SQL_HANDLE_DBC) SQLDisconnect(handle_);
    SQLFreeHandle(Type, handle_);
    handle_ = SQL_NULL_HANDLE;
  }

 private:
  SQLHANDLE handle_ = nullptr;
};

using EnvHandle = OdbcHandle<SQL_HANDLE_ENV>;
using DbcHandle = OdbcHandle<SQL_HANDLE_DBC>;
using StmtHandle = OdbcHandle<SQL_HANDLE_STMT>;

// True when the diagnostics of handle name a broken connection (SQLSTATE class 08), so the
// connection is worth opening again rather than reusing.
bool DiagnosticsSayConnectionLost(SQLSMALLINT type, SQLHANDLE handle);

}  // namespace tarvo::userstore
