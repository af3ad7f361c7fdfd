#include "engine_fixture.h"

#include <sqlite3.h>

#include <algorithm>
#include <atomic>
#include <cctype>

#include "db/target.h"
#include "files.h"
#include "mariadb_server.h"
#include "md5.h"
#include "pg_server.h"
#include "process.h"
#include "sqlite_file.h"
#include "tds_standin.h"

namespace testsupport {
namespace {

// Started on first use, stopped when the program ends.
struct Servers {
  TempDir dir{"trellick-engines-XXXXXX"};
  std::unique_ptr<TdsStandin> standin;
  std::unique_ptr<PgServer> pg;
  std::unique_ptr<MariaDbServer> maria;

  std::string standinFile() const { return dir.file("standin.db"); }
};

Servers& servers() {
  static Servers s;
  return s;
}

TdsStandin& standin() {
  Servers& s = servers();
  if (!s.standin) {
    testdb::exec(s.standinFile(),
                 "create table if not exists placeholder(x int); "
                 "drop table placeholder;");
    s.standin = std::make_unique<TdsStandin>(s.standinFile());
  }
  return *s.standin;
}

PgServer& pg() {
  Servers& s = servers();
  if (!s.pg) s.pg = std::make_unique<PgServer>();
  return *s.pg;
}

MariaDbServer& maria() {
  Servers& s = servers();
  if (!s.maria) s.maria = std::make_unique<MariaDbServer>();
  return *s.maria;
}

std::atomic<int> databaseNumber{0};

// A name as SQLite reads it, whatever it holds.
std::string doubleQuoted(const std::string& name) {
  std::string out = "\"";
  for (char c : name) out += c == '"' ? std::string("\"\"") : std::string(1, c);
  return out + "\"";
}

// Every table of a SQLite file dropped.
void emptyFile(const std::string& file) {
  std::string drop;
  for (const auto& row : testdb::query(file,
                                       "select name from sqlite_master where type = 'table' and "
                                       "name not like 'sqlite_%'"))
    drop += "drop table " + doubleQuoted(row[0]) + ";";
  if (!drop.empty()) testdb::exec(file, drop);
}

std::string unhex(const std::string& hex) {
  std::string out;
  for (size_t k = 0; k + 1 < hex.size(); k += 2)
    out += static_cast<char>(std::stoi(hex.substr(k, 2), nullptr, 16));
  return out;
}

// Rows of values as the clients print them: "<NULL>" for null, else "x" and
// the value's bytes in hex (the "x" keeps a row of one empty value a line).
Rows parseHexRows(const std::string& text, char separator) {
  Rows rows;
  for (const std::string& line : splitLines(text)) {
    std::vector<Value> row;
    size_t f = 0;
    while (true) {
      const size_t sep = line.find(separator, f);
      const std::string field = line.substr(f, sep == std::string::npos ? sep : sep - f);
      row.push_back(field == "<NULL>" ? Value() : Value(unhex(field.substr(1))));
      if (sep == std::string::npos) break;
      f = sep + 1;
    }
    rows.push_back(std::move(row));
  }
  return rows;
}

Rows sqliteRows(const std::string& file, const std::string& sql) {
  Rows rows;
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) {
    ADD_FAILURE() << "cannot open " << file;
    sqlite3_close(db);
    return rows;
  }
  sqlite3_busy_timeout(db, 5000);
  sqlite3_stmt* st = nullptr;
  if (sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr) != SQLITE_OK) {
    ADD_FAILURE() << sqlite3_errmsg(db) << "\n" << sql;
  } else {
    while (sqlite3_step(st) == SQLITE_ROW) {
      std::vector<Value> row;
      for (int c = 0; c < sqlite3_column_count(st); ++c) {
        if (sqlite3_column_type(st, c) == SQLITE_NULL) {
          row.emplace_back();
        } else {
          const auto* p = static_cast<const char*>(sqlite3_column_blob(st, c));
          row.emplace_back(std::string(p ? p : "", size_t(sqlite3_column_bytes(st, c))));
        }
      }
      rows.push_back(std::move(row));
    }
  }
  sqlite3_finalize(st);
  sqlite3_close(db);
  return rows;
}

}  // namespace

