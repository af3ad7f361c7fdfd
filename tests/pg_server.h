// A throwaway PostgreSQL 15 server for one test process: initdb and pg_ctl in a
// fresh temporary directory, listening on 127.0.0.1 on a free port with password
// authentication. Nothing depends on a system service, a cluster under
// /etc/postgresql or an odbc.ini. As root the server runs as "nobody", since
// PostgreSQL refuses to run as root. A detached watcher stops the server if the
// test process dies without running the destructor.
#pragma once

#include <QString>
#include <QStringList>
#include <QTemporaryDir>

class PgServer {
 public:
  // Starts the server and creates the login role user() and the database
  // database() owned by it. ok() is false if any step failed; errorText() says
  // which (a missing PostgreSQL binary is named there).
  PgServer();
  ~PgServer();
  PgServer(const PgServer&) = delete;
  PgServer& operator=(const PgServer&) = delete;

  bool ok() const { return ok_; }
  QString errorText() const { return error_; }

  int port() const { return port_; }
  QString host() const { return QStringLiteral("127.0.0.1"); }
  // The login role and database the product connects with.
  QString user() const { return QStringLiteral("trellick"); }
  QString password() const { return QStringLiteral("tr3llick-pw"); }
  QString database() const { return QStringLiteral("shop"); }
  // The bootstrap superuser, for set-up the test role may not do.
  QString superuser() const { return QStringLiteral("postgres"); }
  QString superuserPassword() const { return QStringLiteral("su-pw-7"); }
  // "postgresql:127.0.0.1:PORT": host and port as the product's server field takes them.
  QString serverField() const;

  // Runs sql through the real psql client as the superuser (-X -A -t -q,
  // ON_ERROR_STOP), on database() unless one is named. Returns its standard
  // output without the final newline; lastError() has stderr and the exit
  // status when it failed.
  QString psql(const QString& sql, const QString& database = {}) const;
  // The same, saying whether psql succeeded; the output goes to *out if given.
  bool psqlOk(const QString& sql, const QString& database = {}, QString* out = nullptr) const;
  QString lastError() const { return lastError_; }

  // Creates a database owned by user(); false (and lastError()) on failure.
  bool createDatabase(const QString& name) const;

  // The name under which the Unicode psqlodbc driver is registered in
  // /etc/odbcinst.ini, or its library path when it is not registered.
  static QString odbcDriver();
  // A connection string for the Unicode psqlodbc driver as user(); extra is
  // appended as is ("Key=value;...").
  QString odbcConnectionString(const QString& database = {}, const QString& extra = {}) const;

  // The server's own log, for a failure message.
  QString serverLog() const;

 private:
  bool start();
  bool runStep(const QString& program, const QStringList& args, int timeoutMs);
  void startWatcher();
  void stop();
  QStringList asServerUser(const QString& program, const QStringList& args) const;

  QTemporaryDir dir_;
  bool ok_ = false;
  bool started_ = false;
  bool dropPrivileges_ = false;
  int port_ = 0;
  QString error_;
  mutable QString lastError_;
};
