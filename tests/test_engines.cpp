// Find and replace through the real window on real PostgreSQL and MariaDB
// servers that the test starts itself. One body runs against either
// engine (TRELLICK_ENGINE_POSTGRESQL or TRELLICK_ENGINE_MARIADB); every
// result is judged by reading the server's data with its own command-line
// client, before and after.
#include <signal.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QGroupBox>
#include <QJsonObject>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QProcess>
#include <QtTest>
#include <cstdlib>
#include <map>
#include <memory>

#include "app/form1.h"
#include "db/connection.h"
#include "db/recordset.h"
#include "find_fixture.h"
#include "journal/changes.h"
#include "support/files.h"
#include "tds_standin.h"
#include "testdb.h"
#include "window_fixture.h"
#ifdef TRELLICK_ENGINE_POSTGRESQL
#include "pg_server.h"
#else
#include "mariadb_server.h"
#endif

using trellick::app::vbYes;

namespace {

using testsupport::hexOf;

std::string fromHex(const std::string& hex) {
  std::string out;
  for (size_t k = 0; k + 1 < hex.size(); k += 2)
    out += static_cast<char>(std::stoi(hex.substr(k, 2), nullptr, 16));
  return out;
}

// What each engine needs said its own way; everything else is shared.
struct Engine {
#ifdef TRELLICK_ENGINE_POSTGRESQL
  PgServer server;
  static constexpr const char* kName = "PostgreSQL";
  // The server's own text from bytes, never a literal it could misread.
  static std::string text(const std::string& utf8) {
    return "convert_from(decode('" + hexOf(utf8) + "', 'hex'), 'UTF8')";
  }
  static std::string hexColumn(const std::string& column) {
    return "coalesce(encode(convert_to(" + column + "::text, 'UTF8'), 'hex'), '-')";
  }
  static std::string q(const std::string& name) { return "\"" + name + "\""; }
  static std::string longText() { return "text"; }
  static std::string generated(const std::string& expr) {
    return "text generated always as (" + expr + ") stored";
  }
  static std::string concat(const std::string& a, const std::string& b) { return a + " || " + b; }
  static std::string repeat(char c, int n) {
    return "repeat('" + std::string(1, c) + "', " + std::to_string(n) + ")";
  }
  bool run(const std::string& sql, const QString& database, QString* error = nullptr) {
    QString out;
    const bool ok =
        server.psqlOk(QString::fromStdString("set role trellick;\n" + sql), database, &out);
    if (!ok && error) *error = server.lastError() + out;
    return ok;
  }
  std::vector<std::vector<std::string>> rows(const std::string& sql, const QString& database) {
    std::vector<std::vector<std::string>> out;
    const QString text = server.psql(QString::fromStdString(sql), database);
    for (const QString& line : text.split('\n', Qt::SkipEmptyParts)) {
      std::vector<std::string> row;
      for (const QString& cell : line.split('|')) row.push_back(cell.toStdString());
      out.push_back(row);
    }
    return out;
  }
  bool createDatabase(const QString& name) { return server.createDatabase(name); }
  // A trigger that refuses every update of the table.
  static std::string refusingTrigger(const std::string& table) {
    return "create function refuse() returns trigger language plpgsql as $$ begin raise "
           "exception 'updates of this table are refused'; end $$;"
           "create trigger guard before update on " +
           q(table) + " for each row execute function refuse();";
  }
  // A trigger that sleeps through any time-out on update.
  static std::string sleepingTrigger(const std::string& table) {
    return "create function dawdle() returns trigger language plpgsql as $$ begin perform "
           "pg_sleep(30); return new; end $$;"
           "create trigger dawdle before update on " +
           q(table) + " for each row execute function dawdle();";
  }
  static std::string sleepStatement() { return "select pg_sleep(30)"; }
  static constexpr const char* kDriver = "PostgreSQL Unicode";
  static constexpr const char* kHostKey = "Servername";  // its data sources' own key
  static constexpr trellick::Dialect kDialect = trellick::Dialect::PostgreSQL;
#else
  MariaDbServer server;
  static constexpr const char* kName = "MariaDB";
  static std::string text(const std::string& utf8) {
    return "convert(unhex('" + hexOf(utf8) + "') using utf8mb4)";
  }
  static std::string hexColumn(const std::string& column) {
    return "coalesce(lower(hex(" + column + ")), '-')";
  }
  static std::string q(const std::string& name) { return "`" + name + "`"; }
  static std::string longText() { return "longtext"; }
  static std::string generated(const std::string& expr) { return "text as (" + expr + ") virtual"; }
  static std::string concat(const std::string& a, const std::string& b) {
    return "concat(" + a + ", " + b + ")";
  }
  static std::string repeat(char c, int n) {
    return "repeat('" + std::string(1, c) + "', " + std::to_string(n) + ")";
  }
  bool run(const std::string& sql, const QString& database, QString* error = nullptr) {
    QString failure;
    server.client(QString::fromStdString(sql), database, &failure);
    if (error) *error = failure;
    return failure.isEmpty();
  }
  std::vector<std::vector<std::string>> rows(const std::string& sql, const QString& database) {
    std::vector<std::vector<std::string>> out;
    const QString text = server.client(QString::fromStdString(sql), database);
    for (const QString& line : text.split('\n', Qt::SkipEmptyParts)) {
      std::vector<std::string> row;
      for (const QString& cell : line.split('\t')) row.push_back(cell.toStdString());
      out.push_back(row);
    }
    return out;
  }
  bool createDatabase(const QString& name) { return server.createDatabase(name); }
  static std::string refusingTrigger(const std::string& table) {
    return "create trigger guard before update on " + q(table) +
           " for each row signal sqlstate '45000' set message_text = 'updates of this table are "
           "refused';";
  }
  static std::string sleepingTrigger(const std::string& table) {
    return "create trigger dawdle before update on " + q(table) +
           " for each row set @slept = sleep(30);";
  }
  static std::string sleepStatement() { return "select sleep(30)"; }
  static constexpr const char* kDriver = "MariaDB Unicode";
  static constexpr const char* kHostKey = "Server";
  static constexpr trellick::Dialect kDialect = trellick::Dialect::MariaDB;
#endif
};

// One search text with every trap at once: a quote, a backslash, both LIKE
// wildcards, Chinese and an emoji. The replacement holds it again, so a
// record replaced twice shows.
const std::string kFind = "o'k\\%_汉😀";
const std::string kReplace = "<o'k\\%_汉😀|新>";
// The same letters in upper case: neither found nor replaced.
const std::string kCaseTrap = "O'K\\%_汉😀";

struct Row {
  int id;
  std::vector<std::optional<std::string>> values;  // note, body, code, tiny
};

std::string valueSql(const std::optional<std::string>& v) {
  return v ? Engine::text(*v) : std::string("null");
}

}  // namespace