std::string clientName(Engine engine, const std::string& name) {
  const char quote = engine == Engine::MariaDB ? '`' : '"';
  std::string out(1, quote);
  for (char c : name) out += c == quote ? std::string(2, c) : std::string(1, c);
  return out + quote;
}

std::string clientLiteral(Engine engine, const Value& value) {
  if (!value) return "null";
  if (!value->empty() && value->find_first_not_of("0123456789") == std::string::npos) return *value;
  switch (engine) {
    case Engine::SQLite:
    case Engine::SqlServer: {
      std::string out = "'";
      for (char c : *value) out += c == '\'' ? std::string("''") : std::string(1, c);
      return out + "'";
    }
    case Engine::PostgreSQL:
      return "convert_from(decode('" + hexOf(*value) + "', 'hex'), 'UTF8')";
    case Engine::MariaDB:
      return "convert(unhex('" + hexOf(*value) + "') using utf8mb4)";
  }
  return {};
}

std::string shortText(Engine engine, int length) {
  return (engine == Engine::SqlServer ? "nvarchar(" : "varchar(") + std::to_string(length) + ")";
}

std::string md5Of(const Rows& rows) {
  std::string text;
  for (const auto& r : rows) {
    for (const auto& v : r) text += (v ? "1" + *v : "0") + std::string(1, '\x1f');
    text += '\n';
  }
  return md5Hex(text);
}

std::string longText(Engine engine) {
  switch (engine) {
    case Engine::SQLite:
    case Engine::PostgreSQL:
      return "text";
    case Engine::SqlServer:
      return "ntext";
    case Engine::MariaDB:
      return "longtext";
  }
  return {};
}

std::string engineName(Engine engine) {
  switch (engine) {
    case Engine::SQLite:
      return "SQLite";
    case Engine::SqlServer:
      return "SqlServer";
    case Engine::PostgreSQL:
      return "PostgreSQL";
    case Engine::MariaDB:
      return "MariaDB";
  }
  return "?";
}

struct EngineFixture::Database {
  std::unique_ptr<TempDir> dir;
  std::string file;  // SQLite and the stand-in: the file the rows live in
  std::string name;  // the servers: the database
  trellick::db::ConnectFields fields;
};

EngineFixture::EngineFixture() = default;
EngineFixture::~EngineFixture() = default;

void EngineFixture::SetUp() {
  db_ = std::make_unique<Database>();
  trellick::db::ConnectFields fields;
  switch (engine()) {
    case Engine::SQLite:
      db_->dir = std::make_unique<TempDir>();
      ASSERT_TRUE(db_->dir->valid()) << db_->dir->error();
      db_->file = db_->dir->file("test.db");
      testdb::exec(db_->file, "pragma user_version = 1;");
      fields = {"sqlite", "tester", "", db_->file};
      break;
    case Engine::SqlServer: {
      TdsStandin& server = standin();
      ASSERT_GT(server.port(), 0) << server.errorText();
      db_->file = servers().standinFile();
      // A fresh database: the one file the stand-in serves, emptied.
      emptyFile(db_->file);
      fields = {server.serverField(), "sa", "pw", "shop"};
      break;
    }
    case Engine::PostgreSQL: {
      PgServer& server = pg();
      ASSERT_TRUE(server.ok()) << server.errorText();
      db_->name = "t" + std::to_string(++databaseNumber);
      ASSERT_TRUE(server.createDatabase(db_->name)) << server.lastError();
      fields = {server.serverField(), server.user(), server.password(), db_->name};
      break;
    }
    case Engine::MariaDB: {
      MariaDbServer& server = maria();
      ASSERT_TRUE(server.ok()) << server.errorText();
      db_->name = "t" + std::to_string(++databaseNumber);
      std::string error;
      ASSERT_TRUE(server.createDatabase(db_->name, &error)) << error;
      fields = {server.serverField(), server.user(), server.password(), db_->name};
      break;
    }
  }
  db_->fields = fields;
  reconnect();
}

