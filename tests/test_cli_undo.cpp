// Preview, journal and undo from the command line, run as a process on
// real SQLite files, judged by reading the files; a replace killed in the
// middle leaves the journal and the database in agreement.
#include <signal.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include "cli_run.h"
#include "testdb.h"

namespace {

QStringList on(const QString& command, const std::string& path) {
  return {command, "--server", "sqlite", "--database", QString::fromStdString(path)};
}

using Dump = std::vector<std::vector<std::string>>;

Dump dump(const std::string& path, const std::string& table) {
  return testdb::query(path, "select rowid, * from " + table + " order by rowid");
}

const char* const kFind = "a.com";
const char* const kReplace = "www.a.com/'站😀";

}  // namespace

class TestCliUndo : public QObject {
  Q_OBJECT
  QTemporaryDir data;

 private slots:
  void initTestCase() { qputenv("XDG_DATA_HOME", data.path().toLocal8Bit()); }

  void previewReplaceAndUndoWithAConflict() {
    testdb::Dir dir;
    const std::string path = dir.file("shop.db");
    testdb::exec(path,
                 "create table t(id integer primary key, v varchar(100), w text);"
                 "insert into t values(1, 'see a.com', printf('%.50000c', 'x') || 'a.com');"
                 "insert into t values(2, 'none', null), (3, 'a.com', '汉😀a.com'), (4, null, "
                 "'A.COM');");
    const Dump before = dump(path, "t");

    // What preview shows is what replace then writes, row for row.
    const Run preview =
        cli(on("preview", path) << "--find" << kFind << "--replace" << kReplace << "--json"
                                << "--limit"
                                << "1");
    QCOMPARE(preview.exitCode, 0);
    const QJsonObject table = preview.lines().value(0);
    QCOMPARE(table["total"].toInt(), 2);
    QCOMPARE(table["rows"].toArray().size(), 1);  // the limit
    const QJsonObject first = table["rows"].toArray()[0].toObject();
    QCOMPARE(first["key"].toArray()[0].toString(), QStringLiteral("1"));

    const Run replaced =
        cli(on("replace", path) << "--find" << kFind << "--replace" << kReplace << "--yes");
    QVERIFY2(replaced.exitCode == 0, qPrintable(replaced.describe()));
    for (const auto& change : first["changes"].toArray()) {
      const QJsonObject c = change.toObject();
      QCOMPARE(QString::fromStdString(testdb::query(path, "select " +
                                                              c["column"].toString().toStdString() +
                                                              " from t where id = 1")[0][0]),
               c["after"].toString());
    }

    const Run runs = cli({"runs", "--json"});
    QCOMPARE(runs.lines().value(0)["kind"].toString(), QStringLiteral("replace"));
    QCOMPARE(runs.lines().value(0)["replace"].toString(), QString::fromUtf8(kReplace));

    // Undo as a script changes nothing.
    const QString script = QString::fromStdString(dir.file("undo.sql"));
    const Run scripted = cli({"undo", "--sql", script});
    QVERIFY2(scripted.exitCode == 0, qPrintable(scripted.describe()));
    QFile sql(script);
    QVERIFY(sql.open(QIODevice::ReadOnly));
    QVERIFY(sql.readAll().contains("update [t] set [v] = 'see a.com'"));
    QVERIFY(dump(path, "t") != before);

    // Without --yes and without a terminal, nothing is undone.
    QCOMPARE(cli({"undo"}).exitCode, 2);

    testdb::exec(path, "update t set v = 'by hand' where id = 3;");
    const Run undone = cli({"undo", "--yes", "--json"});
    QCOMPARE(undone.exitCode, 1);  // a conflict remains
    const QJsonObject result = undone.lines().value(0);
    QCOMPARE(result["restored"].toInt(), 1);
    QCOMPARE(result["conflicts"].toArray().size(), 1);
    QCOMPARE(result["conflicts"].toArray()[0].toArray()[0].toString(), QStringLiteral("3"));
    Dump expected = before;
    expected[2] = dump(path, "t")[2];  // the conflicting row keeps its values
    QCOMPARE(dump(path, "t"), expected);
    QCOMPARE(expected[2][2], std::string("by hand"));

    // The undo is a run of its own, and can be undone in turn.
    const Run again = cli({"undo", "--yes"});
    QVERIFY2(again.exitCode == 0, qPrintable(again.describe()));
    QCOMPARE(testdb::query(path, "select v from t where id = 1")[0][0],
             std::string("see ") + kReplace);
  }