class TestEngines : public QObject {
  Q_OBJECT

  std::unique_ptr<Engine> engine;
  int databases = 0;
  std::unique_ptr<TdsStandin> legacy;
  testdb::Dir files;
  std::string warehouse = files.file("warehouse.db");

  // A fresh database holding the given statements' tables.
  QString newDatabase(const std::string& setup) {
    const QString name = QStringLiteral("db%1").arg(++databases);
    if (!engine->createDatabase(name)) return {};
    QString error;
    if (!engine->run(setup, name, &error)) {
      qWarning("setup failed: %s", qPrintable(error));
      return {};
    }
    return name;
  }

  // The layer's own connection to a test database, as the trellick login.
  void connect(trellick::db::Connection& conn, const QString& database, int timeout) {
    conn.SetCommandTimeout(timeout);
    conn.Open(trellick::db::makeTarget(
        {engine->server.serverField().toStdString(), engine->server.user().toStdString(),
         engine->server.password().toStdString(), database.toStdString()},
        trellick::db::installedDrivers(), 10));
  }

  trellick::app::Form1& openOn(WindowFixture& fx, const QString& database, const std::string& find,
                               const std::string& replace) {
    auto& f = fx.open();
    f.txtServerName->setText(engine->server.serverField());
    f.txtUsername->setText(engine->server.user());
    f.txtPassword->setText(engine->server.password());
    f.txtDatabaseName->setText(database);
    f.txt1->setText(QString::fromStdString(find));
    f.txt2->setText(QString::fromStdString(replace));
    return f;
  }

  // Every row of an Orders-shaped table, values decoded from the server's
  // hex, NULL as nullopt.
  std::vector<Row> read(const QString& database, const std::string& table) {
    std::vector<Row> out;
    const std::string sql = "select id, " + Engine::hexColumn("note") + ", " +
                            Engine::hexColumn("body") + ", " + Engine::hexColumn("code") + ", " +
                            Engine::hexColumn("tiny") + " from " + table + " order by id";
    for (const auto& cells : engine->rows(sql, database)) {
      Row row{std::stoi(cells.at(0)), {}};
      for (size_t k = 1; k < cells.size(); ++k)
        row.values.push_back(cells[k] == "-" ? std::nullopt
                                             : std::optional<std::string>(fromHex(cells[k])));
      out.push_back(row);
    }
    return out;
  }

