// One SQL statement on an open connection: parameters bound with SQLBindParameter
// (values are never spliced into the SQL text), execution, and typed column reads.
#pragma once

#include <cstdint>
#include <deque>
#include <string>

#include "external/userstore/odbc_handles.h"

namespace tarvo::userstore {

// Statements sent to the database by this process, each a round trip.
std::uint64_t StatementsExecuted();

class Statement {
 public:
  // lostFlag is set when a call fails because the connection broke.
  Statement(SQLHDBC connection, bool* lostFlag);

  bool Prepare(const char* sql);
  // Parameters are numbered from 1 in the order of the '?' markers; values are copied.
  bool BindText(SQLUSMALLINT index, const std::string& value, SQLULEN columnSize);
  // Integers go as BIGINT; the databases convert them for INTEGER columns.
  bool BindInt64(SQLUSMALLINT index, std::int64_t value);
  bool Execute();
  // Rows changed by the last UPDATE, INSERT or DELETE; -1 when unknown.
  SQLLEN RowCount();

  // Moves to the next row: true with a row, false at the end or on failure (see failed()).
  bool Fetch();
  // Reads column (from 1) of the current row. NULL reads as empty text or 0. Text longer than
  // maxLength gives false without marking the statement failed: the value is never cut, and
  // the caller may skip the row.
  bool GetText(SQLUSMALLINT column, std::size_t maxLength, std::string& value);
  bool GetInt64(SQLUSMALLINT column, std::int64_t& value);

  bool failed() const { return failed_; }

 private:
  bool Check(SQLRETURN rc);

  StmtHandle handle_;
  std::string sql_;
  bool* lostFlag_;
  bool failed_ = false;
  // Bound values must stay where they are until execution; a deque never moves its elements.
  std::deque<std::string> texts_;
  std::deque<std::int64_t> int64s_;
  std::deque<SQLLEN> indicators_;
};

}  // namespace tarvo::userstore
