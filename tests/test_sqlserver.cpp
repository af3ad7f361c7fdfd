// The SQL Server path through the real window and the real FreeTDS driver,
// against a stand-in that answers with rows, errors and delays as the server
// does. Every result is judged by reading the SQLite files behind the
// stand-in directly.
#include <QApplication>
#include <QGroupBox>
#include <QJsonArray>
#include <QJsonDocument>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QtTest>
#include <clocale>

#include "app/form1.h"
#include "db/connection.h"
#include "db/odbc.h"
#include "db/types.h"
#include "find_fixture.h"
#include "journal/changes.h"
#include "tds_standin.h"
#include "testdb.h"
#include "window_fixture.h"

using trellick::app::vbYes;

namespace {

// Rows of a table whose listed columns hold `text`, counted with instr().
long long countIn(const std::string& file, const std::string& table,
                  const std::vector<std::string>& columns, const std::string& text) {
  std::string where;
  for (const auto& c : columns) {
    if (!where.empty()) where += " or ";
    where += "instr(" + c + ", '" + text + "') > 0";
  }
  return std::stoll(testdb::query(file, "select count(*) from " + table + " where " + where)[0][0]);
}

std::vector<std::vector<std::string>> rows(const std::string& file, const std::string& sql) {
  return testdb::query(file, sql);
}

// The rows as they must be after replacing find by replace in the given
// column positions.
std::vector<std::vector<std::string>> replaced(std::vector<std::vector<std::string>> before,
                                               const std::vector<size_t>& columns,
                                               const std::string& find,
                                               const std::string& replace) {
  for (auto& row : before)
    for (size_t c : columns)
      if (row[c] != "<NULL>") row[c] = replaceAllText(row[c], find, replace);
  return before;
}

struct ServerFixture : WindowFixture {
  testdb::Dir dir;
  std::string main = dir.file("main.db");
  std::string sales = dir.file("sales.db");
  std::unique_ptr<TdsStandin> server;

  ServerFixture(const std::string& mainSql, const std::string& salesSql = {}) {
    testdb::exec(main, mainSql);
    QList<TdsStandin::Schema> schemas;
    if (!salesSql.empty()) {
      testdb::exec(sales, salesSql);
      schemas.append({"sales", QString::fromStdString(sales)});
    }
    server = std::make_unique<TdsStandin>(QString::fromStdString(main), schemas);
  }

  trellick::app::Form1& openWith(const QString& find, const QString& replace) {
    auto& f = open();
    f.txtServerName->setText(server->serverField());
    f.txtUsername->setText(QStringLiteral("sa"));
    f.txtPassword->setText(QStringLiteral("pw"));
    f.txtDatabaseName->setText(QStringLiteral("shop"));
    f.txt1->setText(find);
    f.txt2->setText(replace);
    return f;
  }
};

// Each value of Keyed as SQLite holds it: storage class and UTF-8 bytes.
std::vector<std::vector<std::string>> keyedBytes(const std::string& file) {
  return testdb::query(file,
                       "select id, typeof(note), hex(note), typeof(body), hex(body) from Keyed "
                       "order by id");
}

// The stand-in's log, last entries first, for a failure message.
QString logTail(const TdsStandin& server) {
  QStringList lines;
  const auto log = server.log();
  for (qsizetype k = std::max<qsizetype>(0, log.size() - 12); k < log.size(); ++k)
    lines << QString::fromUtf8(QJsonDocument(log[k]).toJson(QJsonDocument::Compact)).left(300);
  return lines.join('\n');
}

const std::string kFind = "a.com";
// Holds the search text itself: a table replaced twice would show it.
const QString kReplace = QStringLiteral("www.a.com/'站😀");

const char* const kMain =
    "create table Orders(id int primary key, note nvarchar(200), body ntext, code varchar(20));"
    "insert into Orders values(1, 'see a.com now', 'body a.com', 'zz');"
    "insert into Orders values(2, 'nothing', 'none', 'zz');"
    "insert into Orders values(3, null, 'a.com and a.com', null);"
    "create table Calc(id int primary key, a nvarchar(50),"
    "  b nvarchar(60) generated always as (a || '!') virtual);"
    "insert into Calc(id, a) values(1, 'a.com x');"
    "create table Long(id int primary key, v varchar(5000));"
    "insert into Long values(1, printf('%.4400c', 'x') || 'a.com' || printf('%.95c', 'y'));";

const char* const kSales =
    "create table Orders(id int primary key, note nvarchar(200), body ntext, code varchar(20));"
    "insert into Orders values(1, 'sales a.com', 'zzz', 'y');"
    "insert into Orders values(2, 'plain', 'plain', 'plain');";

}  // namespace

