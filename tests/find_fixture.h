// A window on a real SQLite file, and independent readings of that file.
#pragma once

#include <QLineEdit>
#include <map>
#include <string>
#include <vector>

#include "testdb.h"
#include "window_fixture.h"

struct FindFixture : WindowFixture {
  testdb::Dir dir;
  std::string path;

  explicit FindFixture(const std::string& sql) : path(dir.file("data.db")) {
    testdb::exec(path, sql);
  }

  trellick::app::Form1& openWith(const QString& find, const QString& replace = QString()) {
    auto& f = open();
    f.txtServerName->setText(QStringLiteral("sqlite"));
    f.txtUsername->setText(QStringLiteral("tester"));
    f.txtDatabaseName->setText(QString::fromStdString(path));
    f.txt1->setText(find);
    f.txt2->setText(replace);
    return f;
  }

  // Rows whose listed columns contain `text`, counted with instr(), not
  // with the statements under test.
  long long countContaining(const std::string& table, const std::vector<std::string>& columns,
                            const std::string& text) const;

  // Every value of every table, exactly (SQLite's quote() of each value),
  // keyed by table and rowid.
  using Dump = std::map<std::string, std::map<std::string, std::vector<std::string>>>;
  Dump dump() const;
};

// The dump as it must be after replacing `find` by `replace` in the given
// columns of the rows that contain it in any of them.
FindFixture::Dump expectedAfterReplace(
    const FindFixture::Dump& before,
    const std::map<std::string, std::map<std::string, int>>& columnIndexes, const std::string& find,
    const std::string& replace);

std::string replaceAllText(const std::string& s, const std::string& find,
                           const std::string& replace);

// The final texts of a find and of a batch replace.
inline QString found(long long tables, long long records, bool stopped = false) {
  return (stopped ? QStringLiteral("用户中止!共找到 ") : QStringLiteral("任务完成!共找到 ")) +
         QString::number(tables) + QStringLiteral(" 个表, ") + QString::number(records) +
         QStringLiteral(" 条记录 中包含查找的字符。");
}

inline QString totals(long long tables, long long fields, long long replaced, long long records,
                      bool stopped = false) {
  return (stopped ? QStringLiteral("用户中止!") : QStringLiteral("任务完成!")) +
         QStringLiteral("共检索数据表:%1,字段:%2; 替换：%3 个表, %4 条记录.")
             .arg(tables)
             .arg(fields)
             .arg(replaced)
             .arg(records);
}