  // Killed at any moment, a replace leaves every table either unchanged or
  // with its journal entry complete, and undo gives back the file's values.
  void aReplaceKilledMidwayLeavesJournalAndDatabaseInAgreement() {
    // Kills that left some tables replaced and others not: the test is
    // about those.
    int midway = 0;
    for (int delayMs : {150, 400, 900, 1600}) {
      testdb::Dir dir;
      const std::string path = dir.file("big.db");
      std::string setup;
      for (int k = 0; k < 8; ++k)
        setup += "create table t" + std::to_string(k) +
                 "(id integer primary key, v text);"
                 "insert into t" +
                 std::to_string(k) +
                 " with recursive n(value) as (select 1 union all select value + 1 from n "
                 "where value < 40000) select value, 'x a.com ' || value from n;";
      testdb::exec(path, setup);
      std::vector<Dump> before;
      for (int k = 0; k < 8; ++k) before.push_back(dump(path, "t" + std::to_string(k)));

      QTemporaryDir journalDir;
      const QString journal = journalDir.filePath("journal.db");
      QProcess p;
      p.start(QStringLiteral(TRELLICK_CLI), on("replace", path) << "--find" << kFind << "--replace"
                                                                << kReplace << "--yes"
                                                                << "--journal" << journal);
      QVERIFY(p.waitForStarted(5000));
      QTest::qWait(delayMs);
      // A run already ended is no kill midway.
      testdb::signalChild(p, SIGKILL);
      p.waitForFinished(10000);

      int replacedTables = 0;
      for (int k = 0; k < 8; ++k) {
        const Dump now = dump(path, "t" + std::to_string(k));
        // Each table wholly replaced or untouched.
        const auto replacedRows = testdb::query(
            path, "select count(*) from t" + std::to_string(k) + " where v like '%站%'")[0][0];
        QVERIFY2(now == before[static_cast<size_t>(k)] || replacedRows == "40000",
                 qPrintable(QStringLiteral("t%1 after %2 ms: %3 rows replaced")
                                .arg(k)
                                .arg(delayMs)
                                .arg(QString::fromStdString(replacedRows))));
        replacedTables += replacedRows == "40000";
      }
      midway += replacedTables > 0 && replacedTables < 8;
      // A table the database shows replaced is complete in the journal.
      const Run runs = cli({"runs", "--json", "--journal", journal});
      const QJsonArray tables = runs.lines().value(0)["tables"].toArray();
      for (const auto& t : tables) {
        const QJsonObject o = t.toObject();
        const std::string name = o["table"].toString().toStdString();
        const auto replacedRows =
            testdb::query(path, "select count(*) from " + name + " where v like '%站%'")[0][0];
        if (replacedRows == "40000") QCOMPARE(o["rows"].toInt(), 40000);
      }
      const Run undone = cli({"undo", "--yes", "--journal", journal});
      QVERIFY2(undone.exitCode == 0 || tables.isEmpty(), qPrintable(undone.describe()));
      for (int k = 0; k < 8; ++k)
        QVERIFY2(dump(path, "t" + std::to_string(k)) == before[static_cast<size_t>(k)],
                 qPrintable(QStringLiteral("t%1 after %2 ms").arg(k).arg(delayMs)));
    }
    QVERIFY(midway > 0);
  }
};

QTEST_MAIN(TestCliUndo)
#include "test_cli_undo.moc"