class TestSqlServer : public QObject {
  Q_OBJECT

 private slots:
  void findAndReplaceInEverySchema() {
    ServerFixture fx(kMain, kSales);
    QVERIFY2(fx.server->port() > 0, qPrintable(fx.server->errorText()));
    auto& form = fx.openWith(QString::fromStdString(kFind), kReplace);

    // Two tables of one name in two schemas are two entries.
    QVERIFY2(form.LinkConn(), qPrintable(fx.ui.describe()));
    QCOMPARE(items(form.List1), (QStringList{"Calc", "Long", "Orders", "Orders"}));

    const long long expectedRecords = countIn(fx.main, "Orders", {"note", "body", "code"}, kFind) +
                                      countIn(fx.sales, "Orders", {"note", "body", "code"}, kFind) +
                                      countIn(fx.main, "Calc", {"a"}, kFind) +
                                      countIn(fx.main, "Long", {"v"}, kFind);
    QCOMPARE(expectedRecords, 5ll);
    fx.ui.expectBox();
    form.cmdFind_Click();
    QCOMPARE(fx.ui.boxes.value(0).prompt,
             QStringLiteral("任务完成!共找到 4 个表, %1 条记录 中包含查找的字符。")
                 .arg(expectedRecords));
    QCOMPARE(fx.ui.boxes.value(0).style, 0);
    QCOMPARE(items(form.List5), (QStringList{"Calc", "Long", "Orders", "Orders"}));
    // The computed column is read but never searched.
    QVERIFY(!form.noRunSQL.contains(QStringLiteral("[b]")));

    const auto ordersSql = "select id, note, body, code from Orders order by id";
    const auto mainOrders = rows(fx.main, ordersSql);
    const auto salesOrders = rows(fx.sales, ordersSql);
    const auto calc = rows(fx.main, "select id, a, b from Calc");
    const auto longRow = rows(fx.main, "select v from Long");
    const std::string r = kReplace.toStdString();

    fx.ui.expectBox(vbYes);
    fx.ui.expectBox();
    form.Command5_Click();
    QVERIFY2(form.noRunSQL.isEmpty(), qPrintable(form.noRunSQL));
    QCOMPARE(fx.ui.boxes.value(2).style, 64);
    QVERIFY2(fx.ui.boxes.value(2).prompt.endsWith(
                 QStringLiteral("; 替换：4 个表, %1 条记录.").arg(expectedRecords)),
             qPrintable(fx.ui.boxes.value(2).prompt));

    // Each schema's table replaced once, every other value as it was.
    QVERIFY(rows(fx.main, ordersSql) == replaced(mainOrders, {1, 2, 3}, kFind, r));
    QVERIFY(rows(fx.sales, ordersSql) == replaced(salesOrders, {1, 2, 3}, kFind, r));
    QCOMPARE(rows(fx.main, ordersSql)[0][1], "see " + r + " now");
    // The computed column is not assigned; it follows its source.
    auto calcAfter = replaced(calc, {1}, kFind, r);
    calcAfter[0][2] = calcAfter[0][1] + "!";
    QVERIFY(rows(fx.main, "select id, a, b from Calc") == calcAfter);
    // A varchar(5000) value of 4,500 characters keeps all of them: the N''
    // literals would otherwise have Replace cut it at 4,000.
    QCOMPARE(rows(fx.main, "select v from Long")[0][0], replaceAllText(longRow[0][0], kFind, r));
    bool castSent = false;
    for (const QString& b : fx.server->batches())
      castSent |=
          b.startsWith(QStringLiteral("Update [Long] set [v]=Replace(cast([v] as nvarchar(max)),"));
    QVERIFY(castSent);
    // The statements travelled as the characters written.
    bool intact = false;
    for (const QString& b : fx.server->batches())
      intact |= b.contains(QStringLiteral("N'www.a.com/''站😀'"));
    QVERIFY(intact);
  }

