#include "external/userstore/statement.h"

#include <atomic>

namespace tarvo::userstore {

namespace {
std::atomic<std::uint64_t> executed{0};
}  // namespace

std::uint64_t StatementsExecuted() { return executed.load(std::memory_order_relaxed); }

Statement::Statement(SQLHDBC connection, bool* lostFlag)
    : handle_(StmtHandle::Allocate(connection)), lostFlag_(lostFlag) {
  if (!handle_) {
    failed_ = true;
    if (DiagnosticsSayConnectionLost(SQL_HANDLE_DBC, connection)) *lostFlag_ = true;
  }
}

bool Statement::Check(SQLRETURN rc) {
  if (Succeeded(rc)) return true;
  failed_ = true;
  if (handle_ && DiagnosticsSayConnectionLost(SQL_HANDLE_STMT, handle_.get())) *lostFlag_ = true;
  return false;
}

bool Statement::Prepare(const char* sql) {
  if (failed_) return false;
  // Kept and sent with the parameters by Execute: a statement run once needs no prepare of
  // its own, which costs a server across a network two more round trips (prepare, then
  // deallocate) on every call.
  sql_ = sql;
  return true;
}

bool Statement::BindText(SQLUSMALLINT index, const std::string& value, SQLULEN columnSize) {
  if (failed_) return false;
  std::string& text = texts_.emplace_back(value);
  SQLLEN& indicator = indicators_.emplace_back(static_cast<SQLLEN>(text.size()));
  return Check(SQLBindParameter(handle_.get(), index, SQL_PARAM_INPUT, SQL_C_CHAR, SQL_VARCHAR,
                                columnSize, 0, text.data(), static_cast<SQLLEN>(text.size() + 1),
                                &indicator));
}

bool Statement::BindInt64(SQLUSMALLINT index, std::int64_t value) {
  if (failed_) return false;
  std::int64_t& stored = int64s_.emplace_back(value);
  SQLLEN& indicator = indicators_.emplace_back(0);
  return Check(SQLBindParameter(handle_.get(), index, SQL_PARAM_INPUT, SQL_C_SBIGINT, SQL_BIGINT, 0,
                                0, &stored, 0, &indicator));
}

bool Statement::Execute() {
  if (failed_) return false;
  executed.fetch_add(1, std::memory_order_relaxed);
  SQLRETURN rc = SQLExecDirect(handle_.get(), reinterpret_cast<SQLCHAR*>(sql_.data()), SQL_NTS);
  // A searched UPDATE or DELETE that touches no row answers SQL_NO_DATA; that is not a failure.
  if (rc == SQL_NO_DATA) return true;
  return Check(rc);
}

SQLLEN Statement::RowCount() {
  if (failed_) return -1;
  SQLLEN count = -1;
  if (!Check(SQLRowCount(handle_.get(), &count))) return -1;
  return count;
}

bool Statement::Fetch() {
  if (failed_) return false;
  SQLRETURN rc = SQLFetch(handle_.get());
  if (rc == SQL_NO_DATA) return false;
  return Check(rc);
}

bool Statement::GetText(SQLUSMALLINT column, std::size_t maxLength, std::string& value) {
  if (failed_) return false;
  value.assign(maxLength + 2, '\0');
  SQLLEN indicator = 0;
  if (!Check(SQLGetData(handle_.get(), column, SQL_C_CHAR, value.data(),
                        static_cast<SQLLEN>(value.size()), &indicator))) {
    return false;
  }
  if (indicator == SQL_NULL_DATA) {
    value.clear();
    return true;
  }
  // SQL_NO_TOTAL or a length beyond the buffer: the stored value is longer than allowed.
  if (indicator < 0 || static_cast<std::size_t>(indicator) > maxLength) return false;
  value.resize(static_cast<std::size_t>(indicator));
  return true;
}

bool Statement::GetInt64(SQLUSMALLINT column, std::int64_t& value) {
  if (failed_) return false;
  SQLLEN indicator = 0;
  value = 0;
  if (!Check(SQLGetData(handle_.get(), column, SQL_C_SBIGINT, &value, sizeof(value), &indicator))) {
    return false;
  }
  if (indicator == SQL_NULL_DATA) value = 0;
  return true;
}

}  // namespace tarvo::userstore
