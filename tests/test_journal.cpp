// The journal of what replaces changed, on real files: what goes in comes
// back byte for byte, it is its owner's alone, and a table that was not
// sealed leaves nothing behind, even when the process dies mid-table.
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QTemporaryDir>
#include <QtTest>

#include "journal/journal.h"

using namespace trellick::journal;

class TestJournal : public QObject {
  Q_OBJECT

 private slots:
  void valuesComeBackByteForByte() {
    const Values values{std::nullopt, std::string(), std::string("a\0b", 3),
                        std::string("汉😀'\\\""), std::string(100000, 'x')};
    const std::string encoded = encodeValues(values);
    QVERIFY(decodeValues(encoded.data(), encoded.size()) == values);
    // A cut-off row is refused, never read as shorter values.
    QVERIFY_THROWS_EXCEPTION(std::runtime_error, decodeValues(encoded.data(), encoded.size() - 1));
  }

  void theFileIsItsOwnersAlone() {
    QTemporaryDir dir;
    const std::string path = dir.filePath("deep/er/journal.db").toStdString();
    Journal journal(path);
    struct stat st {};
    QCOMPARE(::stat(path.c_str(), &st), 0);
    QCOMPARE(st.st_mode & 0777, 0600u);
    QCOMPARE(::stat(dir.filePath("deep/er").toLocal8Bit().constData(), &st), 0);
    QCOMPARE(st.st_mode & 0777, 0700u);
  }

  void theDefaultPathFollowsXdgDataHome() {
    qputenv("XDG_DATA_HOME", "/srv/data");
    QCOMPARE(Journal::defaultPath(), std::string("/srv/data/Trellick/journal.db"));
    qputenv("XDG_DATA_HOME", "");
    qputenv("HOME", "/home/op");
    QCOMPARE(Journal::defaultPath(), std::string("/home/op/.local/share/Trellick/journal.db"));
  }

  void runsTablesAndRowsComeBack() {
    QTemporaryDir dir;
    const std::string path = dir.filePath("journal.db").toStdString();
    long long runId = 0;
    {
      Journal journal(path);
      RunInfo info;
      info.server = "sqlite";
      info.database = "/data/shop.db";
      info.user = "op";
      info.find = "a.com";
      info.replace = "b.org";
      runId = journal.beginRun(info);
      const long long t = journal.beginTable(runId, {"Orders", "sales"}, {{"id", 3, 10}}, false,
                                             {{"note", 200, 100}, {"body", 201, 0}});
      journal.addRow(t, {{"1"}, {"x a.com", std::nullopt}, {"x b.org", std::nullopt}});
      journal.addRow(t, {{"2"}, {"a.com", "a.com!"}, {"b.org", "b.org!"}});
      journal.seal(t);
      journal.mark(t, TableState::Done);
      journal.finishRun(runId);
    }
    Journal journal(path);
    const auto run = journal.lastRun();
    QVERIFY(run.has_value());
    QCOMPARE(run->id, runId);
    QCOMPARE(run->info.database, std::string("/data/shop.db"));
    QCOMPARE(run->info.replace, std::string("b.org"));
    QVERIFY(!run->finished.empty());
    QCOMPARE(run->tables.size(), size_t(1));
    const TableEntry& t = run->tables[0];
    QCOMPARE(t.table.schema, std::string("sales"));
    QCOMPARE(t.state, TableState::Done);
    QCOMPARE(t.rows, 2ll);
    QCOMPARE(t.changed.size(), size_t(2));
    QCOMPARE(t.changed[1].name, std::string("body"));
    QCOMPARE(t.changed[1].type, 201);
    std::vector<Row> rows;
    journal.forEachRow(t.id, [&](const Row& r) { rows.push_back(r); });
    QCOMPARE(rows.size(), size_t(2));
    QVERIFY(rows[0].before[1] == std::nullopt);
    QCOMPARE(*rows[1].after[1], std::string("b.org!"));
  }

  // A process killed while it journals a table leaves no part of it.
  void aTableCutShortLeavesNothing() {
    QTemporaryDir dir;
    const std::string path = dir.filePath("journal.db").toStdString();
    long long runId = 0;
    {
      Journal journal(path);
      runId = journal.beginRun({});
    }
    const pid_t child = fork();
    if (child == 0) {
      Journal journal(path);
      const long long t =
          journal.beginTable(runId, {"T"}, {{"rowid", 0, 0}}, false, {{"v", 200, 9}});
      for (int k = 0; k < 1000; ++k) journal.addRow(t, {{std::to_string(k)}, {"a"}, {"b"}});
      ::kill(::getpid(), SIGKILL);
    }
    int status = 0;
    QCOMPARE(::waitpid(child, &status, 0), child);
    QVERIFY(WIFSIGNALED(status));
    Journal journal(path);
    QVERIFY(journal.run(runId)->tables.empty());
    // And the journal takes the next table as usual.
    const long long t = journal.beginTable(runId, {"T"}, {{"rowid", 0, 0}}, false, {{"v", 200, 9}});
    journal.addRow(t, {{"1"}, {"a"}, {"b"}});
    journal.seal(t);
    QCOMPARE(journal.run(runId)->tables.at(0).rows, 1ll);
  }
};

QTEST_MAIN(TestJournal)
#include "test_journal.moc"