  void plainProcessLocaleKeepsUnicode() {
    // The driver manager converts narrow statement text with the locale of
    // the moment the connection opens; wide calls do not depend on it.
    const std::string saved = std::setlocale(LC_ALL, nullptr);
    std::setlocale(LC_ALL, "C");
    ServerFixture fx(
        "create table [名单]([编号] int primary key, [名] nvarchar(50));"
        "insert into [名单] values(1, '旧😀名');");
    auto& form = fx.openWith(QStringLiteral("旧😀"), QStringLiteral("新𠀀"));
    fx.ui.expectBox(vbYes);
    fx.ui.expectBox();
    form.Command5_Click();
    std::setlocale(LC_ALL, saved.c_str());
    QVERIFY2(form.noRunSQL.isEmpty(), qPrintable(form.noRunSQL));
    QCOMPARE(items(form.List5), QStringList{"名单"});
    QCOMPARE(rows(fx.main, "select [名] from [名单]")[0][0], std::string("新𠀀名"));
    QVERIFY(fx.server->batches().contains(QStringLiteral(
        "Update [名单] set [名]=Replace([名],N'旧😀',N'新𠀀') where [名] like N'%旧😀%'")));
  }

  void lostConnectionIsReportedAndTheRunGoesOn() {
    ServerFixture fx(
        "create table A(id int primary key, v nvarchar(50)); insert into A values(1, 'a.com');"
        "create table Slow(id int primary key, v nvarchar(50)); insert into Slow values(1, "
        "'a.com');"
        "create table Z(id int primary key, v nvarchar(50)); insert into Z values(1, 'a.com');");
    // Slow answers after the time-out, and the server acknowledges the
    // cancel so late that FreeTDS gives the connection up.
    fx.server->setControl(
        QJsonObject{{"delays", QJsonObject{{"Slow", 40.0}}}, {"attention_delay", 40.0}});
    auto& form = fx.openWith(QStringLiteral("a.com"), QStringLiteral("b.org"));
    QElapsedTimer timer;
    timer.start();
    fx.ui.expectBox(vbYes);
    fx.ui.expectBox();
    form.Command5_Click();
    QVERIFY2(timer.elapsed() < 35000, QByteArray::number(timer.elapsed()));
    // The tables after the lost one were replaced on a new connection.
    QCOMPARE(rows(fx.main, "select v from A")[0][0], std::string("b.org"));
    QCOMPARE(rows(fx.main, "select v from Z")[0][0], std::string("b.org"));
    QCOMPARE(rows(fx.main, "select v from Slow")[0][0], std::string("a.com"));
    const QString totals = fx.ui.boxes.value(1).prompt;
    QVERIFY2(totals.endsWith(QStringLiteral("\r\n其中 1 个表替换失败，详见SQL窗口。")),
             qPrintable(totals));
    QCOMPARE(fx.ui.boxes.value(1).style, 48);
    QVERIFY2(form.Text2->toPlainText().startsWith(QStringLiteral("-- Slow: ")),
             qPrintable(form.Text2->toPlainText()));
    int logins = 0;
    for (const auto& e : fx.server->log()) logins += e["type"].toString() == "login";
    QCOMPARE(logins, 2);
  }