void EngineFixture::reconnect() {
  conn_ = std::make_unique<trellick::db::Connection>();
  try {
    conn_->Open(trellick::db::makeTarget(db_->fields, trellick::db::installedDrivers(), 10));
  } catch (const std::exception& e) {
    FAIL() << "cannot connect to " << engineName(engine()) << ": " << e.what();
  }
}

const trellick::db::ConnectFields& EngineFixture::fields() const { return db_->fields; }

std::vector<std::string> EngineFixture::cliConnection() const {
  const auto& f = fields();
  std::vector<std::string> args{"--server", f.server, "--database", f.database};
  if (engine() != Engine::SQLite)
    args.insert(args.end(), {"--user", f.user, "--password-env", "TRELLICK_TEST_PW"});
  return args;
}

std::vector<std::string> EngineFixture::cliEnvironment() const {
  return engine() == Engine::SQLite ? environmentWith({})
                                    : environmentWith({{"TRELLICK_TEST_PW", fields().password}});
}

std::vector<std::string> EngineFixture::serverStatements() const {
  if (engine() == Engine::SqlServer) return standin().batches();
  if (engine() != Engine::PostgreSQL || logFrom_ == std::string::npos) return {};
  // Each entry of the log starts a line with its time ("2026-12-09 ...");
  // a statement's own lines follow it.
  const std::string log = pg().serverLog();
  std::vector<std::string> statements;
  std::string* current = nullptr;
  size_t at = std::min(logFrom_, log.size());
  while (at < log.size()) {
    size_t end = log.find('\n', at);
    if (end == std::string::npos) end = log.size();
    const std::string line = log.substr(at, end - at);
    at = end + 1;
    const bool entry = line.size() > 4 && std::isdigit(static_cast<unsigned char>(line[0])) &&
                       std::isdigit(static_cast<unsigned char>(line[3])) && line[4] == '-';
    if (!entry) {
      if (current) *current += "\n" + line;
      continue;
    }
    current = nullptr;
    // "LOG:  statement: ..." for a simple query, "LOG:  execute <name>: ..."
    // for one the driver prepared.
    size_t text = std::string::npos;
    if (const size_t s = line.find("LOG:  statement: "); s != std::string::npos)
      text = s + 17;
    else if (const size_t e = line.find("LOG:  execute "); e != std::string::npos)
      if (const size_t colon = line.find(": ", e + 14); colon != std::string::npos)
        text = colon + 2;
    if (text == std::string::npos) continue;
    statements.push_back(line.substr(text));
    current = &statements.back();
  }
  return statements;
}

void EngineFixture::logServerStatements() {
  if (engine() != Engine::PostgreSQL) return;
  PgServer& server = pg();
  ASSERT_TRUE(server.psqlOk("alter role " + server.user() + " in database " + db_->name +
                            " set log_statement = 'all';"))
      << server.lastError();
  logFrom_ = server.serverLog().size();
  reconnect();
}

void EngineFixture::recreateDatabase() {
  conn_->Close();
  switch (engine()) {
    case Engine::SQLite:
      ASSERT_EQ(std::remove(db_->file.c_str()), 0);
      testdb::exec(db_->file, "pragma user_version = 1;");
      break;
    case Engine::SqlServer: {
      // The stand-in's database is its file; its creation time goes with it.
      emptyFile(db_->file);
      std::remove((db_->file + ".created").c_str());
      break;
    }
    case Engine::PostgreSQL:
      ASSERT_TRUE(pg().psqlOk("drop database " + db_->name + ";")) << pg().lastError();
      ASSERT_TRUE(pg().createDatabase(db_->name)) << pg().lastError();
      break;
    case Engine::MariaDB: {
      std::string error;
      ASSERT_TRUE(maria().client("drop database " + db_->name + ";", {}, nullptr, &error)) << error;
      ASSERT_TRUE(maria().createDatabase(db_->name, &error)) << error;
      break;
    }
  }
  reconnect();
}

