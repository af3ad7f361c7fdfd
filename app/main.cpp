#include <QApplication>
#include <cstdio>
#include <cstring>

#include "app/form1.h"
#include "app/settings.h"
#include "app/translations.h"
#include "app/ui.h"

#ifndef TRELLICK_VERSION
#define TRELLICK_VERSION "unknown"
#endif

namespace {

// Read before Qt starts, so the help and the version need no display (the
// manual page is made from them at build time).
const char* const kWindowHelp =
    "Usage: trellick [Qt options]\n"
    "\n"
    "Opens the Trellick window: type a server, a database, a login and its\n"
    "password, a text to find and its replacement; the window lists the user\n"
    "tables, counts in every text column of every table the records that hold\n"
    "the text, replaces it with one update statement per table, lists the\n"
    "statements that failed, and clears the transaction log and shrinks the\n"
    "database.\n"
    "\n"
    "Server forms:\n"
    "  sqlite                  a SQLite file, named in the database field\n"
    "  HOST or HOST,PORT       SQL Server (through FreeTDS)\n"
    "  postgresql:HOST[:PORT]  PostgreSQL\n"
    "  mariadb:HOST[:PORT]     MariaDB or MySQL\n"
    "  dsn:NAME                an ODBC data source set up on this machine\n"
    "\n"
    "Every replace keeps the old values of the rows it changes in the journal\n"
    "($XDG_DATA_HOME/Trellick/journal.db, readable by you only), shared with\n"
    "trellick-cli: a table's rows can be previewed before and a run taken back\n"
    "after, from the table's context menu and the runs list.\n"
    "\n"
    "Options:\n"
    "  --help     show this help and exit\n"
    "  --version  show the version and exit\n"
    "Qt's own options (-platform, -style, ...) are taken as well.\n"
    "\n"
    "See also trellick-cli(1), the same work from the command line.\n";

}  // namespace

int main(int argc, char* argv[]) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
      std::fputs(kWindowHelp, stdout);
      return 0;
    }
    if (std::strcmp(argv[i], "--version") == 0) {
      std::printf("trellick %s\n", TRELLICK_VERSION);
      return 0;
    }
  }
  QApplication app(argc, argv);
  trellick::app::InstallQtTranslations();
  trellick::app::DesktopUi ui;
  trellick::app::SettingsStore settings;
  trellick::app::Form1 window(ui, settings);
  window.show();
  return app.exec();
}
