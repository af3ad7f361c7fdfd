#include "app/ui.h"

#include <unistd.h>

#include <QCoreApplication>
#include <QDesktopServices>
#include <QDialog>
#include <QMessageBox>
#include <QUrl>
#include <cstdio>

namespace trellick::app {

int DesktopUi::MsgBox(QWidget* parent, const QString& prompt, int style, const QString& title) {
  QMessageBox::Icon icon = QMessageBox::NoIcon;
  switch (style & 0x70) {
    case vbCritical:
      icon = QMessageBox::Critical;
      break;
    case vbQuestion:
      icon = QMessageBox::Question;
      break;
    case vbExclamation:
      icon = QMessageBox::Warning;
      break;
    case vbInformation:
      icon = QMessageBox::Information;
      break;
    default:
      break;
  }
  QMessageBox::StandardButtons buttons = QMessageBox::Ok;
  switch (style & 0x7) {
    case vbOKCancel:
      buttons = QMessageBox::Ok | QMessageBox::Cancel;
      break;
    case vbYesNoCancel:
      buttons = QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel;
      break;
    case vbYesNo:
      buttons = QMessageBox::Yes | QMessageBox::No;
      break;
    default:
      break;
  }
  // Carriage returns alone end lines in our prompts.
  QString text = prompt;
  text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
  text.replace(QLatin1Char('\r'), QLatin1Char('\n'));
  QMessageBox box(icon, title, text, buttons, parent);
  box.setTextFormat(Qt::PlainText);
  switch (box.exec()) {
    case QMessageBox::Yes:
      return vbYes;
    case QMessageBox::No:
      return vbNo;
    case QMessageBox::Cancel:
      return vbCancel;
    default:
      return vbOK;
  }
}

void DesktopUi::ShellOpen(const QString& url) {
  // A failure to open the browser is not reported.
  QDesktopServices::openUrl(QUrl(url));
}

void DesktopUi::DoEvents() {
  QCoreApplication::processEvents(QEventLoop::AllEvents);
  lastTaken_.start();
}

void DesktopUi::DoEventsSoon() {
  if (lastTaken_.isValid() && lastTaken_.elapsed() < kSoonMs) return;
  DoEvents();
}

void DesktopUi::End() {
  std::fflush(nullptr);
  ::_exit(0);
}

int Ui::Exec(QDialog& dialog) { return dialog.exec(); }

}  // namespace trellick::app