void EngineFixture::TearDown() {
  if (conn_) conn_->Close();
  conn_.reset();
}

void EngineFixture::setup(const std::string& sql) {
  switch (engine()) {
    case Engine::SQLite:
    case Engine::SqlServer:
      testdb::exec(db_->file, sql);
      break;
    case Engine::PostgreSQL:
      // As the test's login, so that it owns what it creates.
      ASSERT_TRUE(pg().psqlOk("set role " + pg().user() + ";\n" + sql, db_->name))
          << pg().lastError() << "\n"
          << sql;
      break;
    case Engine::MariaDB: {
      std::string error;
      ASSERT_TRUE(maria().client(sql, db_->name, nullptr, &error)) << error << "\n" << sql;
      break;
    }
  }
}

void EngineFixture::replay(const std::string& script) {
  switch (engine()) {
    case Engine::SqlServer: {
      // A SQL Server client of its own (FreeTDS's tsql) reads the script by
      // lines and sends it as one batch, as sqlcmd does up to its "GO".
      ProcessOptions options;
      options.input = script + "\ngo\n";
      const ProcessResult ran =
          runProcess({"/usr/bin/tsql", "-H", "127.0.0.1", "-p", std::to_string(standin().port()),
                      "-U", "sa", "-P", "pw", "-D", "shop"},
                     options);
      ASSERT_TRUE(ran.ok()) << ran.err << "\n" << script;
      ASSERT_EQ(ran.out.find("Msg "), std::string::npos) << ran.out << "\n" << script;
      ASSERT_EQ(ran.err.find("Msg "), std::string::npos) << ran.err << "\n" << script;
      break;
    }
    case Engine::SQLite: {
      ProcessOptions options;
      options.input = script;
      const ProcessResult ran = runProcess({"/usr/bin/sqlite3", "-bail", db_->file}, options);
      ASSERT_TRUE(ran.ok()) << ran.err << "\n" << script;
      break;
    }
    case Engine::PostgreSQL:
      setup(script);
      break;
    case Engine::MariaDB: {
      std::string error;
      ASSERT_TRUE(maria().stockClient(script, db_->name, &error)) << error << "\n" << script;
      break;
    }
  }
}

Rows EngineFixture::dump(const std::string& table, const std::vector<std::string>& columns,
                         const std::string& orderBy) {
  std::string list;
  for (const std::string& c : columns) {
    if (!list.empty()) list += ", ";
    switch (engine()) {
      case Engine::SQLite:
      case Engine::SqlServer:
        list += c;
        break;
      case Engine::PostgreSQL:
        list +=
            "coalesce('x' || encode(convert_to(cast(" + c + " as text), 'UTF8'), 'hex'), '<NULL>')";
        break;
      case Engine::MariaDB:
        list +=
            "coalesce(concat('x', hex(cast(" + c + " as char character set utf8mb4))), '<NULL>')";
        break;
    }
  }
  const std::string sql = "select " + list + " from " + table + " order by " + orderBy;
  switch (engine()) {
    case Engine::SQLite:
    case Engine::SqlServer:
      return sqliteRows(db_->file, sql);
    case Engine::PostgreSQL: {
      std::string out;
      EXPECT_TRUE(pg().psqlOk(sql + ";", db_->name, &out)) << pg().lastError();
      return parseHexRows(out, '|');
    }
    case Engine::MariaDB: {
      std::string out, error;
      EXPECT_TRUE(maria().client(sql + ";", db_->name, &out, &error)) << error;
      return parseHexRows(out, '\t');
    }
  }
  return {};
}

}  // namespace testsupport
