#include "external/userstore/cluster_tables.h"

#include <cstring>
#include <string>

#include "external/reader_cluster.h"
#include "external/userstore/statement.h"
#include "external/userstore/store_pool.h"
#include "external/userstore/user_table.h"

namespace tarvo::userstore {
namespace {

// Milliseconds since the epoch on the database's clock, so that the daemons' clocks need not
// agree.
#define TARVO_DB_NOW_MS "CAST(EXTRACT(EPOCH FROM clock_timestamp()) * 1000 AS BIGINT)"

// A dead daemon's rows are dropped this long after it stopped counting.
constexpr std::int64_t kDeadRowsKeptMs = 3'600'000;

bool Probe(StoreConnection& connection, const char* sql) {
  Statement probe(connection.handle(), connection.lostFlag());
  return probe.Prepare(sql) && probe.Execute() && probe.Fetch();
}

bool TableExists(StoreConnection& connection, const char* table) {
  Statement probe(connection.handle(), connection.lostFlag());
  const std::string sql = std::string("SELECT COUNT(*) FROM ") + table + " WHERE 1 = 0";
  return probe.Prepare(sql.c_str()) && probe.Execute();
}

// Another process may create it first; the probe after tells.
bool EnsureTable(StoreConnection& connection, const char* table, const char* create,
                 const char* index) {
  if (TableExists(connection, table)) return true;
  if (connection.lost()) return false;
  connection.Execute(create);
  if (index != nullptr) connection.Execute(index);
  return TableExists(connection, table);
}

// The claim in one round trip: the advisory lock makes the count and the insert one step for
// the user across every daemon, and each statement of a PL/pgSQL function sees what was
// committed before it ran, so the count sees a rival claim that held the lock first.
constexpr char kClaimFunction[] =
    "CREATE FUNCTION tarvo_claim_session(p_daemon VARCHAR, p_seq BIGINT, p_key VARCHAR, "
    "p_name VARCHAR, p_address BIGINT, p_session BIGINT, p_protocol BIGINT, p_cap BIGINT, "
    "p_here BIGINT) RETURNS INTEGER LANGUAGE plpgsql AS '"
    "DECLARE others BIGINT; "
    "BEGIN "
    "PERFORM pg_advisory_xact_lock(7401, hashtext(p_key)); "
    "SELECT COUNT(*) INTO others FROM SessionTable s JOIN DaemonTable d "
    "ON d.daemon_id = s.daemon_id WHERE s.name_key = p_key AND s.daemon_id <> p_daemon "
    "AND d.alive_until > " TARVO_DB_NOW_MS "; "
    "IF others + p_here >= p_cap THEN RETURN 0; END IF; "
    "INSERT INTO SessionTable (daemon_id, seq, name_key, user_name, address, session_id, "
    "protocol) VALUES (p_daemon, p_seq, p_key, p_name, p_address, p_session, p_protocol) "
    "ON CONFLICT (daemon_id, seq) DO NOTHING; "
    "RETURN 1; "
    "END'";

bool EnsureClaimFunction(StoreConnection& connection) {
  constexpr char kExists[] = "SELECT 1 FROM pg_proc WHERE proname = 'tarvo_claim_session'";
  if (Probe(connection, kExists)) return true;
  if (connection.lost()) return false;
  connection.Execute(kClaimFunction);
  return Probe(connection, kExists);
}

// A PostgreSQL array literal of texts: each quoted, quotes and backslashes escaped.
std::string TextArray(const std::vector<std::string>& values) {
  std::string literal = "{";
  for (const std::string& value : values) {
    if (literal.size() > 1) literal += ',';
    literal += '"';
    for (char c : value) {
      if (c == '"' || c == '\\') literal += '\\';
      literal += c;
    }
    literal += '"';
  }
  return literal + "}";
}

template <typename Number>
std::string NumberArray(const std::vector<Number>& values) {
  std::string literal = "{";
  for (Number value : values) {
    if (literal.size() > 1) literal += ',';
    literal += std::to_string(value);
  }
  return literal + "}";
}

bool UsableId(const char* id) {
  return id != nullptr && id[0] != '\0' && std::strlen(id) < kClusterDaemonIdSize;
}

std::string Name(const ClusterSession& session) {
  return std::string(session.name, strnlen(session.name, sizeof session.name));
}

// Runs sql on a shared store's connection with the binder's parameters.
template <typename Bind>
std::int32_t RunShared(const char* sql, Bind bind) {
  return Store().Run(std::int32_t{READER_FAILED}, [&](StoreConnection& connection) {
    if (!connection.isPostgres()) return std::int32_t{READER_FAILED};
    Statement statement(connection.handle(), connection.lostFlag());
    return statement.Prepare(sql) && bind(statement) && statement.Execute()
               ? std::int32_t{READER_OK}
               : std::int32_t{READER_FAILED};
  });
}

}  // namespace

bool EnsureClusterTables(StoreConnection& connection) {
  const bool tables =
      EnsureTable(connection, "DaemonTable",
                  "CREATE TABLE DaemonTable ("
                  "daemon_id VARCHAR(64) NOT NULL PRIMARY KEY, "
                  "daemon_name VARCHAR(128) NOT NULL, "
                  "alive_until BIGINT NOT NULL)",
                  nullptr) &&
      EnsureTable(connection, "SessionTable",
                  "CREATE TABLE SessionTable ("
                  "daemon_id VARCHAR(64) NOT NULL, "
                  "seq BIGINT NOT NULL, "
                  "name_key VARCHAR(256) NOT NULL, "
                  "user_name VARCHAR(256) NOT NULL, "
                  "address BIGINT NOT NULL, "
                  "session_id BIGINT NOT NULL, "
                  "protocol INTEGER NOT NULL, "
                  "PRIMARY KEY (daemon_id, seq))",
                  "CREATE INDEX SessionTableByUser ON SessionTable (name_key)");
  return tables && (!connection.isPostgres() || EnsureClaimFunction(connection));
}

}  // namespace tarvo::userstore

