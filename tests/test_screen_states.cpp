// What the operator sees at every yield of a find, a batch replace and a
// double-click replace, and every box in order, on a real SQLite file with
// a table that matches, one without a searchable column, one that holds
// nothing to find, one whose update a trigger refuses and one without rows.
// The recordings below were made once from the window and read through;
// any change to what the window shows, or when, fails here.
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QThread>
#include <QtTest>
#include <vector>

#include "find_fixture.h"

using namespace trellick::app;

namespace {

const char* const kTables =
    "create table articles(id integer primary key, title varchar(100), body text);"
    "insert into articles values(1, 'see old.example.com', 'body old.example.com'),"
    "  (2, 'nothing', 'here'), (3, null, 'old.example.com/x');"
    "create table numbers(id integer primary key, n integer, r real);"
    "insert into numbers values(1, 5, 1.5);"
    "create table notes(id integer primary key, note text, tag char(8));"
    "insert into notes values(1, 'plain note', 'a');"
    "create table guarded(id integer primary key, v varchar(50));"
    "insert into guarded values(1, 'old.example.com'), (2, 'old.example.com too');"
    "create trigger guard before update on guarded begin "
    "  select raise(abort, 'guarded rows stay'); end;"
    "create table blank(t text);"
    "create table links(id integer primary key, url text);"
    "insert into links values(1, 'http://old.example.com/'), (2, 'http://other/');";

QString escaped(QString text) {
  text.replace(QLatin1Char('\\'), QStringLiteral("\\\\"));
  text.replace(QLatin1Char('\r'), QStringLiteral("\\r"));
  text.replace(QLatin1Char('\n'), QStringLiteral("\\n"));
  return text;
}

QString bar(const QProgressBar* p) {
  return QString::number(p->value()) + QLatin1Char('/') + QString::number(p->maximum());
}

QString shown(const QWidget* w) {
  return w->isHidden() ? QStringLiteral("-") : QStringLiteral("+");
}

// One line per state: the progress frame, both bars, the result list and
// its caption, the statement box ("T1~" while it holds what the state before
// showed), the table counter, and which of the result frame and the stop
// button show.
QString state(Form1& f, QString& lastText1) {
  const QString text1 = escaped(f.Text1->toPlainText());
  const QString t1 = text1 == lastText1 ? QStringLiteral("T1~") : QStringLiteral("T1=") + text1;
  lastText1 = text1;
  return QStringLiteral("F3=%1|A=%2|B=%3|L5=%4|LF=%5|%6|L2=%7|ff%8|c6%9")
      .arg(f.Frame3->title(), bar(f.ProA), bar(f.ProB), items(f.List5).join(QLatin1Char(',')),
           f.LabFind->text(), t1, f.Label2(1)->text(), shown(f.framefind), shown(f.Command6));
}

struct Recorder {
  QStringList lines;
  QString lastText1;