  static std::string ordersTable(const std::string& name, const std::vector<Row>& rows) {
    std::string sql = "create table " + name + "(id int primary key, note varchar(200), body " +
                      Engine::longText() + ", code char(40), tiny varchar(3));";
    for (const Row& r : rows) {
      sql += "insert into " + name + " values(" + std::to_string(r.id);
      for (const auto& v : r.values) sql += ", " + valueSql(v);
      sql += ");";
    }
    return sql;
  }

 private slots:
  void initTestCase() {
    engine = std::make_unique<Engine>();
    QVERIFY2(engine->server.ok(), qPrintable(engine->server.errorText()));
    // A server of an engine the statements are not written for, reached
    // through a real driver: FreeTDS reports the product name the server
    // gives at login.
    testdb::exec(warehouse,
                 "create table stock(id integer primary key, item text);"
                 "insert into stock values(1, 'old.example.com/a');");
    legacy = std::make_unique<TdsStandin>(QString::fromStdString(warehouse));
    QVERIFY2(legacy->port() > 0, qPrintable(legacy->errorText()));
    legacy->setControl(QJsonObject{{"product_name", "Adaptive Server Enterprise"}});
    // Data sources whose names say nothing of their engines, written before
    // the first ODBC call of the process reads them.
    QFile ini(QString::fromLocal8Bit(qgetenv("ODBCINI")));
    QVERIFY(ini.open(QIODevice::WriteOnly));
    ini.write(QStringLiteral("[Accounts]\nDriver=%1\n%5=127.0.0.1\nPort=%2\n\n"
                             "[Warehouse]\nDriver=SQLite3\nDatabase=%3\n\n"
                             "[Legacy]\nDriver=FreeTDS\nServer=127.0.0.1\nPort=%4\n"
                             "TDS_Version=7.4\n")
                  .arg(QString::fromLatin1(Engine::kDriver))
                  .arg(engine->server.port())
                  .arg(QString::fromStdString(warehouse))
                  .arg(legacy->port())
                  .arg(QString::fromLatin1(Engine::kHostKey))
                  .toUtf8());
  }
  void cleanupTestCase() { engine.reset(); }

  void theListHoldsTheUserTablesOfThisDatabaseOnly() {
#ifdef TRELLICK_ENGINE_POSTGRESQL
    const std::string setup =
        "reset role; create schema sales authorization trellick; set role trellick;"
        "create table \"Orders\"(id int primary key, v text);"
        "create table sales.\"Orders\"(id int primary key, v text);"
        "create table zeta(id int);"
        "create view seen as select * from zeta;";
    const QStringList expected{"Orders", "zeta", "Orders"};
    const QStringList schemas{"", "", "sales"};
#else
    const std::string setup =
        "create table `Orders`(id int primary key, v text);"
        "create table zeta(id int);"
        "create view seen as select * from zeta;";
    const QStringList expected{"Orders", "zeta"};
    const QStringList schemas{"", ""};
#endif
    const QString database = newDatabase(setup);
    QVERIFY(!database.isEmpty());
    // Another database's tables are never listed.
    const QString other = newDatabase("create table elsewhere(id int);");
    QVERIFY(!other.isEmpty());
    WindowFixture fx;
    auto& form = openOn(fx, database, "x", "y");
    QVERIFY2(form.LinkConn(), qPrintable(fx.ui.describe()));
    QCOMPARE(items(form.List1), expected);
    QStringList seenSchemas;
    for (int k = 0; k < form.List1->count(); ++k)
      seenSchemas << form.List1->item(k)->data(Qt::UserRole).toString();
    QCOMPARE(seenSchemas, schemas);
  }

