#include <QApplication>

#include "app/form1.h"
#include "app/settings.h"
#include "app/translations.h"
#include "app/ui.h"

int main(int argc, char* argv[]) {
  QApplication app(argc, argv);
  trellick::app::InstallQtTranslations();
  trellick::app::DesktopUi ui;
  trellick::app::SettingsStore settings;
  trellick::app::Form1 window(ui, settings);
  window.show();
  return app.exec();
}