  void attach(FindFixture& fx, Form1& form) {
    fx.ui.onYield = [this, &form](int) {
      lines << QStringLiteral("yield ") + state(form, lastText1);
      // Text1 reaches the widget with the next painted frame: waiting out a
      // frame makes every yield show what it holds.
      QThread::msleep(Form1::kFrameMs + 1);
    };
    // The database's temporary path reads the same in every run.
    fx.ui.onBox = [this, path = QString::fromStdString(fx.path)](const RecordedBox& box) {
      QString prompt = box.prompt;
      prompt.replace(path, QStringLiteral("DB"));
      lines << QStringLiteral("box %1|%2|%3").arg(box.style).arg(box.title, escaped(prompt));
    };
  }
  // After a command returns: also the failed statements' frame.
  void end(Form1& form) {
    lines << QStringLiteral("end ") + state(form, lastText1) +
                 QStringLiteral("|sql%1|T2=%2")
                     .arg(shown(form.FrameSQL), escaped(form.Text2->toPlainText()));
  }
};

// The recording as C++ literals, to read and to paste when a change of
// what the window shows is intended.
QString asLiterals(const QStringList& lines) {
  QString out;
  for (QString line : lines) {
    line.replace(QLatin1Char('\\'), QStringLiteral("\\\\"));
    line.replace(QLatin1Char('"'), QStringLiteral("\\\""));
    out += QStringLiteral("    \"") + line + QStringLiteral("\",\n");
  }
  return out;
}

// A find over the fixture's tables, state by state.
const std::vector<const char*> kFindRecording{
    "yield F3=处理进程|A=0/100|B=0/100|L5=|LF=表：0  记录：0|T1=SQL\\n|L2=表：|ff-|c6-",
    "yield F3=处理进程: articles -> id|A=0/3|B=1/6|L5=|LF=|T1~|L2=表：|ff-|c6+",
    "yield F3=处理进程: articles -> title|A=1/3|B=1/6|L5=|LF=|T1~|L2=表：|ff-|c6+",
    "yield F3=处理进程: articles -> body|A=2/3|B=1/6|L5=|LF=|T1~|L2=表：|ff-|c6+",
    "yield F3=处理进程: articles -> body|A=2/3|B=1/6|L5=articles|LF=表：1 "
    "记录：2|T1=select count(*) from articles where [title] like '%old.example.com%' or "
    "cast([body] as varchar(8000)) like '%old.example.com%'|L2=表：|ff+|c6+",
    "yield F3=处理进程: articles -> body|A=3/3|B=0/6|L5=articles|LF=表：1 "
    "记录：2|T1~|L2=表：|ff+|c6+",
    "yield F3=处理进程: numbers -> id|A=0/3|B=0/6|L5=articles|LF=表：1 "
    "记录：2|T1~|L2=表：1|ff+|c6+",
    "yield F3=处理进程: numbers -> n|A=1/3|B=0/6|L5=articles|LF=表：1 "
    "记录：2|T1~|L2=表：1|ff+|c6+",
    "yield F3=处理进程: numbers -> r|A=2/3|B=0/6|L5=articles|LF=表：1 "
    "记录：2|T1~|L2=表：1|ff+|c6+",
    "yield F3=处理进程: numbers -> r|A=3/3|B=1/6|L5=articles|LF=表：1 "
    "记录：2|T1~|L2=表：1|ff+|c6+",
    "yield F3=处理进程: notes -> id|A=0/3|B=1/6|L5=articles|LF=表：1 "
    "记录：2|T1~|L2=表：2|ff+|c6+",
    "yield F3=处理进程: notes -> note|A=1/3|B=1/6|L5=articles|LF=表：1 "
    "记录：2|T1~|L2=表：2|ff+|c6+",
    "yield F3=处理进程: notes -> tag|A=2/3|B=1/6|L5=articles|LF=表：1 "
    "记录：2|T1~|L2=表：2|ff+|c6+",
    "yield F3=处理进程: notes -> tag|A=3/3|B=2/6|L5=articles|LF=表：1 记录：2|T1=select "
    "count(*) from notes where cast([note] as varchar(8000)) like "
    "'%old.example.com%' or [tag] like '%old.example.com%'|L2=表：2|ff+|c6+",
    "yield F3=处理进程: guarded -> id|A=0/2|B=2/6|L5=articles|LF=表：1 "
    "记录：2|T1~|L2=表：3|ff+|c6+",
    "yield F3=处理进程: guarded -> v|A=1/2|B=2/6|L5=articles|LF=表：1 "
    "记录：2|T1~|L2=表：3|ff+|c6+",
    "yield F3=处理进程: guarded -> v|A=1/2|B=2/6|L5=articles,guarded|LF=表：2 "
    "记录：4|T1=select count(*) from guarded where [v] like "
    "'%old.example.com%'|L2=表：3|ff+|c6+",
    "yield F3=处理进程: guarded -> v|A=2/2|B=3/6|L5=articles,guarded|LF=表：2 "
    "记录：4|T1~|L2=表：3|ff+|c6+",
    "yield F3=处理进程: guarded -> v|A=2/2|B=4/6|L5=articles,guarded|LF=表：2 "
    "记录：4|T1~|L2=表：4|ff+|c6+",
    "yield F3=处理进程: links -> id|A=0/2|B=4/6|L5=articles,guarded|LF=表：2 "
    "记录：4|T1~|L2=表：5|ff+|c6+",
    "yield F3=处理进程: links -> url|A=1/2|B=4/6|L5=articles,guarded|LF=表：2 "
    "记录：4|T1~|L2=表：5|ff+|c6+",
    "yield F3=处理进程: links -> url|A=1/2|B=4/6|L5=articles,guarded,links|LF=表：3 "
    "记录：5|T1=select count(*) from links where cast([url] as varchar(8000)) like "
    "'%old.example.com%'|L2=表：5|ff+|c6+",
    "yield F3=处理进程: links -> url|A=2/2|B=5/6|L5=articles,guarded,links|LF=表：3 "
    "记录：5|T1~|L2=表：5|ff+|c6+",
    "box 0|Trellick|任务完成!共找到 3 个表, 5 条记录 中包含查找的字符。",
    "end F3=处理进程|A=2/2|B=6/6|L5=articles,guarded,links|LF=表：3 "
    "记录：5|T1~|L2=表：6|ff+|c6-|sql-|T2=Text2",
};

// The states recorded are `before` then `expected`, in order.
void compareRecording(const QStringList& actual, std::initializer_list<const char*> expected,
                      const std::vector<const char*>& before = {}) {
  QStringList want;
  for (const char* line : before) want << QString::fromUtf8(line);
  for (const char* line : expected) want << QString::fromUtf8(line);
  const qsizetype n = std::min(actual.size(), want.size());
  for (qsizetype k = 0; k < n; ++k) {
    if (actual[k] != want[k])
      QFAIL(
          qPrintable(QStringLiteral("state %1 differs:\n  got  %2\n  want %3\nwhole recording:\n%4")
                         .arg(k)
                         .arg(actual[k], want[k], asLiterals(actual))));
  }
  if (actual.size() != want.size())
    QFAIL(qPrintable(QStringLiteral("%1 states recorded, %2 expected; whole recording:\n%3")
                         .arg(actual.size())
                         .arg(want.size())
                         .arg(asLiterals(actual))));
}

void doubleClick(QListWidget* list, const QString& text) {
  const auto found = list->findItems(text, Qt::MatchExactly);
  QVERIFY(!found.isEmpty());
  QTest::mouseDClick(list->viewport(), Qt::LeftButton, {},
                     list->visualItemRect(found.first()).center());
}

}  // namespace