  void findAndReplaceAgreeWithIndependentReadings() {
    const std::string big = std::string(60000, 'x') + kFind + std::string(40000, 'y') + kFind;
    QCOMPARE(big.size() > 100000, true);
    const std::vector<Row> orders{
        {1, {"see " + kFind + " now", big, std::string("zz"), std::string("abc")}},
        // The wildcards must match only themselves.
        {2, {"o'k\\x_汉😀 and o'k\\%y汉😀", "o'k%_汉😀", std::nullopt, std::nullopt}},
        {3, {kCaseTrap, std::nullopt, kCaseTrap, std::nullopt}},
        {4, {kFind + kFind, "plain", "a" + kFind, std::nullopt}},
        {5, {std::nullopt, std::nullopt, std::nullopt, std::nullopt}}};
    const std::vector<Row> second{{1, {"x", "in " + kFind, std::nullopt, std::nullopt}},
                                  {2, {"x", "y", std::nullopt, std::nullopt}}};
    std::string setup = ordersTable(Engine::q("Orders"), orders);
    setup += "create table calc(id int primary key, a varchar(100), b " +
             Engine::generated(Engine::concat("a", "'!'")) + ");";
    setup += "insert into calc(id, a) values(1, " + Engine::text("calc " + kFind) + ");";
#ifdef TRELLICK_ENGINE_POSTGRESQL
    setup = "reset role; create schema sales authorization trellick; set role trellick;" + setup +
            ordersTable("sales." + Engine::q("Orders"), second);
    const std::string secondName = "sales." + Engine::q("Orders");
    const QString secondDatabase;
#else
    const std::string secondName = Engine::q("Orders");
    // The same table in another database must be left alone.
    const QString secondDatabase = newDatabase(ordersTable(Engine::q("Orders"), second));
    QVERIFY(!secondDatabase.isEmpty());
#endif
    const QString database = newDatabase(setup);
    QVERIFY(!database.isEmpty());
    const QString secondIn = secondDatabase.isEmpty() ? database : secondDatabase;

    const auto ordersBefore = read(database, Engine::q("Orders"));
    const auto secondBefore = read(secondIn, secondName);
    QCOMPARE(ordersBefore.size(), orders.size());
    QCOMPARE(ordersBefore[0].values[1]->size(), big.size());

    // Expected from the readings: a record counts when a searchable column
    // (note, body, code: tiny is shorter than the text) holds the text.
    auto holds = [](const Row& r) {
      for (size_t c = 0; c < 3; ++c)
        if (r.values[c] && r.values[c]->find(kFind) != std::string::npos) return true;
      return false;
    };
    long long records = 1;  // calc
    for (const Row& r : ordersBefore) records += holds(r);
    const bool secondListed = secondDatabase.isEmpty();
    if (secondListed)
      for (const Row& r : secondBefore) records += holds(r);
    QCOMPARE(records, secondListed ? 4ll : 3ll);

    WindowFixture fx;
    auto& form = openOn(fx, database, kFind, kReplace);
    fx.ui.expectBox();
    form.cmdFind_Click();
    QVERIFY2(form.noRunSQL.isEmpty(), qPrintable(form.noRunSQL));
    QCOMPARE(fx.ui.boxes.value(0).prompt, found(secondListed ? 3 : 2, records));

    fx.ui.expectBox(vbYes);
    fx.ui.expectBox();
    form.Command5_Click();
    QVERIFY2(form.noRunSQL.isEmpty(), qPrintable(form.noRunSQL));
    QVERIFY2(
        fx.ui.boxes.value(2).prompt.contains(
            QStringLiteral("替换：%1 个表, %2 条记录.").arg(secondListed ? 3 : 2).arg(records)),
        qPrintable(fx.ui.describe()));

    auto expected = [](std::vector<Row> rows) {
      for (Row& r : rows)
        for (size_t c = 0; c < 3; ++c)
          if (r.values[c]) r.values[c] = replaceAllText(*r.values[c], kFind, kReplace);
      return rows;
    };
    const auto ordersAfter = read(database, Engine::q("Orders"));
    const auto want = expected(ordersBefore);
    QCOMPARE(ordersAfter.size(), want.size());
    for (size_t k = 0; k < want.size(); ++k)
      for (size_t c = 0; c < 4; ++c)
        QVERIFY2(ordersAfter[k].values[c] == want[k].values[c],
                 qPrintable(QStringLiteral("row %1 column %2").arg(k + 1).arg(c)));
    // Not a character of the 100,000-character value was lost.
    QCOMPARE(ordersAfter[0].values[1]->size(), big.size() + 2 * (kReplace.size() - kFind.size()));
    const auto secondAfter = read(secondIn, secondName);
    const auto secondWant = secondListed ? expected(secondBefore) : secondBefore;
    for (size_t k = 0; k < secondWant.size(); ++k)
      QVERIFY(secondAfter[k].values == secondWant[k].values);
    // The generated column was never assigned; the server computed it
    // again from the replaced source column.
    const auto calc = engine->rows(
        "select " + Engine::hexColumn("a") + ", " + Engine::hexColumn("b") + " from calc",
        database);
    QCOMPARE(fromHex(calc.at(0).at(0)), "calc " + kReplace);
    QCOMPARE(fromHex(calc.at(0).at(1)), "calc " + kReplace + "!");
  }

