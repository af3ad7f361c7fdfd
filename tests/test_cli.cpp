// trellick-cli run as a process, as an operator or a script runs it: on
// real SQLite files read back directly, and against the SQL Server stand-in
// through the real FreeTDS driver. Exit codes, JSON lines, passwords, the
// refusal to write unasked, and Ctrl-C.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryDir>
#include <QtTest>
#include <functional>
#include <string>
#include <vector>

#include "cli_run.h"
#include "tds_standin.h"
#include "testdb.h"

namespace {

const char* const kTables =
    "create table articles(id integer primary key, title varchar(100), body text);"
    "insert into articles values(1, 'see old.example.com', 'body old.example.com'),"
    "  (2, 'nothing', 'here'), (3, null, 'old.example.com/x');"
    "create table numbers(id integer primary key, n integer, r real);"
    "insert into numbers values(1, 5, 1.5);"
    "create table notes(id integer primary key, note text, tag char(8));"
    "insert into notes values(1, 'plain note', '-x');"
    "create table guarded(id integer primary key, v varchar(50));"
    "insert into guarded values(1, 'old.example.com'), (2, 'old.example.com too');"
    "create trigger guard before update on guarded begin "
    "  select raise(abort, 'guarded rows stay'); end;"
    "create table blank(t text);"
    "create table links(id integer primary key, url text);"
    "insert into links values(1, 'http://old.example.com/'), (2, 'http://other/');";

QStringList sqliteArgs(const QString& command, const std::string& path) {
  return {command, "--server", "sqlite", "--database", QString::fromStdString(path)};
}

std::string scalar(const std::string& path, const std::string& sql) {
  return testdb::query(path, sql).at(0).at(0);
}

QJsonObject byTable(const QList<QJsonObject>& lines, const QString& table) {
  for (const auto& o : lines)
    if (o["type"] == "table" && o["table"] == table) return o;
  return {};
}

// Reads standard output line by line until `until` says so or the
// process ends.
void readLines(QProcess& p, QList<QJsonObject>& seen,
               const std::function<bool(const QJsonObject&)>& until, int ms = 30000) {
  QElapsedTimer timer;
  timer.start();
  while (timer.elapsed() < ms) {
    while (p.canReadLine()) {
      const QJsonObject o = QJsonDocument::fromJson(p.readLine()).object();
      seen.append(o);
      if (until(o)) return;
    }
    if (p.state() == QProcess::NotRunning) return;
    p.waitForReadyRead(100);
  }
}

// A terminal for the child's standard input and error: what it shows, and
// keys typed on it.
class Terminal {
 public:
  Terminal() {
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY);
    if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0) return;
    slave_ = ::open(::ptsname(master_), O_RDWR | O_NOCTTY);
  }
  ~Terminal() {
    if (slave_ >= 0) ::close(slave_);
    if (master_ >= 0) ::close(master_);
  }
  bool ok() const { return master_ >= 0 && slave_ >= 0; }
  // Gives the child the terminal as standard input and error.
  void attach(QProcess& p) {
    const int slave = slave_;
    p.setChildProcessModifier([slave] {
      ::dup2(slave, STDIN_FILENO);
      ::dup2(slave, STDERR_FILENO);
    });
  }
  // What the terminal showed, until `text` appears or ms pass.
  QByteArray readUntil(const QByteArray& text, int ms = 20000) {
    QElapsedTimer timer;
    timer.start();
    while (!shown_.contains(text) && timer.elapsed() < ms) {
      pollfd fd{master_, POLLIN, 0};
      if (::poll(&fd, 1, 50) > 0 && (fd.revents & POLLIN)) {
        char buf[4096];
        const ssize_t n = ::read(master_, buf, sizeof buf);
        if (n > 0) shown_.append(buf, static_cast<qsizetype>(n));
      }
    }
    return shown_;
  }
  void type(const QByteArray& keys) {
    QCOMPARE(::write(master_, keys.data(), keys.size()), keys.size());
  }

 private:
  int master_ = -1;
  int slave_ = -1;
  QByteArray shown_;
};

}  // namespace

class TestCli : public QObject {
  Q_OBJECT