class TestScreenStates : public QObject {
  Q_OBJECT

 private slots:
  void find() {
    FindFixture fx(kTables);
    auto& form = fx.openWith("old.example.com", "new.example.org");
    Recorder rec;
    rec.attach(fx, form);
    fx.ui.expectBox();
    form.cmdFind_Click();
    rec.end(form);
    compareRecording(rec.lines, {}, kFindRecording);
  }

  void batchReplace() {
    FindFixture fx(kTables);
    auto& form = fx.openWith("old.example.com", "new.example.org");
    Recorder rec;
    rec.attach(fx, form);
    fx.ui.expectBox(vbYes);
    fx.ui.expectBox();
    form.Command5_Click();
    rec.end(form);
    compareRecording(
        rec.lines,
        {
            "yield F3=处理进程|A=0/100|B=0/100|L5=|LF=表：0  记录：0|T1=SQL\\n|L2=表：|ff-|c6-",
            "box "
            "36|注意:|您确定要开始批量替换数据吗?此操作将不可恢复."
            "\\r\\r您可以选择否，然后手动双击要处理的数据表。\\r将把“old.example.com”替换为“new."
            "example.org”，数据库：DB（sqlite）。替换后可在数据表上右击“撤销上次替换...”恢复。",
            "yield F3=处理进程|A=0/100|B=0/100|L5=|LF=表：0  记录：0|T1~|L2=表：|ff-|c6+",
            "yield F3=处理进程: articles -> id|A=0/3|B=1/5|L5=|LF=表：0  "
            "记录：0|T1~|L2=表：|ff-|c6+",
            "yield F3=处理进程: articles -> title|A=1/3|B=1/5|L5=|LF=表：0  "
            "记录：0|T1~|L2=表：|ff-|c6+",
            "yield F3=处理进程: articles -> body|A=2/3|B=1/5|L5=|LF=表：0  "
            "记录：0|T1~|L2=表：|ff-|c6+",
            "yield F3=处理进程: articles -> body|A=2/3|B=1/5|L5=articles|LF=表：1 "
            "记录：2|T1=select count(*) from articles where [title] like '%old.example.com%' or "
            "cast([body] as varchar(8000)) like '%old.example.com%'|L2=表：|ff+|c6+",
            "yield F3=处理进程: articles -> body|A=3/3|B=0/5|L5=articles|LF=表：1 "
            "记录：2|T1~|L2=表：|ff+|c6+",
            "yield F3=处理进程: numbers -> id|A=0/3|B=0/5|L5=articles|LF=表：1 "
            "记录：2|T1~|L2=表：1|ff+|c6+",
            "yield F3=处理进程: numbers -> n|A=1/3|B=0/5|L5=articles|LF=表：1 "
            "记录：2|T1~|L2=表：1|ff+|c6+",
            "yield F3=处理进程: numbers -> r|A=2/3|B=0/5|L5=articles|LF=表：1 "
            "记录：2|T1~|L2=表：1|ff+|c6+",
            "yield F3=处理进程: numbers -> r|A=3/3|B=1/5|L5=articles|LF=表：1 "
            "记录：2|T1~|L2=表：1|ff+|c6+",
            "yield F3=处理进程: notes -> id|A=0/3|B=1/5|L5=articles|LF=表：1 "
            "记录：2|T1~|L2=表：2|ff+|c6+",
            "yield F3=处理进程: notes -> note|A=1/3|B=1/5|L5=articles|LF=表：1 "
            "记录：2|T1~|L2=表：2|ff+|c6+",
            "yield F3=处理进程: notes -> tag|A=2/3|B=1/5|L5=articles|LF=表：1 "
            "记录：2|T1~|L2=表：2|ff+|c6+",
            "yield F3=处理进程: notes -> tag|A=3/3|B=2/5|L5=articles|LF=表：1 记录：2|T1=select "
            "count(*) from notes where cast([note] as varchar(8000)) like "
            "'%old.example.com%' or [tag] like '%old.example.com%'|L2=表：2|ff+|c6+",
            "yield F3=处理进程: guarded -> id|A=0/2|B=2/5|L5=articles|LF=表：1 "
            "记录：2|T1~|L2=表：3|ff+|c6+",
            "yield F3=处理进程: guarded -> v|A=1/2|B=2/5|L5=articles|LF=表：1 "
            "记录：2|T1~|L2=表：3|ff+|c6+",
            "yield F3=处理进程: guarded -> v|A=1/2|B=2/5|L5=articles,guarded|LF=表：2 "
            "记录：4|T1=select count(*) from guarded where [v] like "
            "'%old.example.com%'|L2=表：3|ff+|c6+",
            "yield F3=处理进程: guarded -> v|A=1/2|B=3/5|L5=articles,guarded|LF=表：2 "
            "记录：4|T1~|L2=表：3|ff+|c6+",
            "yield F3=处理进程: guarded -> v|A=1/2|B=4/5|L5=articles,guarded|LF=表：2 "
            "记录：4|T1~|L2=表：4|ff+|c6+",
            "yield F3=处理进程: links -> id|A=0/2|B=4/5|L5=articles,guarded|LF=表：2 "
            "记录：4|T1~|L2=表：5|ff+|c6+",
            "yield F3=处理进程: links -> url|A=1/2|B=4/5|L5=articles,guarded|LF=表：2 "
            "记录：4|T1~|L2=表：5|ff+|c6+",
            "yield F3=处理进程: links -> url|A=1/2|B=4/5|L5=articles,guarded,links|LF=表：3 "
            "记录：5|T1=select count(*) from links where cast([url] as varchar(8000)) like "
            "'%old.example.com%'|L2=表：5|ff+|c6+",
            "yield F3=处理进程: links -> url|A=2/2|B=5/5|L5=articles,guarded,links|LF=表：3 "
            "记录：5|T1~|L2=表：5|ff+|c6+",
            "box 48|信息|任务完成!共检索数据表:6,字段:6; 替换：3 个表, 5 条记录.\\r\\n其中 1 "
            "个表替换失败，详见SQL窗口。",
            "yield F3=处理进程: links -> url|A=2/2|B=5/5|L5=articles,guarded,links|LF=表：3 "
            "记录：5|T1~|L2=表：6|ff+|c6-",
            "end F3=处理进程|A=2/2|B=5/5|L5=articles,guarded,links|LF=表：3 "
            "记录：5|T1~|L2=表：6|ff+|c6-|sql+|T2=-- guarded: HY000 [SQLite]guarded rows stay "
            "(19)\\nUpdate [guarded] set [v]=Replace([v],'old.example.com','new.example.org') "
            "where [v] like '%old.example.com%'\\n\\n",
        });
    // What the boxes say happened did happen.
    QCOMPARE(fx.countContaining("articles", {"title", "body"}, "old.example.com"), 0ll);
    QCOMPARE(fx.countContaining("links", {"url"}, "old.example.com"), 0ll);
    QCOMPARE(fx.countContaining("guarded", {"v"}, "old.example.com"), 2ll);
  }