  // The search opens each table to learn its columns and whether it has a
  // row: the drivers read a whole result before its first row unless told
  // otherwise, which for a large table would fill the memory.
  void aLargeTableIsSearchedWithoutReadingItWhole() {
#ifdef TRELLICK_ENGINE_POSTGRESQL
    const std::string rows = "select g, repeat('x', 300) from generate_series(1, 300000) g";
#else
    const std::string rows = "select seq, repeat('x', 300) from seq_1_to_300000";
#endif
    const QString database = newDatabase(
        "create table big(id int primary key, v varchar(400)); insert into big " + rows + ";");
    QVERIFY(!database.isEmpty());
    WindowFixture fx;
    auto& form = openOn(fx, database, "no such text", "");
    QVERIFY2(form.LinkConn(), qPrintable(fx.ui.describe()));
    auto peakKiB = [] {
      QFile status(QStringLiteral("/proc/self/status"));
      status.open(QIODevice::ReadOnly);
      for (const QByteArray& line : status.readAll().split('\n'))
        if (line.startsWith("VmHWM:"))
          return line.mid(6).trimmed().split(' ').value(0).toLongLong();
      return -1ll;
    };
    // The peak starts again from what is resident now.
    QFile clear(QStringLiteral("/proc/self/clear_refs"));
    QVERIFY(clear.open(QIODevice::WriteOnly) && clear.write("5") == 1);
    clear.close();
    const long long before = peakKiB();
    fx.ui.expectBox();
    form.cmdFind_Click();
    QCOMPARE(fx.ui.boxes.value(0).prompt, QStringLiteral("在所有表中没有找到相关字符"));
    const long long grown = peakKiB() - before;
    // The table holds some 90 MB of text.
    QVERIFY2(grown < 30 * 1024, qPrintable(QStringLiteral("peak grew by %1 KiB").arg(grown)));

    // The journal reads the rows a replace changes without holding them
    // all either: 100,000 rows of some 600 bytes before and after.
    QVERIFY(engine->run("update big set v = concat('m', v) where id <= 100000;", database));
    trellick::db::Connection conn;
    connect(conn, database, 60);
    const trellick::search::StatementBuilder builder(conn.dialect(), {"mx", "nx"}, conn.syntax());
    const auto plan = trellick::journal::makePlan(builder, {"big"}, {{"v", 200, 400}},
                                                  {{"id", 3, 10}, {"v", 200, 400}});
    testdb::Dir dir;
    trellick::journal::Journal journal(dir.file("journal.db"));
    QVERIFY(clear.open(QIODevice::WriteOnly) && clear.write("5") == 1);
    clear.close();
    const long long idle = peakKiB();
    QCOMPARE(trellick::journal::journaledReplace(conn, journal, journal.beginRun({}), plan).changed,
             100000ll);
    const long long journaling = peakKiB() - idle;
    QVERIFY2(journaling < 30 * 1024,
             qPrintable(QStringLiteral("peak grew by %1 KiB").arg(journaling)));
    QCOMPARE(journal.lastRun()->tables.at(0).rows, 100000ll);
  }

  // The column list shows each column's type code and the search takes the
  // text types only, whatever the driver calls them.
  void columnTypesAsTheWindowKnowsThem() {
#ifdef TRELLICK_ENGINE_POSTGRESQL
    const std::string setup =
        "create table kinds(c char(10), v varchar(40), w varchar(300), t text, n int);"
        "insert into kinds values('a', 'b', 'c', 'd', 1);"
        "create table members(id int primary key, e text);";
    const QStringList expected{"c_129", "v_200", "w_200", "t_201", "n_3"};
#else
    const std::string setup =
        "create table kinds(c char(10), v varchar(40), w varchar(300), t text, n int, "
        "tt tinytext, mt mediumtext, lt longtext);"
        "insert into kinds values('a', 'b', 'c', 'd', 1, 'e', 'f', 'g');"
        // Members of ENUM and SET cannot be replaced by arbitrary text.
        "create table members(id int primary key, e enum('x', 'y'), s set('x', 'z'));"
        "insert into members values(1, 'x', 'x');";
    const QStringList expected{"c_129", "v_200",  "w_200",  "t_201",
                               "n_3",   "tt_201", "mt_201", "lt_201"};
#endif
    const QString database = newDatabase(setup);
    QVERIFY(!database.isEmpty());
    WindowFixture fx;
    auto& form = openOn(fx, database, "x", "new");
    QVERIFY2(form.LinkConn(), qPrintable(fx.ui.describe()));
    QCOMPARE(items(form.List1), (QStringList{"kinds", "members"}));
    form.List1->item(0)->setSelected(true);
    form.List1_Click();
    QCOMPARE(items(form.List2), expected);
    fx.ui.expectBox();
    form.cmdFind_Click();
    QCOMPARE(fx.ui.boxes.value(0).prompt, QStringLiteral("在所有表中没有找到相关字符"));
    QVERIFY2(form.noRunSQL.isEmpty(), qPrintable(form.noRunSQL));
  }

