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