 private slots:
  // Replaces keep their journal under the data directory: a private one.
  void initTestCase() {
    static QTemporaryDir data;
    qputenv("XDG_DATA_HOME", data.path().toLocal8Bit());
  }

  void findReportsEveryTableAsJson() {
    testdb::Dir dir;
    const std::string path = dir.file("data.db");
    testdb::exec(path, kTables);
    const Run r = cli(sqliteArgs("find", path) << "--find"
                                               << "old.example.com"
                                               << "--json");
    QVERIFY2(r.exitCode == 0, qPrintable(r.describe()));
    const auto lines = r.lines();
    QCOMPARE(lines.size(), 7);
    QStringList order;
    for (int k = 0; k < 6; ++k) {
      QCOMPARE(lines[k]["type"].toString(), QStringLiteral("table"));
      QCOMPARE(lines[k]["index"].toInt(), k);
      order << lines[k]["table"].toString();
    }
    QCOMPARE(order, (QStringList{"articles", "numbers", "notes", "guarded", "blank", "links"}));
    const auto articles = byTable(lines, "articles");
    QCOMPARE(articles["status"].toString(), QStringLiteral("found"));
    QCOMPARE(articles["records"].toInteger(),
             std::stoll(scalar(path,
                               "select count(*) from articles where instr(title, "
                               "'old.example.com') or instr(body, 'old.example.com')")));
    QCOMPARE(articles["columns"].toArray(), (QJsonArray{"title", "body"}));
    QVERIFY(articles["update_statement"].isNull());
    QCOMPARE(byTable(lines, "numbers")["status"].toString(),
             QStringLiteral("no_searchable_column"));
    QCOMPARE(byTable(lines, "notes")["status"].toString(), QStringLiteral("not_found"));
    QCOMPARE(byTable(lines, "blank")["has_rows"].toBool(), false);
    QCOMPARE(byTable(lines, "guarded")["records"].toInt(), 2);
    const QJsonObject summary = lines.last();
    QCOMPARE(summary["type"].toString(), QStringLiteral("summary"));
    QCOMPARE(summary["command"].toString(), QStringLiteral("find"));
    QCOMPARE(summary["tables"].toInt(), 6);
    QCOMPARE(summary["found"].toInt(), 3);
    QCOMPARE(summary["records"].toInt(), 5);
    QCOMPARE(summary["failed"].toInt(), 0);
    QCOMPARE(summary["exit"].toInt(), 0);
    QVERIFY(r.err.isEmpty());  // no terminal: no progress line

    // The same run on two connections: the same lines, in the same order.
    const Run two = cli(sqliteArgs("find", path) << "--find"
                                                 << "old.example.com"
                                                 << "--json"
                                                 << "--jobs"
                                                 << "2");
    QCOMPARE(two.exitCode, 0);
    QCOMPARE(two.out, r.out);
  }

  void replaceWritesAndPrintsWhatFailedReadyToRun() {
    testdb::Dir dir;
    const std::string path = dir.file("data.db");
    testdb::exec(path, kTables);
    const Run r = cli(sqliteArgs("replace", path) << "--find"
                                                  << "old.example.com"
                                                  << "--replace"
                                                  << "new.example.org"
                                                  << "--yes");
    // One table failed: not everything ran.
    QVERIFY2(r.exitCode == 1, qPrintable(r.describe()));
    QCOMPARE(testdb::query(path, "select title, body from articles order by id"),
             (std::vector<std::vector<std::string>>{{"see new.example.org", "body new.example.org"},
                                                    {"nothing", "here"},
                                                    {"<NULL>", "new.example.org/x"}}));
    QCOMPARE(scalar(path, "select group_concat(url, ' ') from links"),
             std::string("http://new.example.org/ http://other/"));
    QCOMPARE(scalar(path, "select count(*) from guarded where instr(v, 'old.example.com')"),
             std::string("2"));
    const QString out = QString::fromUtf8(r.out);
    QVERIFY2(out.contains(QRegularExpression("\\narticles +replaced +2  title, body\\n")),
             qPrintable(out));
    QVERIFY2(out.contains(QRegularExpression("\\nguarded +failed +- +v\\n")), qPrintable(out));
    QVERIFY(out.contains("replace: replaced in 2 of 6 tables, 3 records; 1 failed."));
    // The failed statement, as printed, mends the table once the trigger
    // is gone.
    const qsizetype at = out.indexOf("-- guarded: HY000 [SQLite]guarded rows stay (19)\n");
    QVERIFY2(at > 0, qPrintable(out));
    const QString statement = out.mid(at).section('\n', 1, 1);
    QVERIFY(statement.startsWith("Update [guarded] set "));
    testdb::exec(path, "drop trigger guard;" + statement.toStdString());
    QCOMPARE(scalar(path, "select group_concat(v, '|') from guarded"),
             std::string("new.example.org|new.example.org too"));
    QCOMPARE(r.err, QString());
  }

