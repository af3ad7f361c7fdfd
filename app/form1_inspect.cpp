// Inspecting one table: its column list, and replacing in its current row
// through an updatable record set. Each step runs even when the one before
// failed; nothing is reported.
#include <QLineEdit>
#include <QListWidget>

#include "app/form1.h"
#include "app/text.h"
#include "search/statements.h"

namespace trellick::app {
namespace {

// Runs one step; a failure is passed over.
template <class F>
void step(F&& f) {
  try {
    f();
  } catch (...) {
  }
}

bool isPlainTextCode(int code) {
  return code == 129 || code == 130 || code == 139 || code == 200 || code == 202;
}

search::Engine engineOf(db::Connection& c) {
  return c.dialect() == db::Dialect::SQLite ? search::Engine::SQLite : search::Engine::SqlServer;
}

}  // namespace

void Form1::LoadTable(const QString& tabname) {
  step([&] {
    SQL = QStringLiteral("select * from ") +
          fromUtf8(search::tableReference(utf8(tabname), engineOf(*conn)));
  });
  // Whatever rs held before must not be listed as this table's columns.
  rs.release();
  // The columns are described without a row of the table being read.
  step([&] {
    db::OpenOptions describe;
    describe.describeOnly = true;
    rs.reset(conn->Execute(utf8(SQL), describe));
  });
  step([&] { List2->clear(); });
  int count = 0;
  step([&] { count = rs->Fields().Count(); });
  for (j = 0; j < count; ++j) {
    step([&] {
      db::Field f = rs->Fields().Item(j);
      List2->addItem(fromUtf8(f.Name()) + QLatin1Char('_') + QString::number(f.Type()));
    });
  }
  step([&] { rs->Close(); });
  rs.release();
}

void Form1::List1_Click() {
  if (runActive_) return;
  const auto selected = List1->selectedItems();
  LoadTable(selected.isEmpty() ? QString() : selected.first()->text());
}

void Form1::UpdateTable(const QString& tabname) {
  QString find, replacement;
  step([&] {
    find = TrimSpaces(txt1->text());
    replacement = TrimSpaces(txt2->text());
  });
  step([&] {
    SQL = QStringLiteral("select * from ") +
          fromUtf8(search::tableReference(utf8(tabname), engineOf(*conn)));
  });
  // A record set left open elsewhere must not be written in this table's
  // place when the open below fails.
  step([&] {
    if (rs.present() && rs->State() == db::adStateOpen) rs->Close();
  });
  step([&] { rs->Open(utf8(SQL), *conn, db::adOpenKeyset, db::adLockOptimistic); });
  step([&] { List2->clear(); });
  int count = 0;
  step([&] {
    if (rs->State() == db::adStateOpen) count = rs->Fields().Count();
  });
  for (j = 0; j < count; ++j) {
    step([&] {
      db::Field f = rs->Fields().Item(j);
      List2->addItem(fromUtf8(f.Name()) + QLatin1Char('_') + QString::number(f.Type()));
    });
    step([&] { iname = fromUtf8(rs->Fields().Item(j).Name()); });
    step([&] { itype = static_cast<int16_t>(rs->Fields().Item(j).Type()); });
    // A value that cannot be read (no row) counts as empty.
    ivalue = db::Variant();
    step([&] { ivalue = rs->Fields().Item(j).Value(); });
    step([&] { MsgBox(QString::number(itype), vbOKOnly); });
    if (!isPlainTextCode(itype)) {
      step([&] { List2->addItem(QStringLiteral("字段 ") + iname + QStringLiteral(" 跳过")); });
      continue;
    }
    const QString oldValue = fromUtf8(ivalue.text());
    if (ivalue.IsNull() || oldValue.isEmpty()) {
      step([&] { List2->addItem(QStringLiteral("字段 ") + iname + QStringLiteral("=")); });
      continue;
    }
    nvalue = oldValue;
    if (!find.isEmpty()) nvalue.replace(find, QString(), Qt::CaseSensitive);
    step([&] {
      MsgBox(QStringLiteral("ivalue=") + oldValue + QStringLiteral(";nvalue=") + nvalue, vbOKOnly);
    });
    if (!replacement.isEmpty()) nvalue.replace(replacement, QString(), Qt::CaseSensitive);
    step([&] {
      MsgBox(QStringLiteral("ivalue=") + oldValue + QStringLiteral(";nvalue=") + nvalue, vbOKOnly);
    });
    step([&] { rs->Fields().Item(utf8(iname)).SetValue(utf8(nvalue)); });
    step([&] { List2->addItem(QStringLiteral("字段 ") + iname + QStringLiteral("=") + nvalue); });
  }
  step([&] { rs->Update(); });
  step([&] { rs->Close(); });
}

void Form1::Command2_Click() {
  if (runActive_) return;
  const auto selected = List1->selectedItems();
  UpdateTable(selected.isEmpty() ? QString() : selected.first()->text());
}

}  // namespace trellick::app
