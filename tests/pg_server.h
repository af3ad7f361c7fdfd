// The throwaway PostgreSQL server (support/pg_server.h) with a Qt interface,
// for the Qt tests and the benchmark.
#pragma once

#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include "support/pg_server.h"

class PgServer {
 public:
  bool ok() const { return s_.ok(); }
  QString errorText() const { return q(s_.errorText()); }

  int port() const { return s_.port(); }
  QString host() const { return q(s_.host()); }
  QString user() const { return q(s_.user()); }
  QString password() const { return q(s_.password()); }
  QString database() const { return q(s_.database()); }
  QString superuser() const { return q(s_.superuser()); }
  QString superuserPassword() const { return q(s_.superuserPassword()); }
  QString serverField() const { return q(s_.serverField()); }

  QString psql(const QString& sql, const QString& database = {}) const {
    return q(s_.psql(sql.toStdString(), database.toStdString()));
  }
  bool psqlOk(const QString& sql, const QString& database = {}, QString* out = nullptr) const;
  QString lastError() const { return q(s_.lastError()); }
  bool createDatabase(const QString& name) const { return s_.createDatabase(name.toStdString()); }

  static QString odbcDriver() { return q(testsupport::PgServer::odbcDriver()); }
  QString odbcConnectionString(const QString& database = {}, const QString& extra = {}) const {
    return q(s_.odbcConnectionString(database.toStdString(), extra.toStdString()));
  }
  QString serverLog() const { return q(s_.serverLog()); }

 private:
  static QString q(const std::string& s) { return QString::fromStdString(s); }
  testsupport::PgServer s_;
};
