// Renders the real window with its saved fields and writes it to a PNG, for
// the README.
#include <QApplication>
#include <QPixmap>
#include <QScreen>
#include <QTimer>
#include <cstdio>
#include <string>

#include "app/form1.h"
#include "app/translations.h"

int main(int argc, char* argv[]) {
  // usage: trellick-screenshot [--connect] output.png
  bool connect = argc > 2 && std::string(argv[1]) == "--connect";
  const char* out = argv[argc - 1];
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s [--connect] output.png\n", argv[0]);
    return 2;
  }
  QApplication app(argc, argv);
  trellick::app::InstallQtTranslations();
  trellick::app::DesktopUi ui;
  trellick::app::SettingsStore settings;
  trellick::app::Form1 window(ui, settings);
  window.show();
  if (connect) window.LinkConn();
  int rc = 1;
  QTimer::singleShot(1500, [&] {
    QPixmap shot = window.grab();
    rc = shot.save(QString::fromLocal8Bit(out), "PNG") ? 0 : 1;
    app.quit();
  });
  app.exec();
  return rc;
}