  // A find, a double-click on two found tables (the first connects again,
  // the second is refused by the trigger), then the batch replace of the
  // found tables, stopped after its first table.
  void doubleClickThenResultModeStopped() {
    FindFixture fx(kTables);
    auto& form = fx.openWith("old.example.com", "new.example.org");
    QVERIFY(QTest::qWaitForWindowActive(&form));
    Recorder rec;
    rec.attach(fx, form);
    fx.ui.expectBox();
    form.cmdFind_Click();
    rec.end(form);
    fx.ui.expectBox();
    doubleClick(form.List5, "articles");
    rec.end(form);
    fx.ui.expectBox();
    doubleClick(form.List5, "guarded");
    rec.end(form);
    form.OptB->setChecked(true);
    form.FrameSQL->hide();
    const auto recordYield = fx.ui.onYield;
    fx.ui.onYield = [&](int n) {
      recordYield(n);
      if (form.Command6->isVisible() &&
          form.Frame3->title().startsWith(QStringLiteral("处理进程: articles ->")))
        QTest::mouseClick(form.Command6, Qt::LeftButton);
    };
    fx.ui.expectBox(vbYes);
    fx.ui.expectBox();
    form.Command5_Click();
    rec.end(form);
    compareRecording(
        rec.lines,
        {
            "yield F3=处理进程|A=2/2|B=6/6|L5=articles,guarded,links|LF=表：3 "
            "记录：5|T1~|L2=表：6|ff+|c6-",
            "yield F3=处理进程: articles -> id|A=0/3|B=6/6|L5=articles,guarded,links|LF=表：3 "
            "记录：5|T1~|L2=表：6|ff+|c6-",
            "yield F3=处理进程: articles -> title|A=1/3|B=6/6|L5=articles,guarded,links|LF=表：3 "
            "记录：5|T1~|L2=表：6|ff+|c6-",
            "yield F3=处理进程: articles -> body|A=2/3|B=6/6|L5=articles,guarded,links|LF=表：3 "
            "记录：5|T1~|L2=表：6|ff+|c6-",
            "yield F3=处理进程: articles -> "
            "body|A=2/3|B=6/6|L5=articles,guarded,links,articles|LF=表：4 记录：7|T1=select "
            "count(*) from articles where [title] like '%old.example.com%' or cast([body] as "
            "varchar(8000)) like '%old.example.com%'|L2=表：6|ff+|c6-",
            "box 64|Trellick|数据表 articles 批量替换完成.",
            "end F3=处理进程: articles -> "
            "body|A=3/3|B=6/6|L5=articles,guarded,links,articles|LF=表：4 "
            "记录：7|T1~|L2=表：6|ff+|c6-|sql-|T2=Text2",
            "yield F3=处理进程: guarded -> "
            "id|A=0/2|B=6/6|L5=articles,guarded,links,articles|LF=表：4 "
            "记录：7|T1~|L2=表：6|ff+|c6-",
            "yield F3=处理进程: guarded -> "
            "v|A=1/2|B=6/6|L5=articles,guarded,links,articles|LF=表：4 "
            "记录：7|T1~|L2=表：6|ff+|c6-",
            "yield F3=处理进程: guarded -> "
            "v|A=1/2|B=6/6|L5=articles,guarded,links,articles,guarded|LF=表：5 记录：9|T1=select "
            "count(*) from guarded where [v] like '%old.example.com%'|L2=表：6|ff+|c6-",
            "box 16|Trellick|数据表 guarded 替换未完成：\\r\\n-- guarded: HY000 [SQLite]guarded "
            "rows stay (19)\\r\\nUpdate [guarded] set "
            "[v]=Replace([v],'old.example.com','new.example.org') where [v] like "
            "'%old.example.com%'",
            "end F3=处理进程: guarded -> "
            "v|A=1/2|B=6/6|L5=articles,guarded,links,articles,guarded|LF=表：5 "
            "记录：9|T1~|L2=表：6|ff+|c6-|sql+|T2=-- guarded: HY000 [SQLite]guarded rows stay "
            "(19)\\nUpdate [guarded] set [v]=Replace([v],'old.example.com','new.example.org') "
            "where [v] like '%old.example.com%'\\n\\n",
            "yield F3=处理进程: guarded -> "
            "v|A=1/2|B=6/6|L5=articles,guarded,links,articles,guarded|LF=表：5 "
            "记录：9|T1~|L2=表：6|ff+|c6-",
            "box "
            "36|注意:|您确定要开始批量替换数据吗?此操作将不可恢复."
            "\\r\\r您可以选择否，然后手动双击要处理的数据表。\\r将把“old.example.com”替换为“new."
            "example.org”，数据库：DB（sqlite）。替换后可在数据表上右击“撤销上次替换...”恢复。",
            "yield F3=处理进程: guarded -> "
            "v|A=1/2|B=6/6|L5=articles,guarded,links,articles,guarded|LF=表：5 "
            "记录：9|T1~|L2=表：6|ff+|c6+",
            "yield F3=处理进程: articles -> "
            "id|A=0/3|B=1/5|L5=articles,guarded,links,articles,guarded|LF=表：5 "
            "记录：9|T1~|L2=表：6|ff+|c6+",
            "yield F3=处理进程: articles -> "
            "title|A=1/3|B=1/5|L5=articles,guarded,links,articles,guarded|LF=表：5 "
            "记录：9|T1~|L2=表：6|ff+|c6-",
            "yield F3=处理进程: articles -> "
            "body|A=2/3|B=1/5|L5=articles,guarded,links,articles,guarded|LF=表：5 "
            "记录：9|T1~|L2=表：6|ff+|c6-",
            "yield F3=处理进程: articles -> "
            "body|A=3/3|B=0/5|L5=articles,guarded,links,articles,guarded|LF=表：5 "
            "记录：9|T1=select count(*) from articles where [title] like '%old.example.com%' or "
            "cast([body] as varchar(8000)) like '%old.example.com%'|L2=表：6|ff+|c6-",
            "box 64|信息|用户中止!共检索数据表:5,字段:2; 替换：5 个表, 0 条记录.",
            "yield F3=处理进程: articles -> "
            "body|A=3/3|B=5/5|L5=articles,guarded,links,articles,guarded|LF=表：5 "
            "记录：9|T1~|L2=表：6|ff+|c6-",
            "end F3=处理进程|A=3/3|B=5/5|L5=articles,guarded,links,articles,guarded|LF=表：5 "
            "记录：9|T1~|L2=表：6|ff+|c6-|sql-|T2=-- guarded: HY000 [SQLite]guarded rows stay "
            "(19)\\nUpdate [guarded] set [v]=Replace([v],'old.example.com','new.example.org') "
            "where [v] like '%old.example.com%'\\n\\n",
        },
        kFindRecording);
    QCOMPARE(fx.countContaining("articles", {"title", "body"}, "old.example.com"), 0ll);
    QCOMPARE(fx.countContaining("links", {"url"}, "old.example.com"), 1ll);
  }
};

QTEST_MAIN(TestScreenStates)
#include "test_screen_states.moc"