  // The log button sends the engine's own maintenance, each statement
  // whatever became of the others, and leaves the data as it was.
  void theLogButtonSendsEachStatementOfTheEngine() {
    const QString database = newDatabase(
        "create table a(id int primary key, v varchar(50)); insert into a values(1, 'x');"
        "create table b(id int primary key, v varchar(50)); insert into b values(1, 'y');");
    QVERIFY(!database.isEmpty());
    WindowFixture fx;
    auto& form = openOn(fx, database, "x", "");
    QStringList sent;
    trellick::db::setStatementObserver(
        [&](const std::string& sql) { sent << QString::fromStdString(sql); });
    fx.ui.expectBox();
    form.cmdSQLlog_Click();
    trellick::db::setStatementObserver({});
#ifdef TRELLICK_ENGINE_POSTGRESQL
    // A role without pg_checkpoint is refused the checkpoint; the vacuum
    // still runs.
    const QStringList expected{"checkpoint", "vacuum"};
#else
    const QStringList expected{"alter table `a` force", "alter table `b` force"};
#endif
    QStringList maintenance;
    for (const QString& statement : sent)
      if (expected.contains(statement)) maintenance << statement;
    QCOMPARE(maintenance, expected);
    QCOMPARE(fx.ui.boxes.value(0).prompt, QStringLiteral("已经清除日志并压缩数据库"));
    QCOMPARE(engine->rows("select v from a union all select v from b", database),
             (std::vector<std::vector<std::string>>{{"x"}, {"y"}}));
  }