  void tablesAreChosenByPatternsAndTextsTakenAsGiven() {
    testdb::Dir dir;
    const std::string path = dir.file("data.db");
    testdb::exec(path, kTables);
    // Comma-separated and repeated; skipping wins over choosing.
    Run r = cli(sqliteArgs("find", path) << "--find"
                                         << "-x"
                                         << "--json"
                                         << "--tables"
                                         << "n*,links"
                                         << "--tables=gu?rded"
                                         << "--skip-tables"
                                         << "numbers");
    QVERIFY2(r.exitCode == 0, qPrintable(r.describe()));
    auto lines = r.lines();
    QStringList names;
    for (const auto& o : lines)
      if (o["type"] == "table") names << o["table"].toString();
    QCOMPARE(names, (QStringList{"notes", "guarded", "links"}));
    QCOMPARE(byTable(lines, "notes")["records"].toInt(), 1);  // "-x" is the text
    r = cli(sqliteArgs("find", path) << "--find=-x"
                                     << "--json"
                                     << "--tables"
                                     << "notes");
    QCOMPARE(r.lines().value(0)["records"].toInt(), 1);
    // A pattern that matches nothing is said, and changes nothing else.
    r = cli(sqliteArgs("tables", path) << "--tables"
                                       << "nope*,links");
    QCOMPARE(r.exitCode, 0);
    QCOMPARE(r.out, QByteArray("links\n"));
    QVERIFY(r.err.contains("no table matches \"nope*\""));
  }

  void badUsageAndFailedConnectionsExitWithTwo() {
    testdb::Dir dir;
    const std::string path = dir.file("data.db");
    testdb::exec(path, kTables);
    const auto before = testdb::query(path, "select * from articles");
    struct Case {
      QStringList args;
      QString message;
    };
    const QList<Case> cases{
        {{}, "no command given"},
        {sqliteArgs("find", path), "--find TEXT is required"},
        {sqliteArgs("replace", path) << "--find"
                                     << "x"
                                     << "--yes",
         "needs --replace"},
        {sqliteArgs("find", path) << "--find"
                                  << "x"
                                  << "--password"
                                  << "pw",
         "never taken as an argument"},
        {sqliteArgs("replace", path) << "--find"
                                     << "x"
                                     << "--replace"
                                     << "y"
                                     << "--jobs"
                                     << "2",
         "--jobs works for find only"},
        {sqliteArgs("find", path) << "--find"
                                  << "x"
                                  << "--jobs"
                                  << "0",
         "--jobs takes"},
        {sqliteArgs("wipe", path), "unknown command"},
        {sqliteArgs("find", path) << "--find", "--find needs a value"},
        {{"find", "--database", "x.db", "--find", "x"}, "--server is required"},
        {sqliteArgs("find", dir.file("missing.db")) << "--find"
                                                    << "x",
         "cannot connect"},
        {sqliteArgs("find", path) << "--find"
                                  << "x"
                                  << "--password-env"
                                  << "TRELLICK_UNSET_VAR",
         "TRELLICK_UNSET_VAR is not set"},
    };
    for (const Case& c : cases) {
      const Run r = cli(c.args);
      QVERIFY2(r.exitCode == 2, qPrintable(c.args.join(' ') + "\n" + r.describe()));
      QVERIFY2(r.err.contains(c.message), qPrintable(r.describe()));
      QVERIFY(r.out.isEmpty());
    }
    // Standard input is no terminal here: a replace without --yes is
    // refused before anything is written.
    const Run refused = cli(sqliteArgs("replace", path) << "--find"
                                                        << "old.example.com"
                                                        << "--replace"
                                                        << "new",
                            "y\n");
    QCOMPARE(refused.exitCode, 2);
    QVERIFY(refused.err.contains("add --yes"));
    QCOMPARE(testdb::query(path, "select * from articles"), before);
    // Help and everything ran: 0.
    QCOMPARE(cli({"--help"}).exitCode, 0);
    QVERIFY(cli({"--help"}).out.contains("replace always runs one table at a time"));
  }