using namespace tarvo::userstore;

bool ReaderClusterShared() {
  return Store().Run(false, [](StoreConnection& connection) { return connection.isPostgres(); });
}

std::int32_t ClusterDaemonStarted(const char* id, const char* name, std::int64_t aliveMs) {
  if (!UsableId(id) || name == nullptr || aliveMs <= 0) return READER_FAILED;
  const std::string daemonName(name, strnlen(name, kClusterDaemonNameSize - 1));
  return RunShared(
      "WITH cleared AS (DELETE FROM SessionTable WHERE daemon_id = ?) "
      "INSERT INTO DaemonTable (daemon_id, daemon_name, alive_until) "
      "VALUES (?, ?, " TARVO_DB_NOW_MS " + ?) ON CONFLICT (daemon_id) DO UPDATE SET "
      "daemon_name = EXCLUDED.daemon_name, alive_until = EXCLUDED.alive_until",
      [&](Statement& s) {
        return s.BindText(1, id, kClusterDaemonIdSize) && s.BindText(2, id, kClusterDaemonIdSize) &&
               s.BindText(3, daemonName, kClusterDaemonNameSize) && s.BindInt64(4, aliveMs);
      });
}

std::int32_t ClusterSync(const char* id, const char* name, std::int64_t aliveMs,
                         const std::int64_t* ended, std::int32_t endedCount,
                         const ClusterSession* added, std::int32_t addedCount) {
  if (!UsableId(id) || name == nullptr || aliveMs <= 0 || endedCount < 0 || addedCount < 0 ||
      (endedCount > 0 && ended == nullptr) || (addedCount > 0 && added == nullptr)) {
    return READER_FAILED;
  }
  const std::string daemonName(name, strnlen(name, kClusterDaemonNameSize - 1));
  std::vector<std::int64_t> endedSeqs(ended, ended + endedCount), seqs, addresses, ids;
  std::vector<int> protocols;
  std::vector<std::string> keys, names;
  for (std::int32_t i = 0; i < addedCount; ++i) {
    const ClusterSession& session = added[i];
    seqs.push_back(session.seq);
    names.push_back(Name(session));
    keys.push_back(NameKey(names.back()));
    addresses.push_back(session.address);
    ids.push_back(session.sessionId);
    protocols.push_back(session.protocol);
  }
  const std::string endedText = NumberArray(endedSeqs), seqText = NumberArray(seqs),
                    keyText = TextArray(keys), nameText = TextArray(names),
                    addressText = NumberArray(addresses), idText = NumberArray(ids),
                    protocolText = NumberArray(protocols);
  return RunShared(
      "WITH beat AS (INSERT INTO DaemonTable (daemon_id, daemon_name, alive_until) "
      "VALUES (?, ?, " TARVO_DB_NOW_MS " + ?) ON CONFLICT (daemon_id) DO UPDATE SET "
      "daemon_name = EXCLUDED.daemon_name, alive_until = EXCLUDED.alive_until), "
      "ended AS (DELETE FROM SessionTable WHERE daemon_id = ? AND "
      "seq = ANY(CAST(? AS BIGINT[]))), "
      "dead AS (DELETE FROM DaemonTable WHERE daemon_id <> ? AND alive_until < " TARVO_DB_NOW_MS
      " - ? RETURNING daemon_id), "
      "dead_sessions AS (DELETE FROM SessionTable WHERE daemon_id IN (SELECT daemon_id FROM "
      "dead)) "
      "INSERT INTO SessionTable (daemon_id, seq, name_key, user_name, address, session_id, "
      "protocol) SELECT ?, a.seq, a.name_key, a.user_name, a.address, a.session_id, a.protocol "
      "FROM unnest(CAST(? AS BIGINT[]), CAST(? AS VARCHAR[]), CAST(? AS VARCHAR[]), "
      "CAST(? AS BIGINT[]), CAST(? AS BIGINT[]), CAST(? AS INTEGER[])) "
      "AS a(seq, name_key, user_name, address, session_id, protocol) "
      "ON CONFLICT (daemon_id, seq) DO NOTHING",
      [&](Statement& s) {
        return s.BindText(1, id, kClusterDaemonIdSize) &&
               s.BindText(2, daemonName, kClusterDaemonNameSize) && s.BindInt64(3, aliveMs) &&
               s.BindText(4, id, kClusterDaemonIdSize) && s.BindText(5, endedText, endedText.size()) &&
               s.BindText(6, id, kClusterDaemonIdSize) && s.BindInt64(7, kDeadRowsKeptMs) &&
               s.BindText(8, id, kClusterDaemonIdSize) && s.BindText(9, seqText, seqText.size()) &&
               s.BindText(10, keyText, keyText.size()) &&
               s.BindText(11, nameText, nameText.size()) &&
               s.BindText(12, addressText, addressText.size()) &&
               s.BindText(13, idText, idText.size()) &&
               s.BindText(14, protocolText, protocolText.size());
      });
}