  // Killed at any moment, a replace from the command line leaves each table
  // either unchanged (the server rolls back the open transaction) or with
  // its journal entry complete, and undo gives back every value.
  void aReplaceKilledMidwayLeavesJournalAndDatabaseInAgreement() {
    constexpr int kTables = 6, kRows = 4000;
#ifdef TRELLICK_ENGINE_POSTGRESQL
    const std::string numbered = "select g, 'x a.com ' || g from generate_series(1, 4000) g";
    const std::string digest = "select md5(string_agg(v, ',' order by id)) from ";
#else
    const std::string numbered = "select seq, concat('x a.com ', seq) from seq_1_to_4000";
    const std::string digest = "select md5(group_concat(v order by id separator ',')) from ";
#endif
    auto table = [](int k) { return "k" + std::to_string(k); };
    auto replacedRows = [&](const QString& database, int k) {
      return std::stoi(
          engine->rows("select count(*) from " + table(k) + " where v like '%b.org%'", database)
              .at(0)
              .at(0));
    };
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("TRELLICK_TEST_PW"), engine->server.password());
    auto cli = [&](const QStringList& args) {
      QProcess p;
      p.setProcessEnvironment(env);
      p.start(QStringLiteral(TRELLICK_CLI), args);
      return p.waitForFinished(120000) ? p.exitCode() : -1;
    };
    int midway = 0;
    for (int delayMs : {100, 180, 260, 400}) {
      std::string setup;
      for (int k = 0; k < kTables; ++k)
        setup += "create table " + table(k) + "(id int primary key, v varchar(100)); insert into " +
                 table(k) + " " + numbered + ";";
      const QString database = newDatabase(setup);
      QVERIFY(!database.isEmpty());
      std::vector<std::vector<std::vector<std::string>>> before;
      for (int k = 0; k < kTables; ++k) before.push_back(engine->rows(digest + table(k), database));

      testdb::Dir dir;
      const QString journal = QString::fromStdString(dir.file("journal.db"));
      const QStringList connection{"--server",       engine->server.serverField(),
                                   "--database",     database,
                                   "--user",         engine->server.user(),
                                   "--password-env", QStringLiteral("TRELLICK_TEST_PW"),
                                   "--journal",      journal,
                                   "--timeout",      QStringLiteral("60")};
      QProcess p;
      p.setProcessEnvironment(env);
      p.start(
          QStringLiteral(TRELLICK_CLI),
          QStringList{"replace", "--find", "a.com", "--replace", "b.org", "--yes"} + connection);
      QVERIFY(p.waitForStarted(5000));
      QTest::qWait(delayMs);
      // A run already ended is no kill midway.
      testdb::signalChild(p, SIGKILL);
      p.waitForFinished(30000);

      int replaced = 0;
      for (int k = 0; k < kTables; ++k) {
        const int rows = replacedRows(database, k);
        QVERIFY2(rows == 0 || rows == kRows,
                 qPrintable(QStringLiteral("%1 after %2 ms: %3 rows replaced")
                                .arg(QString::fromStdString(table(k)))
                                .arg(delayMs)
                                .arg(rows)));
        replaced += rows == kRows;
      }
      midway += replaced > 0 && replaced < kTables;
      // A table the server shows replaced is complete in the journal.
      trellick::journal::Journal entries(journal.toStdString());
      const auto run = entries.lastRun();
      for (int k = 0; k < kTables && run; ++k) {
        if (replacedRows(database, k) != kRows) continue;
        bool complete = false;
        for (const auto& t : run->tables)
          complete |= t.table.name == table(k) && t.rows == kRows &&
                      t.state != trellick::journal::TableState::Journaling;
        QVERIFY2(complete, table(k).c_str());
      }
      // Killed before its first table was sealed, the run changed nothing
      // and there is nothing to undo.
      if (run && run->rowsChanged() > 0)
        QCOMPARE(cli(QStringList{"undo", "--yes"} + connection), 0);
      for (int k = 0; k < kTables; ++k)
        QVERIFY2(engine->rows(digest + table(k), database) == before[size_t(k)],
                 qPrintable(QStringLiteral("%1 after %2 ms")
                                .arg(QString::fromStdString(table(k)))
                                .arg(delayMs)));
    }
    QVERIFY(midway > 0);
  }

  // The record-wise path writes the row it read, named by its primary key.
  void recordWiseReplaceNamesTheRowByItsKey() {
    const QString database = newDatabase(
        "create table rec(n int, id int primary key, t varchar(50), u varchar(50));"
        "insert into rec values(7, 1, 'abcab', 'keep');"
        "insert into rec values(8, 2, 'abcab', 'keep');");
    QVERIFY(!database.isEmpty());
    WindowFixture fx;
    auto& form = openOn(fx, database, "b", "");
    QVERIFY2(form.LinkConn(), qPrintable(fx.ui.describe()));
    form.List1->item(0)->setSelected(true);
    for (int k = 0; k < 4 + 2 * 2; ++k) fx.ui.expectBox();
    form.Command2_Click();
    QCOMPARE(fx.ui.boxes.size(), 8);
    QCOMPARE(engine->rows("select n, id, t, u from rec order by id", database),
             (std::vector<std::vector<std::string>>{{"7", "1", "aca", "keep"},
                                                    {"8", "2", "abcab", "keep"}}));
  }

  void dataSourcesAreKnownByTheirDriverNotTheirName() {
    const QString database = newDatabase(
        "create table notes(id int primary key, v varchar(50));"
        "insert into notes values(1, 'old.example.com'), (2, 'none');");
    QVERIFY(!database.isEmpty());
    {
      WindowFixture fx;
      auto& form = openOn(fx, database, "old.example.com", "");
      form.txtServerName->setText(QStringLiteral("dsn:Accounts"));
      QVERIFY2(form.LinkConn(), qPrintable(fx.ui.describe()));
      QCOMPARE(int(form.conn->dialect()), int(Engine::kDialect));
      QCOMPARE(items(form.List1), QStringList{"notes"});
      fx.ui.expectBox();
      form.cmdFind_Click();
      QCOMPARE(fx.ui.boxes.value(0).prompt, found(1, 1));
    }
    {
      WindowFixture fx;
      // The database field names the file, as it does for the sqlite form.
      auto& form = openOn(fx, QString::fromStdString(warehouse), "old.example.com", "");
      form.txtServerName->setText(QStringLiteral("dsn:Warehouse"));
      QVERIFY2(form.LinkConn(), qPrintable(fx.ui.describe()));
      QCOMPARE(int(form.conn->dialect()), int(trellick::Dialect::SQLite));
      QCOMPARE(items(form.List1), QStringList{"stock"});
    }
    {
      WindowFixture fx;
      auto& form = openOn(fx, QStringLiteral("shop"), "old.example.com", "");
      form.txtServerName->setText(QStringLiteral("dsn:Legacy"));
      fx.ui.expectBox();
      QVERIFY(!form.LinkConn());
      const RecordedBox box = fx.ui.boxes.value(0);
      QCOMPARE(box.style, 16);
      QVERIFY2(box.prompt.contains(QStringLiteral("不支持的数据库：Adaptive Server Enterprise")),
               qPrintable(box.prompt));
      QVERIFY2(box.prompt.contains(QStringLiteral("SQL Server、SQLite、PostgreSQL、MariaDB/MySQL")),
               qPrintable(box.prompt));
      QCOMPARE(form.List1->count(), 0);
      // It logged in, and was sent nothing after.
      QStringList kinds;
      for (const QJsonObject& entry : legacy->log()) kinds << entry["type"].toString();
      QCOMPARE(kinds, QStringList{"login"});
    }
  }

  void aRefusedUpdateIsToldWithItsStatement() {
    const QString database = newDatabase(
        "create table guarded(id int primary key, v varchar(50));"
        "insert into guarded values(1, 'a.com');"
        "create table open_one(id int primary key, v varchar(50));"
        "insert into open_one values(1, 'a.com');" +
        Engine::refusingTrigger("guarded"));
    QVERIFY(!database.isEmpty());
    WindowFixture fx;
    auto& form = openOn(fx, database, "a.com", "b.org");
    fx.ui.expectBox(vbYes);
    fx.ui.expectBox();
    form.Command5_Click();
    QCOMPARE(engine->rows("select v from guarded", database).at(0).at(0), std::string("a.com"));
    QCOMPARE(engine->rows("select v from open_one", database).at(0).at(0), std::string("b.org"));
    QCOMPARE(fx.ui.boxes.value(1).style, 48);
    const QString sql = form.Text2->toPlainText();
    QVERIFY2(sql.startsWith(QStringLiteral("-- guarded: ")), qPrintable(sql));
    QVERIFY2(sql.contains(QStringLiteral("updates of this table are refused")), qPrintable(sql));
    const QString q = QString::fromStdString(Engine::q("v"));
    QVERIFY2(sql.contains(QStringLiteral("Update %1 set %2=Replace(%2,'a.com','b.org') where ")
                              .arg(QString::fromStdString(Engine::q("guarded")), q)),
             qPrintable(sql));
  }

  void aStatementPastTheTimeOutFailsAndTheConnectionGoesOn() {
    const QString database = newDatabase(
        "create table a_first(id int primary key, v varchar(50));"
        "insert into a_first values(1, 'a.com');"
        "create table slow(id int primary key, v varchar(50));"
        "insert into slow values(1, 'a.com');"
        "create table z_last(id int primary key, v varchar(50));"
        "insert into z_last values(1, 'a.com');" +
        Engine::sleepingTrigger("slow"));
    QVERIFY(!database.isEmpty());

    // The layer itself: a sleeping statement ends at the time-out, and the
    // same connection answers the next one.
    {
      trellick::db::Connection c;
      c.SetCommandTimeout(10);
      c.Open(trellick::db::makeTarget(
          {engine->server.serverField().toStdString(), engine->server.user().toStdString(),
           engine->server.password().toStdString(), database.toStdString()},
          trellick::db::installedDrivers(), 10));
      QElapsedTimer t;
      t.start();
      bool failed = false;
      try {
        auto rs = c.Execute(Engine::sleepStatement());
      } catch (const trellick::db::DbError&) {
        failed = true;
      }
      QVERIFY2(failed, "a statement cut short by the time-out must fail");
      QVERIFY2(t.elapsed() >= 9000 && t.elapsed() < 15000, QByteArray::number(t.elapsed()));
      QCOMPARE(c.Execute("select 1")->Fields().Item(0).Value().toInt64(), 1ll);
    }

    WindowFixture fx;
    auto& form = openOn(fx, database, "a.com", "b.org");
    QElapsedTimer timer;
    timer.start();
    fx.ui.expectBox(vbYes);
    fx.ui.expectBox();
    form.Command5_Click();
    QVERIFY2(timer.elapsed() < 25000, QByteArray::number(timer.elapsed()));
    QCOMPARE(engine->rows("select v from a_first", database).at(0).at(0), std::string("b.org"));
    QCOMPARE(engine->rows("select v from slow", database).at(0).at(0), std::string("a.com"));
    QCOMPARE(engine->rows("select v from z_last", database).at(0).at(0), std::string("b.org"));
    QVERIFY2(form.Text2->toPlainText().startsWith(QStringLiteral("-- slow: ")),
             qPrintable(form.Text2->toPlainText()));
    QVERIFY2(
        fx.ui.boxes.value(1).prompt.endsWith(QStringLiteral("其中 1 个表替换失败，详见SQL窗口。")),
        qPrintable(fx.ui.describe()));
  }
};

int main(int argc, char** argv) {
  // unixODBC reads the user's data sources from here; the file is written
  // once the servers' ports are known.
  QTemporaryDir odbc;
  qputenv("ODBCINI", odbc.filePath(QStringLiteral("odbc.ini")).toLocal8Bit());
  QApplication app(argc, argv);
  TestEngines test;
  return QTest::qExec(&test, argc, argv);
}
#include "test_engines.moc"
