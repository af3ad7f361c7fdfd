// The throwaway MariaDB server (support/mariadb_server.h) with a Qt interface,
// for the Qt tests and the benchmark.
#pragma once

#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include "support/mariadb_server.h"

class MariaDbServer {
 public:
  bool ok() const { return s_.ok(); }
  QString errorText() const { return q(s_.errorText()); }

  QString host() const { return q(s_.host()); }
  int port() const { return s_.port(); }
  QString user() const { return q(s_.user()); }
  QString password() const { return q(s_.password()); }
  QString database() const { return q(s_.database()); }
  QString serverField() const { return q(s_.serverField()); }

  // Standard output without its last newline; a null string on failure, with
  // *error (if given) set to the client's message, else logged as a warning.
  QString client(const QString& sql, const QString& database = {}, QString* error = nullptr) const;
  bool createDatabase(const QString& name, QString* error = nullptr) const;

  static QString odbcDriver() { return q(testsupport::MariaDbServer::odbcDriver()); }
  QString odbcConnectionString(const QString& database = QStringLiteral("shop")) const {
    return q(s_.odbcConnectionString(database.toStdString()));
  }
  QString serverLog() const { return q(s_.serverLog()); }
  QString directory() const { return q(s_.directory()); }
  qint64 serverPid() const { return s_.serverPid(); }

 private:
  static QString q(const std::string& s) { return QString::fromStdString(s); }
  testsupport::MariaDbServer s_;
};