std::int32_t ClusterDaemonStopped(const char* id) {
  if (!UsableId(id)) return READER_FAILED;
  return RunShared(
      "WITH cleared AS (DELETE FROM SessionTable WHERE daemon_id = ?) "
      "DELETE FROM DaemonTable WHERE daemon_id = ?",
      [&](Statement& s) {
        return s.BindText(1, id, kClusterDaemonIdSize) && s.BindText(2, id, kClusterDaemonIdSize);
      });
}

std::int32_t ClusterClaimSession(const char* id, const ClusterSession* session, std::int32_t cap,
                                 std::int32_t here, std::uint8_t* granted) {
  if (!UsableId(id) || session == nullptr || granted == nullptr || cap < 0 || here < 0) {
    return READER_FAILED;
  }
  const std::string name = Name(*session);
  if (name.empty() || name.size() > kMaxNameLength) return READER_FAILED;
  return Store().Run(std::int32_t{READER_FAILED}, [&](StoreConnection& connection) {
    if (!connection.isPostgres()) return std::int32_t{READER_FAILED};
    Statement claim(connection.handle(), connection.lostFlag());
    std::int64_t answer = 0;
    const bool done =
        claim.Prepare("SELECT tarvo_claim_session(CAST(? AS VARCHAR), CAST(? AS BIGINT), "
                      "CAST(? AS VARCHAR), CAST(? AS VARCHAR), CAST(? AS BIGINT), "
                      "CAST(? AS BIGINT), CAST(? AS BIGINT), CAST(? AS BIGINT), "
                      "CAST(? AS BIGINT))") &&
        claim.BindText(1, id, kClusterDaemonIdSize) && claim.BindInt64(2, session->seq) &&
        claim.BindText(3, NameKey(name), kMaxNameLength) &&
        claim.BindText(4, name, kMaxNameLength) && claim.BindInt64(5, session->address) &&
        claim.BindInt64(6, session->sessionId) && claim.BindInt64(7, session->protocol) &&
        claim.BindInt64(8, cap) && claim.BindInt64(9, here) && claim.Execute() &&
        claim.Fetch() && claim.GetInt64(1, answer);
    if (!done) return std::int32_t{READER_FAILED};
    *granted = answer != 0 ? 1 : 0;
    return std::int32_t{READER_OK};
  });
}

std::int64_t VisitClusterSessions(ReaderClusterSessionVisitor visit, void* context) {
  if (visit == nullptr) return -1;
  struct Row {
    std::string daemon;
    ClusterSession session{};
  };
  std::vector<Row> rows;
  const bool done = Store().Run(false, [&](StoreConnection& connection) {
    rows.clear();
    if (!connection.isPostgres()) return true;
    Statement select(connection.handle(), connection.lostFlag());
    if (!select.Prepare("SELECT d.daemon_name, s.seq, s.user_name, s.address, s.session_id, "
                        "s.protocol FROM SessionTable s JOIN DaemonTable d ON "
                        "d.daemon_id = s.daemon_id WHERE d.alive_until > " TARVO_DB_NOW_MS
                        " ORDER BY d.daemon_name, s.user_name, s.seq") ||
        !select.Execute()) {
      return false;
    }
    while (select.Fetch()) {
      Row& row = rows.emplace_back();
      std::string name;
      std::int64_t address = 0, sessionId = 0, protocol = 0;
      if (!select.GetText(1, kClusterDaemonNameSize - 1, row.daemon) ||
          !select.GetInt64(2, row.session.seq) || !select.GetText(3, kMaxNameLength, name) ||
          !select.GetInt64(4, address) || !select.GetInt64(5, sessionId) ||
          !select.GetInt64(6, protocol)) {
        if (select.failed()) return false;
        rows.pop_back();
        continue;
      }
      CopyText(name, row.session.name);
      row.session.address = static_cast<std::uint32_t>(address);
      row.session.sessionId = static_cast<std::uint32_t>(sessionId);
      row.session.protocol = static_cast<std::uint8_t>(protocol);
    }
    return !select.failed();
  });
  if (!done) return -1;
  for (const Row& row : rows) visit(context, row.daemon.c_str(), &row.session);
  return static_cast<std::int64_t>(rows.size());
}
