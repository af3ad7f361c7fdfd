// A throwaway MariaDB server for one test process: its own data directory,
// socket and port in a fresh temporary directory, no configuration files read,
// real password logins. The server goes away with the object, and with the
// test process if that dies first.
#pragma once

#include <QString>
#include <QStringList>
#include <QTemporaryDir>

class QProcess;

class MariaDbServer {
 public:
  // Creates the data directory, starts the server on a free loopback port and
  // waits until it accepts; then creates database "shop" (utf8mb4, the
  // server's case-insensitive default collation) and user "trellick" with all
  // privileges on it. ok() is false if any of that failed; errorText() says
  // what, naming a missing program.
  MariaDbServer();
  ~MariaDbServer();
  MariaDbServer(const MariaDbServer&) = delete;
  MariaDbServer& operator=(const MariaDbServer&) = delete;

  bool ok() const { return ok_; }
  QString errorText() const { return error_; }

  QString host() const { return QStringLiteral("127.0.0.1"); }
  int port() const { return port_; }
  QString user() const { return QStringLiteral("trellick"); }
  QString password() const { return QStringLiteral("Tr3llick-pw"); }
  QString database() const { return QStringLiteral("shop"); }
  // "mariadb:127.0.0.1:PORT": the server as the product's server field takes it.
  QString serverField() const;

  // Runs sql through the real command-line client, connected as root over the
  // server's socket, with utf8mb4 and tab-separated raw output without column
  // names. Returns standard output without its last newline. On failure
  // returns a null string and sets *error (if given) to the client's message;
  // with error null a failure is logged as a warning.
  QString client(const QString& sql, const QString& database = {}, QString* error = nullptr) const;

  // Creates a utf8mb4 database with the server's default collation and gives
  // user() all privileges on it.
  bool createDatabase(const QString& name, QString* error = nullptr) const;

  // The name under which the MariaDB Unicode driver is registered in the
  // system odbcinst.ini, or the driver library's path when it is not.
  static QString odbcDriver();
  // A connection string for user() through that driver.
  QString odbcConnectionString(const QString& database = QStringLiteral("shop")) const;

  // The server's error log, for messages when something went wrong.
  QString serverLog() const;
  // The temporary directory holding data, socket and logs; gone after stop.
  QString directory() const { return dir_.path(); }
  qint64 serverPid() const;

 private:
  bool start();
  bool runProgram(const QString& program, const QStringList& args, int timeoutMs, QString* output,
                  const QByteArray& input = {}) const;
  void stop();

  QTemporaryDir dir_;
  QProcess* server_ = nullptr;
  qint64 watcherPid_ = 0;
  int port_ = 0;
  bool ok_ = false;
  QString error_;
  QString mariadbd_, installDb_, admin_, clientProgram_;
};
