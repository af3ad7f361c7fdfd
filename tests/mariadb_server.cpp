#include "mariadb_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QThread>

#include "free_port.h"

namespace {

// Socket paths are limited to 107 bytes; a long TMPDIR must not break start-up.
QString tempTemplate() {
  QString base = QDir::tempPath();
  if (base.size() > 60) base = QStringLiteral("/tmp");
  return base + QStringLiteral("/trellick-maria-XXXXXX");
}

QString findProgram(const QString& name) {
  // Debian puts the server in /usr/sbin, which a CI PATH may lack.
  QString path = QStandardPaths::findExecutable(name);
  if (path.isEmpty()) {
    path = QStandardPaths::findExecutable(
        name, {QStringLiteral("/usr/sbin"), QStringLiteral("/usr/bin"),
               QStringLiteral("/usr/local/sbin"), QStringLiteral("/usr/local/bin")});
  }
  return path;
}

QString sqlString(const QString& s) {
  QString out = s;
  out.replace(QLatin1Char('\\'), QStringLiteral("\\\\"));
  out.replace(QLatin1Char('\''), QStringLiteral("''"));
  return QLatin1Char('\'') + out + QLatin1Char('\'');
}

QString sqlName(const QString& s) {
  QString out = s;
  out.replace(QLatin1Char('`'), QStringLiteral("``"));
  return QLatin1Char('`') + out + QLatin1Char('`');
}

// Small data files and no durability: the server starts in well under a
// second and the tests never need a crash-safe commit.
const QStringList kStorageOptions{
    QStringLiteral("--innodb-buffer-pool-size=32M"),
    QStringLiteral("--innodb-log-file-size=4M"),
    QStringLiteral("--innodb-data-file-path=ibdata1:4M:autoextend"),
    // Container kernels may refuse io_uring/libaio; plain threads always work.
    QStringLiteral("--innodb-use-native-aio=0"),
    QStringLiteral("--skip-log-bin"),
};

}  // namespace

MariaDbServer::MariaDbServer() : dir_(tempTemplate()) {
  mariadbd_ = findProgram(QStringLiteral("mariadbd"));
  installDb_ = findProgram(QStringLiteral("mariadb-install-db"));
  admin_ = findProgram(QStringLiteral("mariadb-admin"));
  clientProgram_ = findProgram(QStringLiteral("mariadb"));
  QStringList missing;
  if (mariadbd_.isEmpty()) missing << QStringLiteral("mariadbd (package mariadb-server)");
  if (installDb_.isEmpty())
    missing << QStringLiteral("mariadb-install-db (package mariadb-server)");
  if (admin_.isEmpty()) missing << QStringLiteral("mariadb-admin (package mariadb-client)");
  if (clientProgram_.isEmpty()) missing << QStringLiteral("mariadb (package mariadb-client)");
  if (!missing.isEmpty()) {
    error_ = QStringLiteral("MariaDB programs not found: ") + missing.join(QStringLiteral(", "));
    return;
  }
  if (!dir_.isValid()) {
    error_ = QStringLiteral("cannot create a temporary directory: ") + dir_.errorString();
    return;
  }
  ok_ = start();
  if (!ok_) stop();
}

MariaDbServer::~MariaDbServer() { stop(); }

bool MariaDbServer::runProgram(const QString& program, const QStringList& args, int timeoutMs,
                               QString* output, const QByteArray& input) const {
  QProcess p;
  p.start(program, args);
  if (!p.waitForStarted(10000)) {
    if (output) *output = program + QStringLiteral(": ") + p.errorString();
    return false;
  }
  if (!input.isEmpty()) p.write(input);
  p.closeWriteChannel();
  if (!p.waitForFinished(timeoutMs)) {
    p.kill();
    p.waitForFinished(3000);
    if (output) *output = program + QStringLiteral(": did not finish in time");
    return false;
  }
  const bool ok = p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
  if (output) {
    *output = QString::fromUtf8(ok ? p.readAllStandardOutput()
                                   : p.readAllStandardError() + p.readAllStandardOutput());
  }
  return ok;
}