  void tablesAndShrink() {
    testdb::Dir dir;
    const std::string path = dir.file("data.db");
    testdb::exec(path,
                 std::string(kTables) +
                     "create virtual table docs using fts5(body);"
                     "insert into docs values('old.example.com');"
                     "create table filler(v text);"
                     "with recursive n(i) as (select 1 union all select i + 1 from n where i < "
                     "3000) insert into filler select printf('%.200c', 'x') from n;"
                     "delete from filler;");
    Run r = cli(sqliteArgs("tables", path) << "--json");
    QCOMPARE(r.exitCode, 0);
    QStringList names;
    for (const auto& o : r.lines()) names << o["table"].toString();
    // The index tables behind the virtual table are not user tables.
    QCOMPARE(names, (QStringList{"articles", "numbers", "notes", "guarded", "blank", "links",
                                 "docs", "filler"}));
    const qint64 sizeBefore = QFileInfo(QString::fromStdString(path)).size();
    r = cli(sqliteArgs("shrink", path) << "--json");
    QVERIFY2(r.exitCode == 0, qPrintable(r.describe()));
    const auto lines = r.lines();
    QCOMPARE(lines.size(), 4);
    QCOMPARE(lines[1]["statement"].toString(), QStringLiteral("vacuum"));
    for (int k = 0; k < 3; ++k) QVERIFY(lines[k]["ok"].toBool());
    QCOMPARE(lines[3]["failed"].toInt(), 0);
    QVERIFY(QFileInfo(QString::fromStdString(path)).size() < sizeBefore);
  }

  void passwordsReachTheServerFromTheEnvironmentAndStandardInput() {
    testdb::Dir dir;
    const std::string main = dir.file("main.db");
    testdb::exec(main,
                 "create table Orders(id int primary key, note nvarchar(200));"
                 "insert into Orders values(1, 'see a.com'), (2, 'none');");
    TdsStandin server(QString::fromStdString(main));
    QVERIFY2(server.port() > 0, qPrintable(server.errorText()));
    const QStringList args{
        "find",  "--server", server.serverField(), "--database", "shop", "--user", "sa", "--find",
        "a.com", "--json"};
    auto env = QProcessEnvironment::systemEnvironment();
    env.insert("TRELLICK_TEST_PW", QStringLiteral("s3cr;et} 密"));
    Run r = cli(QStringList(args) << "--password-env"
                                  << "TRELLICK_TEST_PW",
                {}, env);
    QVERIFY2(r.exitCode == 0, qPrintable(r.describe()));
    QCOMPARE(byTable(r.lines(), "Orders")["records"].toInt(), 1);
    r = cli(QStringList(args) << "--password-stdin", "from stdin\n");
    QVERIFY2(r.exitCode == 0, qPrintable(r.describe()));
    QStringList passwords;
    for (const auto& e : server.log())
      if (e["type"] == "login") passwords << e["password"].toString();
    QCOMPARE(passwords, (QStringList{QStringLiteral("s3cr;et} 密"), "from stdin"}));
  }