  void replaceThenUndoGivesBackEveryByte() {
    const std::string big = std::string(70000, 'x') + kFind + std::string(30000, 'y');
    ServerFixture fx(
        // The server's collation ignores case, in comparisons too.
        "create table Keyed(id int primary key, note nvarchar(200) collate nocase, body ntext);"
        "insert into Keyed values(1, 'see a.com', '" +
        big +
        "');"
        "insert into Keyed values(2, null, '汉😀 a.com');"
        // The server's collation ignores case: Replace changes this one too.
        "insert into Keyed values(3, 'A.COM caps 中文', null);"
        "insert into Keyed values(4, 'a.com', 'a.coma.com');"
        "insert into Keyed values(5, 'nothing', 'none');");
    QVERIFY2(fx.server->port() > 0, qPrintable(fx.server->errorText()));
    const auto before = keyedBytes(fx.main);
    const std::string r = kReplace.toStdString();

    trellick::db::Connection conn;
    conn.SetCommandTimeout(10);
    testdb::Dir dir;
    trellick::journal::Journal journal(dir.file("journal.db"));
    const long long run = journal.beginRun({});
    const std::vector<trellick::search::ChangeColumn> searched{
        {"note", 202, 200}, {"body", 203, trellick::db::kLongWideTextSize}};
    const std::vector<trellick::search::ChangeColumn> all{
        {"id", 3, 10}, {"note", 202, 200}, {"body", 203, trellick::db::kLongWideTextSize}};
    trellick::journal::Preview preview;
    long long changed = 0;
    std::size_t logBefore = 0;
    try {
      conn.Open(
          trellick::db::makeTarget({fx.server->serverField().toStdString(), "sa", "pw", "shop"},
                                   trellick::db::installedDrivers(), 10));
      QCOMPARE(int(conn.dialect()), int(trellick::Dialect::SqlServer));
      const trellick::search::StatementBuilder builder(conn.dialect(), {kFind, r}, conn.syntax());
      const auto plan = trellick::journal::makePlan(builder, {"Keyed"}, searched, all);
      preview = trellick::journal::preview(conn, plan, 0);
      logBefore = std::size_t(fx.server->log().size());
      changed = trellick::journal::journaledReplace(conn, journal, run, plan).changed;
    } catch (const trellick::db::DbError& e) {
      QFAIL(qPrintable(QString::fromStdString(e.description()) + "\n" + logTail(*fx.server)));
    }
    QCOMPARE(changed, 4ll);
    QCOMPARE(preview.identityColumns, std::vector<std::string>{"id"});
    QVERIFY(!preview.byValue);
    QCOMPARE(preview.total, 4ll);
    QCOMPARE(preview.rows.size(), std::size_t(4));

    // What the replace wrote, read from the file.
    const auto after = rows(fx.main, "select id, note, body from Keyed order by id");
    QCOMPARE(after[0][1], "see " + r);
    QCOMPARE(after[1][2], "汉😀 " + r);
    QCOMPARE(after[2][1], r + " caps 中文");
    QCOMPARE(after[3][2], r + r);
    QCOMPARE(after[4], (std::vector<std::string>{"5", "nothing", "none"}));
    // The preview's after values are exactly those.
    int seen = 0;
    for (const auto& p : preview.rows)
      for (const auto& c : p.changes) {
        const int id = std::stoi(*p.identity[0]);
        QCOMPARE(c.after, after.at(std::size_t(id - 1)).at(c.column == "note" ? 1 : 2));
        ++seen;
      }
    QCOMPARE(seen, 6);

    // One transaction of the server: a begin, the changes read and the
    // update under its descriptor, then the commit; autocommit on again.
    QStringList ops;
    QString descriptor, updateDescriptor, selectDescriptor;
    const auto log = fx.server->log();
    for (qsizetype k = qsizetype(logBefore); k < log.size(); ++k) {
      const QJsonObject& e = log[k];
      const QString type = e["type"].toString();
      if (type == "tran") {
        ops << e["op"].toString() + (e["cont"].toBool() ? "+" : "");
        continue;
      }
      QString text = e["text"].toString();
      if (type == "rpc" && e["proc"].toString() == "sp_executesql")
        text = e["params"].toArray().at(0).toString();
      if (text.startsWith(QStringLiteral("Update [Keyed] set")))
        updateDescriptor = e["descriptor"].toString();
      if (text.startsWith(QStringLiteral("select [id], [note], Replace("))) {
        selectDescriptor = e["descriptor"].toString();
        // Held to the update: no row read changes, none comes to match.
        QVERIFY2(text.contains(QStringLiteral(" from Keyed with (updlock, holdlock) where ")),
                 qPrintable(text));
      }
    }
    QCOMPARE(ops, (QStringList{"begin", "commit+", "rollback"}));
    QVERIFY2(!selectDescriptor.isEmpty() && selectDescriptor != "0000000000000000",
             qPrintable(logTail(*fx.server)));
    QCOMPARE(updateDescriptor, selectDescriptor);

    // Edited by hand between the replace and the undo; one only in case,
    // which the server's "=" would not tell from what the run wrote.
    testdb::exec(fx.main,
                 "update Keyed set note = 'by hand' where id = 4;"
                 "update Keyed set note = upper(note) where id = 3;");
    const auto edited = keyedBytes(fx.main);
    trellick::journal::UndoResult undone;
    try {
      const auto entry = journal.run(run);
      QVERIFY(entry);
      undone = trellick::journal::undo(conn, journal, *entry, {});
    } catch (const trellick::db::DbError& e) {
      QFAIL(qPrintable(QString::fromStdString(e.description()) + "\n" + logTail(*fx.server)));
    }
    QCOMPARE(undone.tables.size(), std::size_t(1));
    QVERIFY2(!undone.tables[0].failure,
             qPrintable(QString::fromStdString(undone.tables[0].failure.value_or("")) + "\n" +
                        logTail(*fx.server)));
    QCOMPARE(undone.tables[0].restored, 2ll);
    QCOMPARE(undone.tables[0].alreadyBefore, 0ll);
    QCOMPARE(undone.tables[0].conflicts.size(), std::size_t(2));
    QCOMPARE(*undone.tables[0].conflicts[0].at(0), std::string("3"));
    QCOMPARE(*undone.tables[0].conflicts[1].at(0), std::string("4"));

    // Every other row byte for byte as it was; the edited ones left alone.
    const auto restored = keyedBytes(fx.main);
    for (std::size_t k : {0, 1, 4}) QVERIFY2(restored[k] == before[k], restored[k][0].c_str());
    for (std::size_t k : {2, 3}) {
      QVERIFY(restored[k] == edited[k]);
      QVERIFY(restored[k] != before[k]);
    }
    QCOMPARE(rows(fx.main, "select body from Keyed where id = 1")[0][0], big);
    // The four restores ran bound, inside one transaction that committed.
    QStringList restores, undoOps;
    QSet<QString> descriptors;
    const auto undoLog = fx.server->log();
    for (qsizetype k = log.size(); k < undoLog.size(); ++k) {
      const QJsonObject& e = undoLog[k];
      if (e["type"].toString() == "tran")
        undoOps << e["op"].toString() + (e["cont"].toBool() ? "+" : "");
      if (e["type"].toString() != "rpc") continue;
      const QJsonArray params = e["params"].toArray();
      const QString proc = e["proc"].toString();
      const QString text = params.at(proc == "sp_executesql" ? 0 : 2).toString();
      if (!text.startsWith(QStringLiteral("update [Keyed] set "))) continue;
      restores << text;
      descriptors << e["descriptor"].toString();
    }
    QCOMPARE(restores.size(), 4);
    QVERIFY2(restores[1].contains(QStringLiteral(
                 "where [id] = @P2 and cast(cast(cast([id] as nvarchar(max)) as nvarchar(max)) "
                 "as varbinary(max)) = cast(cast(@P3 as nvarchar(max)) as varbinary(max))")),
             qPrintable(restores.join('\n')));
    QCOMPARE(descriptors.size(), 1);
    QVERIFY(!descriptors.contains("0000000000000000"));
    QCOMPARE(undoOps, (QStringList{"begin", "commit+", "rollback"}));
  }

