// The engines' own client libraries (libpq, libmariadb), as the benchmarks
// load their databases and send the floor's statements through them.
#pragma once

#include <libpq-fe.h>
#include <mysql.h>

#include <cstdlib>
#include <initializer_list>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "bench/data.h"

namespace trellick::bench {

// Thrown instead of exiting, so that the servers are stopped on the way out.
struct Failure : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// ---- the engines' own client libraries ----

class Client {
 public:
  virtual ~Client() = default;
  // Runs one statement and reads its whole result: the first column of the
  // first row, if there is one. Throws Failure.
  virtual std::optional<long long> run(const std::string& sql) = 0;
};

inline std::string conninfoValue(const std::string& v) {
  std::string out = "'";
  for (char c : v) {
    if (c == '\'' || c == '\\') out += '\\';
    out += c;
  }
  return out + "'";
}

class PgClient : public Client {
 public:
  PgClient(const std::string& host, int port, const std::string& database, const std::string& user,
           const std::string& password) {
    const std::string info = "host=" + conninfoValue(host) + " port=" + std::to_string(port) +
                             " dbname=" + conninfoValue(database) + " user=" + conninfoValue(user) +
                             " password=" + conninfoValue(password) + " client_encoding=UTF8";
    conn_ = PQconnectdb(info.c_str());
    if (PQstatus(conn_) != CONNECTION_OK) {
      const std::string error = PQerrorMessage(conn_);
      PQfinish(conn_);
      throw Failure("libpq cannot connect: " + error);
    }
    // Notices ("does not exist, skipping") are no news here.
    PQsetNoticeProcessor(
        conn_, [](void*, const char*) {}, nullptr);
  }
  ~PgClient() override { PQfinish(conn_); }
  std::optional<long long> run(const std::string& sql) override {
    PGresult* r = PQexec(conn_, sql.c_str());
    const ExecStatusType status = PQresultStatus(r);
    if (status != PGRES_TUPLES_OK && status != PGRES_COMMAND_OK) {
      const std::string error = PQresultErrorMessage(r);
      PQclear(r);
      throw Failure("libpq: " + error + " in " + sql.substr(0, 100));
    }
    std::optional<long long> first;
    if (status == PGRES_TUPLES_OK && PQntuples(r) > 0 && PQnfields(r) > 0 && !PQgetisnull(r, 0, 0))
      first = std::atoll(PQgetvalue(r, 0, 0));
    PQclear(r);
    return first;
  }
  // COPY ... FROM STDIN with the given text-format data.
  void copyIn(const std::string& sql, const std::string& data) {
    PGresult* r = PQexec(conn_, sql.c_str());
    const bool ready = PQresultStatus(r) == PGRES_COPY_IN;
    PQclear(r);
    if (!ready) throw Failure(std::string("libpq: COPY refused: ") + PQerrorMessage(conn_));
    if (PQputCopyData(conn_, data.data(), static_cast<int>(data.size())) != 1 ||
        PQputCopyEnd(conn_, nullptr) != 1)
      throw Failure(std::string("libpq: COPY failed: ") + PQerrorMessage(conn_));
    bool ok = true;
    while (PGresult* end = PQgetResult(conn_)) {
      ok = ok && PQresultStatus(end) == PGRES_COMMAND_OK;
      PQclear(end);
    }
    if (!ok) throw Failure(std::string("libpq: COPY failed: ") + PQerrorMessage(conn_));
  }
  int serverVersion() const { return PQserverVersion(conn_); }