  void onATerminalItAsksAndShowsProgress() {
    testdb::Dir dir;
    const std::string path = dir.file("data.db");
    testdb::exec(path, kTables);
    const auto before = testdb::query(path, "select * from links");
    const QStringList replace = sqliteArgs("replace", path) << "--find"
                                                            << "old.example.com"
                                                            << "--replace"
                                                            << "new";
    {
      // Answering no changes nothing.
      Terminal tty;
      QVERIFY(tty.ok());
      QProcess p;
      tty.attach(p);
      p.start(QStringLiteral(TRELLICK_CLI), replace);
      QVERIFY(p.waitForStarted(5000));
      QVERIFY(tty.readUntil("[y/N] ").contains("in 6 tables of "));
      tty.type("n\n");
      QVERIFY(p.waitForFinished(20000));
      QCOMPARE(p.exitCode(), 1);
      QVERIFY(tty.readUntil("Nothing was changed.").contains("Nothing was changed."));
      QCOMPARE(testdb::query(path, "select * from links"), before);
    }
    {
      // Yes replaces, with the progress line on the terminal only.
      Terminal tty;
      QProcess p;
      tty.attach(p);
      p.start(QStringLiteral(TRELLICK_CLI), replace);
      QVERIFY(p.waitForStarted(5000));
      tty.readUntil("[y/N] ");
      tty.type("y\n");
      QVERIFY(p.waitForFinished(20000));
      QCOMPARE(p.exitCode(), 1);  // the guarded table
      const QByteArray shown = tty.readUntil("\x1b[K", 2000);
      QVERIFY2(shown.contains("\r\x1b[K[") && shown.contains("] 6/6"), shown.constData());
      const QByteArray out = p.readAllStandardOutput();
      QVERIFY(!out.contains('\x1b'));
      QVERIFY(out.contains("replaced in 2 of 6 tables"));
      QCOMPARE(scalar(path, "select count(*) from links where instr(url, 'new')"),
               std::string("1"));
    }
  }

  void thePasswordIsAskedWithoutEcho() {
    testdb::Dir dir;
    const std::string main = dir.file("main.db");
    testdb::exec(main,
                 "create table Orders(id int primary key, note nvarchar(200));"
                 "insert into Orders values(1, 'see a.com');");
    TdsStandin server(QString::fromStdString(main));
    QVERIFY2(server.port() > 0, qPrintable(server.errorText()));
    Terminal tty;
    QVERIFY(tty.ok());
    QProcess p;
    tty.attach(p);
    p.start(QStringLiteral(TRELLICK_CLI), {"find", "--server", server.serverField(), "--database",
                                           "shop", "--user", "sa", "--find", "a.com", "--json"});
    QVERIFY(p.waitForStarted(5000));
    QVERIFY(tty.readUntil("Password for sa@").contains("Password for sa@127.0.0.1,"));
    tty.readUntil(": ");
    tty.type("typed secret\n");
    QVERIFY(p.waitForFinished(20000));
    QCOMPARE(p.exitCode(), 0);
    QVERIFY(!tty.readUntil("typed", 500).contains("typed secret"));
    QStringList passwords;
    for (const auto& e : server.log())
      if (e["type"] == "login") passwords << e["password"].toString();
    QCOMPARE(passwords, QStringList{"typed secret"});
  }