  // Without a primary key, the journal names rows by a unique key whose
  // columns are all not null, read from the server's catalog views; a
  // nullable one would let several rows hold NULL, so that table goes by
  // value.
  void aTableWithoutAPrimaryKeyIsKnownByAUniqueKey() {
    ServerFixture fx(
        "create table Coded(code nvarchar(40) not null, note nvarchar(200), n int not null, "
        "unique(code));"
        "create unique index CodedN on Coded(n) where n > 0;"
        "insert into Coded values('a.com/1', 'see a.com', 1), ('b', 'at a.com', 2), "
        "('c', 'none', 3);"
        "create table Loose(code nvarchar(40) unique, note nvarchar(200));"
        "insert into Loose values('a.com', 'a.com'), (null, 'a.com');");
    QVERIFY2(fx.server->port() > 0, qPrintable(fx.server->errorText()));
    const std::string all = "select id, hex(code), hex(note) from (select rowid id, * from Coded)";
    const auto before = rows(fx.main, all);
    const std::vector<trellick::search::ChangeColumn> searched{{"code", 202, 40},
                                                               {"note", 202, 200}};
    trellick::db::Connection conn;
    conn.SetCommandTimeout(10);
    testdb::Dir dir;
    trellick::journal::Journal journal(dir.file("journal.db"));
    try {
      conn.Open(
          trellick::db::makeTarget({fx.server->serverField().toStdString(), "sa", "pw", "shop"},
                                   trellick::db::installedDrivers(), 10));
      const trellick::search::StatementBuilder builder(conn.dialect(), {kFind, "b.org"},
                                                       conn.syntax());
      const auto coded = trellick::journal::makePlan(builder, {"Coded"}, searched,
                                                     {{"code", 202, 40}, {"note", 202, 200}});
      const auto preview = trellick::journal::preview(conn, coded, 0);
      QCOMPARE(preview.identityColumns, std::vector<std::string>{"code"});
      QVERIFY(!preview.byValue);
      QCOMPARE(preview.rows.size(), std::size_t(2));
      const auto loose = trellick::journal::preview(
          conn, trellick::journal::makePlan(builder, {"Loose"}, searched, searched), 0);
      QCOMPARE(loose.identityColumns, (std::vector<std::string>{"code", "note"}));
      QVERIFY(loose.byValue);

      const long long run = journal.beginRun({});
      QCOMPARE(trellick::journal::journaledReplace(conn, journal, run, coded).changed, 2ll);
      QCOMPARE(rows(fx.main, "select code, note from Coded where n = 1")[0],
               (std::vector<std::string>{"b.org/1", "see b.org"}));
      const auto undone = trellick::journal::undo(conn, journal, *journal.run(run), {});
      QVERIFY(!undone.tables.at(0).failure);
      QCOMPARE(undone.tables.at(0).restored, 2ll);
    } catch (const trellick::db::DbError& e) {
      QFAIL(qPrintable(QString::fromStdString(e.description()) + "\n" + logTail(*fx.server)));
    }
    QCOMPARE(rows(fx.main, all), before);
    // FreeTDS sends the catalog query as it is, a batch of the language.
    bool asked = false;
    for (const QJsonObject& e : fx.server->log())
      asked |= e["type"].toString() == "batch" &&
               e["text"].toString().startsWith("select i.name, c.name, case when c.is_nullable");
    QVERIFY(asked);
  }