 private:
  PGconn* conn_ = nullptr;
};

class MariaClient : public Client {
 public:
  // Over TCP when socket is empty, as the window connects.
  MariaClient(const std::string& host, int port, const std::string& database,
              const std::string& user, const std::string& password,
              const std::string& socket = {}) {
    conn_ = mysql_init(nullptr);
    if (!conn_) throw Failure("libmariadb: out of memory");
    mysql_options(conn_, MYSQL_SET_CHARSET_NAME, "utf8mb4");
    if (!mysql_real_connect(conn_, socket.empty() ? host.c_str() : nullptr, user.c_str(),
                            password.c_str(), database.empty() ? nullptr : database.c_str(),
                            static_cast<unsigned>(port), socket.empty() ? nullptr : socket.c_str(),
                            0)) {
      const std::string error = mysql_error(conn_);
      mysql_close(conn_);
      throw Failure("libmariadb cannot connect: " + error);
    }
  }
  ~MariaClient() override { mysql_close(conn_); }
  std::optional<long long> run(const std::string& sql) override {
    if (mysql_real_query(conn_, sql.data(), sql.size()) != 0)
      throw Failure("libmariadb: " + std::string(mysql_error(conn_)) + " in " + sql.substr(0, 100));
    MYSQL_RES* result = mysql_store_result(conn_);
    if (!result) {
      if (mysql_field_count(conn_) != 0)
        throw Failure("libmariadb: " + std::string(mysql_error(conn_)));
      return std::nullopt;
    }
    std::optional<long long> first;
    if (MYSQL_ROW row = mysql_fetch_row(result); row && mysql_num_fields(result) > 0 && row[0])
      first = std::atoll(row[0]);
    mysql_free_result(result);
    return first;
  }
  std::string serverInfo() const { return mysql_get_server_info(conn_); }

 private:
  MYSQL* conn_ = nullptr;
};

// ---- MariaDB statements both benchmarks load, copy and check with ----

// A MariaDB string literal: the servers run without NO_BACKSLASH_ESCAPES, so
// backslashes are doubled with the quotes.
inline std::string mariaLiteral(std::string_view s) {
  std::string out = "'";
  for (char c : s) {
    if (c == '\'' || c == '\\') out += c;
    out += c;
  }
  return out + "'";
}

// Rows sent as multi-row inserts of about half a MiB each, well below the
// server's packet limit.
class MariaInsert {
 public:
  MariaInsert(Client& client, std::string table) : client_(client), table_(std::move(table)) {}
  // One row: its id, then its texts.
  void add(long long id, std::initializer_list<std::string_view> texts) {
    sql_ += sql_.empty() ? "insert into " + table_ + " values " : ",";
    sql_ += "(" + std::to_string(id);
    for (std::string_view t : texts) sql_ += "," + mariaLiteral(t);
    sql_ += ")";
    if (sql_.size() > 512 * 1024) finish();
  }
  // Sends what is left; call it after the last row.
  void finish() {
    if (sql_.empty()) return;
    client_.run(sql_);
    sql_.clear();
  }

 private:
  Client& client_;
  std::string table_, sql_;
};

// Copies tables t0.. of database `from` into database `to`.
inline void mariaCopyTables(Client& admin, const std::string& from, const std::string& to,
                            int tables) {
  for (int k = 0; k < tables; ++k) {
    const std::string source = "`" + from + "`." + tableName(k);
    const std::string target = "`" + to + "`." + tableName(k);
    admin.run("create table " + target + " like " + source);
    admin.run("insert into " + target + " select * from " + source);
  }
}

// Gives tables t0.. of `to` back the texts of `from` in the rows where any of
// `columns` differs, compared byte for byte.
inline void mariaRestoreRows(Client& admin, const std::string& from, const std::string& to,
                             int tables, const std::vector<std::string>& columns) {
  std::string set, differ;
  for (const std::string& c : columns) {
    set += (set.empty() ? "x." : ", x.") + c + " = y." + c;
    differ += (differ.empty() ? "binary x." : " or binary x.") + c + " <> binary y." + c;
  }
  for (int k = 0; k < tables; ++k)
    admin.run("update `" + to + "`." + tableName(k) + " x join `" + from + "`." + tableName(k) +
              " y on x.id = y.id set " + set + " where " + differ);
}

// The rows of tables t0.. whose `columns` (a list "a, b") hold `text`,
// compared as UTF-8 bytes whatever each column's character set.
inline long long mariaHolding(Client& c, int tables, const std::string& columns,
                              const std::string& text) {
  long long total = 0;
  for (int k = 0; k < tables; ++k)
    total += c.run("select count(*) from " + tableName(k) + " where instr(convert(concat_ws(' ', " +
                   columns + ") using utf8mb4) collate utf8mb4_bin, '" + text + "') > 0")
                 .value_or(0);
  return total;
}

}  // namespace trellick::bench