  void ctrlCStopsBetweenTablesAndNamesTheDoneOnes() {
    testdb::Dir dir;
    const std::string path = dir.file("many.db");
    // Every table takes a while to replace (its trigger reads a table for
    // each row), so that the Ctrl-C lands while tables are left.
    std::string sql =
        "create table weight(w text); with recursive n(i) as (select 1 union all select i + 1 "
        "from n where i < 5000) insert into weight select printf('%.20c', 'w') from n;";
    const int tables = 30;
    for (int t = 0; t < tables; ++t) {
      const std::string name = "t" + std::to_string(t);
      sql += "create table " + name +
             "(v text); with recursive n(i) as (select 1 union all select i + 1 from n where i "
             "< 400) insert into " +
             name + " select 'row ' || i || ' old.example.com' from n; create trigger slow_" +
             name + " before update on " + name + " begin select sum(length(w)) from weight; end;";
    }
    testdb::exec(path, sql);
    QProcess p;
    QStringList args = sqliteArgs("replace", path);
    args << "--find"
         << "old.example.com"
         << "--replace"
         << "new.example.org"
         << "--yes"
         << "--json"
         << "--skip-tables"
         << "weight";
    p.start(QStringLiteral(TRELLICK_CLI), args);
    QVERIFY(p.waitForStarted(5000));
    QList<QJsonObject> seen;
    // Ctrl-C once the first table is reported.
    readLines(p, seen, [](const QJsonObject& o) { return o["type"] == "table"; });
    QVERIFY(!seen.isEmpty());
    QVERIFY(testdb::signalChild(p, SIGINT));
    QVERIFY(p.waitForFinished(30000));
    QCOMPARE(p.exitStatus(), QProcess::NormalExit);
    QCOMPARE(p.exitCode(), 1);
    readLines(p, seen, [](const QJsonObject&) { return false; });
    const QString err = QString::fromUtf8(p.readAllStandardError());
    const QJsonObject summary = seen.last();
    QCOMPARE(summary["type"].toString(), QStringLiteral("summary"));
    QVERIFY(summary["stopped"].toBool());
    const int run = summary["run"].toInt();
    QVERIFY2(run >= 1 && run < tables, qPrintable(QString::number(run)));
    QCOMPARE(summary["not_run"].toInt(), tables - run);
    QStringList done;
    for (const auto& d : summary["done"].toArray()) done << d.toString();
    QCOMPARE(done.size(), run);
    QVERIFY2(err.contains("Stopped by Ctrl-C after " + QString::number(run) + " of 30 tables. " +
                          "Done (each as its row says): " + done.join(", ") + "."),
             qPrintable(err));
    // Every table wholly replaced or untouched, and replaced exactly when
    // it was named done.
    for (int t = 0; t < tables; ++t) {
      const std::string name = "t" + std::to_string(t);
      const std::string replaced =
          scalar(path, "select count(*) from " + name + " where instr(v, 'new.example.org')");
      const bool isDone = done.contains(QString::fromStdString(name));
      QCOMPARE(replaced, std::string(isDone ? "400" : "0"));
    }
  }

  // Killed when a table's update has run but before it commits, a replace
  // leaves that table as it was (the server rolls the session's transaction
  // back), the tables before it complete in the journal; undo gives back
  // every value.
  void aReplaceKilledBeforeACommitLeavesThatTableUnchanged() {
    testdb::Dir dir;
    const std::string main = dir.file("shop.db");
    testdb::exec(main,
                 "create table A(id int primary key, v nvarchar(50)); insert into A values(1, "
                 "'a.com'), (2, 'x a.com');"
                 "create table Slow(id int primary key, v nvarchar(50)); insert into Slow "
                 "values(1, 'a.com');"
                 "create table Z(id int primary key, v nvarchar(50)); insert into Z values(1, "
                 "'a.com');");
    const auto before = scalar(main,
                               "select group_concat(v, '|') from (select v from A union "
                               "all select v from Slow union all select v from Z)");
    TdsStandin server(QString::fromStdString(main));
    QVERIFY2(server.port() > 0, qPrintable(server.errorText()));
    server.setControl(QJsonObject{{"held", QJsonObject{{"Update [Slow]", 60.0}}}});
    const QString journal = dir.path() + "/journal.db";
    const QStringList connection{
        "--server", server.serverField(), "--database", "shop",      "--user",
        "sa",       "--password-env",     "PW",         "--journal", journal};
    QProcess p;
    auto env = QProcessEnvironment::systemEnvironment();
    env.insert("PW", "pw");
    p.setProcessEnvironment(env);
    p.start(QStringLiteral(TRELLICK_CLI),
            QStringList{"replace", "--find", "a.com", "--replace", "b.org", "--yes"} + connection);
    QVERIFY(p.waitForStarted(5000));
    // Slow's update has run when its request is in the log and the reply
    // is held.
    auto updated = [&] {
      for (const auto& e : server.log())
        if (e["params"].toArray().at(0).toString().startsWith("Update [Slow]") ||
            e["text"].toString().startsWith("Update [Slow]"))
          return true;
      return false;
    };
    QTRY_VERIFY_WITH_TIMEOUT(updated(), 20000);
    QTest::qWait(300);
    QVERIFY(testdb::signalChild(p, SIGKILL));
    QVERIFY(p.waitForFinished(5000));
    auto rolledBack = [&] {
      for (const auto& e : server.log())
        if (e["op"].toString() == "rollback" && e["cause"].toString() == "disconnect") return true;
      return false;
    };
    QTRY_VERIFY_WITH_TIMEOUT(rolledBack(), 10000);
    QCOMPARE(scalar(main, "select group_concat(v, '|') from A"), std::string("b.org|x b.org"));
    QCOMPARE(scalar(main, "select v from Slow"), std::string("a.com"));
    QCOMPARE(scalar(main, "select v from Z"), std::string("a.com"));

    // A is complete in the journal; Slow was sealed but never committed.
    const Run runs = cli({"runs", "--json", "--journal", journal});
    const QJsonArray tables = runs.lines().value(0)["tables"].toArray();
    QCOMPARE(tables.size(), 2);
    QCOMPARE(tables[0].toObject()["rows"].toInt(), 2);
    QCOMPARE(tables[0].toObject()["state"].toString(), QStringLiteral("done"));
    QCOMPARE(tables[1].toObject()["state"].toString(), QStringLiteral("journaled"));
    server.setControl(QJsonObject{});
    const Run undone = cli(QStringList{"undo", "--yes"} + connection, {}, env);
    QVERIFY2(undone.exitCode == 0, qPrintable(undone.describe()));
    QCOMPARE(scalar(main,
                    "select group_concat(v, '|') from (select v from A union all select v "
                    "from Slow union all select v from Z)"),
             before);
  }