bool MariaDbServer::start() {
  const QString data = dir_.filePath(QStringLiteral("data"));
  const QString tmp = dir_.filePath(QStringLiteral("tmp"));
  QDir().mkpath(tmp);

  // Root gets no password and no unix_socket plugin, so the setup and
  // client() log in as root over the private socket. The server listens on
  // loopback only.
  QString out;
  QStringList installArgs{QStringLiteral("--no-defaults"), QStringLiteral("--datadir=") + data,
                          QStringLiteral("--tmpdir=") + tmp,
                          QStringLiteral("--auth-root-authentication-method=normal"),
                          QStringLiteral("--skip-test-db")};
  installArgs << kStorageOptions;
  if (::geteuid() == 0) installArgs << QStringLiteral("--user=root");
  if (!runProgram(installDb_, installArgs, 120000, &out)) {
    error_ = QStringLiteral("mariadb-install-db failed: ") + out.trimmed();
    return false;
  }

  const QString socket = dir_.filePath(QStringLiteral("mariadb.sock"));
  for (int attempt = 0; attempt < 3; ++attempt) {
    port_ = testnet::freeLoopbackPort();
    if (port_ == 0) {
      error_ = QStringLiteral("no free loopback port");
      return false;
    }
    QFile::remove(dir_.filePath(QStringLiteral("error.log")));
    QStringList args{QStringLiteral("--no-defaults"),
                     QStringLiteral("--datadir=") + data,
                     QStringLiteral("--tmpdir=") + tmp,
                     QStringLiteral("--socket=") + socket,
                     QStringLiteral("--pid-file=") + dir_.filePath(QStringLiteral("mariadbd.pid")),
                     QStringLiteral("--log-error=") + dir_.filePath(QStringLiteral("error.log")),
                     QStringLiteral("--bind-address=127.0.0.1"),
                     QStringLiteral("--port=%1").arg(port_),
                     QStringLiteral("--skip-name-resolve"),
                     QStringLiteral("--character-set-server=utf8mb4"),
                     QStringLiteral("--collation-server=utf8mb4_general_ci"),
                     QStringLiteral("--innodb-flush-log-at-trx-commit=0")};
    args << kStorageOptions;
    // Tests run as root in CI; the server refuses that unless told to.
    if (::geteuid() == 0) args << QStringLiteral("--user=root");

    delete server_;
    server_ = new QProcess;
    server_->setStandardInputFile(QProcess::nullDevice());
    server_->setStandardOutputFile(dir_.filePath(QStringLiteral("mariadbd.out")));
    server_->setStandardErrorFile(dir_.filePath(QStringLiteral("mariadbd.out")), QIODevice::Append);
    server_->start(mariadbd_, args);
    if (!server_->waitForStarted(10000)) {
      error_ = QStringLiteral("cannot start mariadbd: ") + server_->errorString();
      return false;
    }

    // If this process dies before the destructor runs (crash, SIGKILL, a
    // test time-out), the watcher stops the server and removes its files.
    const qint64 serverPid = server_->processId();
    if (watcherPid_ > 0) ::kill(static_cast<pid_t>(watcherPid_), SIGTERM);
    watcherPid_ = 0;
    const QString script =
        QStringLiteral(
            "while kill -0 %1 2>/dev/null; do sleep 1; done; "
            "kill -TERM %2 2>/dev/null; i=0; "
            "while kill -0 %2 2>/dev/null && [ $i -lt 30 ]; do sleep 1; i=$((i+1)); done; "
            "kill -KILL %2 2>/dev/null; rm -rf '%3'")
            .arg(QCoreApplication::applicationPid())
            .arg(serverPid)
            .arg(dir_.path());
    QProcess watcher;
    watcher.setProgram(QStringLiteral("/bin/sh"));
    watcher.setArguments({QStringLiteral("-c"), script});
    watcher.setStandardInputFile(QProcess::nullDevice());
    watcher.setStandardOutputFile(QProcess::nullDevice());
    watcher.setStandardErrorFile(QProcess::nullDevice());
    if (!watcher.startDetached(&watcherPid_)) {
      error_ = QStringLiteral("cannot start the watcher shell: ") + watcher.errorString();
      return false;
    }

    QDeadlineTimer deadline(60000);
    bool up = false;
    while (!deadline.hasExpired() && server_->state() == QProcess::Running) {
      if (runProgram(admin_,
                     {QStringLiteral("--no-defaults"), QStringLiteral("--socket=") + socket,
                      QStringLiteral("--user=root"), QStringLiteral("ping")},
                     10000, nullptr)) {
        up = true;
        break;
      }
      QThread::msleep(100);
    }
    if (up) break;
    server_->waitForFinished(100);
    const QString log = serverLog();
    if (server_->state() == QProcess::Running) {
      error_ = QStringLiteral("mariadbd did not accept connections within 60 s:\n") + log;
      return false;
    }
    // Someone else took the port in between: try another one.
    if (!log.contains(QStringLiteral("Address already in use")) || attempt == 2) {
      error_ = QStringLiteral("mariadbd exited at start-up:\n") + log;
      return false;
    }
  }

  // '%' covers 127.0.0.1 under skip-name-resolve.
  QString err;
  client(QStringLiteral("CREATE USER 'trellick'@'%' IDENTIFIED BY ") + sqlString(password()) +
             QStringLiteral(";"),
         {}, &err);
  if (err.isEmpty()) createDatabase(database(), &err);
  if (!err.isEmpty()) {
    error_ = QStringLiteral("setting up user and database failed: ") + err;
    return false;
  }
  return true;
}

