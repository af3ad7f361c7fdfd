// One table at a time: its column list, and replacing in its current row
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

}  // namespace

void Form1::LoadTable(const QString& tabname, const QString& schema) {
  SQL = fromUtf8(search::columnQueryOf({utf8(tabname), utf8(schema)}, StatementEngine()));
  // Whatever rs held before must not be listed as this table's columns.
  rs.release();
  // The columns are described without a row of the table being read.
  step([&] {
    db::OpenOptions describe;
    describe.describeOnly = true;
    rs.reset(conn->Execute(utf8(SQL), describe));
  });
  List2->clear();
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
  if (selected.isEmpty())
    LoadTable(QString());
  else
    LoadTable(selected.first()->text(), SchemaOf(selected.first()));
}

void Form1::UpdateTable(const QString& tabname, const QString& schema) {
  const QString find = TrimSpaces(txt1->text());
  const QString replacement = TrimSpaces(txt2->text());
  SQL = fromUtf8(search::columnQueryOf({utf8(tabname), utf8(schema)}, StatementEngine()));
  // A record set left open elsewhere must not be written in this table's
  // place when the open below fails.
  step([&] {
    if (rs.present() && rs->State() == db::adStateOpen) rs->Close();
  });
  step([&] {
    // Where the row is written back by its primary key, the key is looked
    // up in the table's own schema.
    db::OpenOptions row;
    row.table = utf8(tabname);
    row.schema = schema.isEmpty() ? conn->DefaultSchema() : utf8(schema);
    rs->Open(utf8(SQL), *conn, db::adOpenKeyset, db::adLockOptimistic, -1, row);
  });
  List2->clear();
  int count = 0;
  step([&] {
    if (rs->State() == db::adStateOpen) count = rs->Fields().Count();
  });
  for (j = 0; j < count; ++j) {
    bool described = false;
    step([&] {
      db::Field f = rs->Fields().Item(j);
      iname = fromUtf8(f.Name());
      itype = static_cast<int16_t>(f.Type());
      List2->addItem(iname + QLatin1Char('_') + QString::number(itype));
      described = true;
    });
    if (!described) continue;
    // A value that cannot be read (no row) counts as empty.
    ivalue = db::Variant();
    step([&] { ivalue = rs->Fields().Item(j).Value(); });
    MsgBox(QString::number(itype), vbOKOnly);
    if (search::searchGroup(itype) != search::Group::Plain) {
      List2->addItem(QStringLiteral("字段 ") + iname + QStringLiteral(" 跳过"));
      continue;
    }
    const QString oldValue = fromUtf8(ivalue.text());
    if (ivalue.IsNull() || oldValue.isEmpty()) {
      List2->addItem(QStringLiteral("字段 ") + iname + QStringLiteral("="));
      continue;
    }
    nvalue = oldValue;
    if (!find.isEmpty()) nvalue.replace(find, QString(), Qt::CaseSensitive);
    MsgBox(QStringLiteral("ivalue=") + oldValue + QStringLiteral(";nvalue=") + nvalue, vbOKOnly);
    if (!replacement.isEmpty()) nvalue.replace(replacement, QString(), Qt::CaseSensitive);
    MsgBox(QStringLiteral("ivalue=") + oldValue + QStringLiteral(";nvalue=") + nvalue, vbOKOnly);
    step([&] { rs->Fields().Item(utf8(iname)).SetValue(utf8(nvalue)); });
    List2->addItem(QStringLiteral("字段 ") + iname + QStringLiteral("=") + nvalue);
  }
  step([&] { rs->Update(); });
  step([&] { rs->Close(); });
}

void Form1::Command2_Click() {
  if (runActive_) return;
  const auto selected = List1->selectedItems();
  if (selected.isEmpty())
    UpdateTable(QString());
  else
    UpdateTable(selected.first()->text(), SchemaOf(selected.first()));
}

}  // namespace trellick::app