  void recordWiseReplaceNamesTheRowByItsKey() {
    ServerFixture fx(
        "create table Rec(n int, id int primary key, t nvarchar(50), u nvarchar(50));"
        "insert into Rec values(7, 1, 'abcab', 'keep');"
        "insert into Rec values(8, 2, 'abcab', 'keep');");
    auto& form = fx.openWith(QStringLiteral("b"), QString());
    QVERIFY2(form.LinkConn(), qPrintable(fx.ui.describe()));
    form.List1->item(0)->setSelected(true);
    for (int k = 0; k < 4 + 2 * 2; ++k) fx.ui.expectBox();
    form.Command2_Click();
    QCOMPARE(fx.ui.boxes.size(), 8);
    QCOMPARE(rows(fx.main, "select n, id, t, u from Rec order by id"),
             (std::vector<std::vector<std::string>>{{"7", "1", "aca", "keep"},
                                                    {"8", "2", "abcab", "keep"}}));
    bool byKey = false;
    for (const QString& b : fx.server->batches())
      byKey |= b.startsWith(QStringLiteral("update Rec set [t]=@P1,[u]=@P2 where [id]=@P3"));
    QVERIFY2(byKey, qPrintable(fx.server->batches().join("\n")));
  }
};

QTEST_MAIN(TestSqlServer)
#include "test_sqlserver.moc"