void MariaDbServer::stop() {
  if (server_ && server_->state() != QProcess::NotRunning) {
    runProgram(admin_,
               {QStringLiteral("--no-defaults"),
                QStringLiteral("--socket=") + dir_.filePath(QStringLiteral("mariadb.sock")),
                QStringLiteral("--user=root"), QStringLiteral("shutdown")},
               30000, nullptr);
    if (!server_->waitForFinished(30000)) {
      server_->terminate();
      if (!server_->waitForFinished(10000)) {
        server_->kill();
        server_->waitForFinished(5000);
      }
    }
  }
  delete server_;
  server_ = nullptr;
  if (watcherPid_ > 0) {
    ::kill(static_cast<pid_t>(watcherPid_), SIGTERM);
    watcherPid_ = 0;
  }
  // QTemporaryDir removes the directory itself.
}

QString MariaDbServer::serverField() const {
  return QStringLiteral("mariadb:127.0.0.1:%1").arg(port_);
}

QString MariaDbServer::client(const QString& sql, const QString& database, QString* error) const {
  QStringList args{QStringLiteral("--no-defaults"),
                   QStringLiteral("--socket=") + dir_.filePath(QStringLiteral("mariadb.sock")),
                   QStringLiteral("--user=root"),
                   QStringLiteral("--batch"),
                   QStringLiteral("--skip-column-names"),
                   QStringLiteral("--raw"),
                   QStringLiteral("--default-character-set=utf8mb4")};
  if (!database.isEmpty()) args << QStringLiteral("--database=") + database;
  QString out;
  // The statement goes in on standard input: no length limit, no quoting.
  if (!runProgram(clientProgram_, args, 120000, &out, sql.toUtf8())) {
    if (out.isEmpty()) out = QStringLiteral("client failed");
    if (error) {
      *error = out.trimmed();
    } else {
      qWarning("mariadb client failed: %s", qPrintable(out.trimmed()));
    }
    return QString();
  }
  if (error) error->clear();
  if (out.endsWith(QLatin1Char('\n'))) out.chop(1);
  return out;
}

bool MariaDbServer::createDatabase(const QString& name, QString* error) const {
  QString err;
  client(QStringLiteral("CREATE DATABASE %1 CHARACTER SET utf8mb4; "
                        "GRANT ALL PRIVILEGES ON %1.* TO 'trellick'@'%';")
             .arg(sqlName(name)),
         {}, &err);
  if (error) *error = err;
  return err.isEmpty();
}

QString MariaDbServer::odbcDriver() {
  // The package registers the driver as "MariaDB Unicode"; any section whose
  // Driver is the same library will do as well.
  QFile ini(QStringLiteral("/etc/odbcinst.ini"));
  if (ini.open(QIODevice::ReadOnly)) {
    QString section;
    for (const QByteArray& raw : ini.readAll().split('\n')) {
      const QString line = QString::fromUtf8(raw).trimmed();
      if (line.startsWith(QLatin1Char('[')) && line.endsWith(QLatin1Char(']'))) {
        section = line.mid(1, line.size() - 2).trimmed();
      } else if (!section.isEmpty() &&
                 line.startsWith(QLatin1String("Driver"), Qt::CaseInsensitive) &&
                 line.contains(QLatin1String("libmaodbc.so"))) {
        return section;
      }
    }
  }
  for (const char* dir : {"/usr/lib/x86_64-linux-gnu/odbc", "/usr/lib/aarch64-linux-gnu/odbc",
                          "/usr/lib/odbc", "/usr/local/lib"}) {
    const QString path = QString::fromLatin1(dir) + QStringLiteral("/libmaodbc.so");
    if (QFileInfo::exists(path)) return path;
  }
  return QStringLiteral("libmaodbc.so");
}

QString MariaDbServer::odbcConnectionString(const QString& database) const {
  QString pwd = password();
  pwd.replace(QLatin1Char('}'), QStringLiteral("}}"));
  return QStringLiteral("Driver={%1};Server=127.0.0.1;Port=%2;Database=%3;UID=%4;PWD={%5};")
      .arg(odbcDriver())
      .arg(port_)
      .arg(database, user(), pwd);
}

qint64 MariaDbServer::serverPid() const { return server_ ? server_->processId() : 0; }

QString MariaDbServer::serverLog() const {
  QString text;
  for (const char* name : {"error.log", "mariadbd.out"}) {
    QFile f(dir_.filePath(QString::fromLatin1(name)));
    if (f.open(QIODevice::ReadOnly)) text += QString::fromUtf8(f.readAll());
  }
  // The end says why it stopped.
  return text.right(4000);
}