  void secondCtrlCCancelsTheStatementUnderWay() {
    testdb::Dir dir;
    const std::string main = dir.file("main.db");
    testdb::exec(main,
                 "create table A(id int primary key, v nvarchar(50)); insert into A values(1, "
                 "'a.com');"
                 "create table Slow(id int primary key, v nvarchar(50)); insert into Slow "
                 "values(1, 'a.com');"
                 "create table Z(id int primary key, v nvarchar(50)); insert into Z values(1, "
                 "'a.com');");
    TdsStandin server(QString::fromStdString(main));
    QVERIFY2(server.port() > 0, qPrintable(server.errorText()));
    // Slow's statements take longer than the whole test may.
    server.setControl(QJsonObject{{"delays", QJsonObject{{"Slow", 60.0}}}});
    QProcess p;
    auto env = QProcessEnvironment::systemEnvironment();
    env.insert("PW", "pw");
    p.setProcessEnvironment(env);
    QElapsedTimer timer;
    timer.start();
    p.start(QStringLiteral(TRELLICK_CLI),
            {"replace", "--server", server.serverField(), "--database", "shop", "--user", "sa",
             "--password-env", "PW", "--find", "a.com", "--replace", "b.org", "--yes", "--json",
             "--timeout", "0"});
    QVERIFY(p.waitForStarted(5000));
    QList<QJsonObject> seen;
    readLines(p, seen, [](const QJsonObject& o) { return o["table"] == "A"; });
    QVERIFY(!seen.isEmpty());
    QTest::qWait(300);
    QVERIFY(testdb::signalChild(p, SIGINT));
    QTest::qWait(300);
    QVERIFY(testdb::signalChild(p, SIGINT));
    QVERIFY(p.waitForFinished(20000));
    QVERIFY2(timer.elapsed() < 20000, QByteArray::number(timer.elapsed()));
    QCOMPARE(p.exitCode(), 1);
    readLines(p, seen, [](const QJsonObject&) { return false; });
    const QJsonObject slow = byTable(seen, "Slow");
    QCOMPARE(slow["status"].toString(), QStringLiteral("failed"));
    QCOMPARE(slow["failure"]["records"][0]["sqlstate"].toString(), QStringLiteral("HY008"));
    QVERIFY(seen.last()["stopped"].toBool());
    QCOMPARE(seen.last()["not_run"].toInt(), 1);
    QCOMPARE(scalar(main, "select v from A"), std::string("b.org"));
    QCOMPARE(scalar(main, "select v from Slow"), std::string("a.com"));
    QCOMPARE(scalar(main, "select v from Z"), std::string("a.com"));
    bool attention = false;
    for (const auto& e : server.log()) attention = attention || e["type"] == "attention";
    QVERIFY(attention);  // the cancel reached the server
  }
};

QTEST_GUILESS_MAIN(TestCli)
#include "test_cli.moc"
