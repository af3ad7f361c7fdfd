#include "scripted_ui.h"

#include <QCoreApplication>
#include <QDialog>
#include <QtTest>

int ScriptedUi::MsgBox(QWidget*, const QString& prompt, int style, const QString& title) {
  RecordedBox box{prompt, style, title};
  boxes.append(box);
  if (onBox) onBox(box);
  if (answers.isEmpty()) {
    unexpected.append(box);
    if (failOnUnexpected)
      QTest::qFail(qPrintable(QStringLiteral("unexpected message box (style %1, title %2): %3")
                                  .arg(style)
                                  .arg(title, prompt)),
                   __FILE__, __LINE__);
    return trellick::app::vbOK;
  }
  return answers.takeFirst();
}

void ScriptedUi::DoEvents() {
  ++yields;
  QCoreApplication::processEvents(QEventLoop::AllEvents);
  if (onYield) onYield(yields);
}

QString ScriptedUi::describe() const {
  QString out;
  for (const auto& b : boxes)
    out += QString::number(b.style) + QLatin1Char('|') + b.title + QLatin1Char('|') + b.prompt +
           QLatin1Char('\n');
  return out;
}

int ScriptedUi::Exec(QDialog& dialog) {
  dialogTitles.append(dialog.windowTitle());
  if (onDialog) onDialog(dialog);
  return QDialog::Accepted;
}
