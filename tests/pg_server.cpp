#include "pg_server.h"

#include <arpa/inet.h>
#include <grp.h>
#include <netinet/in.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QProcessEnvironment>
#include <QSettings>

#include "free_port.h"

namespace {

const QString kBin = QStringLiteral("/usr/lib/postgresql/15/bin/");
const char kServerUser[] = "nobody";
const char kServerGroup[] = "nogroup";

bool runningAsRoot() { return geteuid() == 0; }

// Every directory above path must be searchable by others, or the unprivileged
// server could not reach its data directory.
bool parentsTraversable(const QString& path) {
  QDir d(QFileInfo(path).absolutePath());
  while (true) {
    struct stat st {};
    if (stat(QFile::encodeName(d.absolutePath()).constData(), &st) != 0) return false;
    if (!(st.st_mode & S_IXOTH)) return false;
    if (d.isRoot()) return true;
    if (!d.cdUp()) return false;
  }
}

QString dirTemplate() {
  QString base = QDir::tempPath();
  // As root the server runs as nobody; a private TMPDIR (e.g. /root/tmp) would
  // be out of its reach, /tmp never is.
  if (runningAsRoot() && !parentsTraversable(base + QStringLiteral("/x")))
    base = QStringLiteral("/tmp");
  return base + QStringLiteral("/trellick-pg-XXXXXX");
}

QString shellQuote(const QString& s) {
  QString q = s;
  q.replace(QLatin1Char('\''), QStringLiteral("'\\''"));
  return QLatin1Char('\'') + q + QLatin1Char('\'');
}

bool chownToServerUser(const QString& path) {
  const passwd* pw = getpwnam(kServerUser);
  const group* gr = getgrnam(kServerGroup);
  if (!pw || !gr) return false;
  return chown(QFile::encodeName(path).constData(), pw->pw_uid, gr->gr_gid) == 0;
}

}  // namespace

PgServer::PgServer() : dir_(dirTemplate()) {
  dropPrivileges_ = runningAsRoot();
  for (const char* tool : {"initdb", "pg_ctl", "postgres", "psql"}) {
    const QString path = kBin + QLatin1String(tool);
    if (!QFileInfo(path).isExecutable()) {
      error_ =
          QStringLiteral("PostgreSQL binary missing: %1 (Debian package postgresql-15)").arg(path);
      return;
    }
  }
  if (dropPrivileges_ && !QFileInfo(QStringLiteral("/usr/bin/setpriv")).isExecutable()) {
    error_ = QStringLiteral("running as root needs /usr/bin/setpriv (package util-linux)");
    return;
  }
  if (!dir_.isValid()) {
    error_ = QStringLiteral("cannot create a temporary directory: ") + dir_.errorString();
    return;
  }
  ok_ = start();
}

PgServer::~PgServer() { stop(); }

QStringList PgServer::asServerUser(const QString& program, const QStringList& args) const {
  if (!dropPrivileges_) return QStringList{program} + args;
  return QStringList{QStringLiteral("/usr/bin/setpriv"),
                     QStringLiteral("--reuid=") + QLatin1String(kServerUser),
                     QStringLiteral("--regid=") + QLatin1String(kServerGroup),
                     QStringLiteral("--clear-groups"), program} +
         args;
}

bool PgServer::runStep(const QString& program, const QStringList& args, int timeoutMs) {
  const QStringList cmd = asServerUser(program, args);
  QProcess p;
  p.setWorkingDirectory(dir_.path());
  p.setProcessChannelMode(QProcess::MergedChannels);
  // pg_ctl's postmaster keeps no handle on our pipes (its output goes to -l),
  // so waiting for pg_ctl itself is enough.
  p.start(cmd.first(), cmd.mid(1));
  if (!p.waitForFinished(timeoutMs)) {
    p.kill();
    p.waitForFinished(2000);
    error_ = QStringLiteral("%1 did not finish in %2 ms").arg(program).arg(timeoutMs);
    return false;
  }
  if (p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0) {
    error_ = QStringLiteral("%1 failed (exit %2): %3")
                 .arg(program)
                 .arg(p.exitCode())
                 .arg(QString::fromLocal8Bit(p.readAll()).trimmed());
    return false;
  }
  return true;
}

bool PgServer::start() {
  const QString root = dir_.path();
  if (dropPrivileges_ && !chownToServerUser(root)) {
    error_ = QStringLiteral("cannot hand %1 to %2").arg(root, QLatin1String(kServerUser));
    return false;
  }
  const QString pwfile = root + QStringLiteral("/pwfile");
  {
    QFile f(pwfile);
    if (!f.open(QIODevice::WriteOnly)) {
      error_ = QStringLiteral("cannot write ") + pwfile;
      return false;
    }
    f.write(superuserPassword().toUtf8() + '\n');
  }
  if (dropPrivileges_) chownToServerUser(pwfile);

  // No fsync anywhere: the cluster lives for one test run.
  const QString data = root + QStringLiteral("/data");
  const bool initialised = runStep(
      kBin + QStringLiteral("initdb"),
      {QStringLiteral("-D"), data, QStringLiteral("--no-sync"), QStringLiteral("-U"), superuser(),
       QStringLiteral("--pwfile=") + pwfile, QStringLiteral("--auth=scram-sha-256"),
       QStringLiteral("-E"), QStringLiteral("UTF8"), QStringLiteral("--locale=C.UTF-8")},
      60000);
  QFile::remove(pwfile);
  if (!initialised) return false;

  for (int attempt = 0; attempt < 3 && !started_; ++attempt) {
    port_ = testnet::freeLoopbackPort();
    if (port_ == 0) {
      error_ = QStringLiteral("no free loopback port");
      return false;
    }
    // Settings go to postgresql.auto.conf (read last), so no quoting through pg_ctl -o.
    QFile conf(data + QStringLiteral("/postgresql.auto.conf"));
    if (!conf.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
      error_ = QStringLiteral("cannot write ") + conf.fileName();
      return false;
    }
    conf.write(QStringLiteral("listen_addresses = '127.0.0.1'\n"
                              "port = %1\n"
                              "unix_socket_directories = '%2'\n"
                              "fsync = off\n"
                              "synchronous_commit = off\n"
                              "full_page_writes = off\n"
                              "max_connections = 30\n"
                              "shared_buffers = 16MB\n"
                              "log_min_messages = warning\n")
                   .arg(port_)
                   .arg(root)
                   .toUtf8());
    conf.close();
    if (runStep(kBin + QStringLiteral("pg_ctl"),
                {QStringLiteral("-D"), data, QStringLiteral("-l"), root + QStringLiteral("/log"),
                 QStringLiteral("-w"), QStringLiteral("-t"), QStringLiteral("30"),
                 QStringLiteral("start")},
                40000)) {
      started_ = true;
      startWatcher();
    }
  }
  if (!started_) {
    error_ += QStringLiteral("\nserver log:\n") + serverLog();
    return false;
  }

  const QString setup =
      QStringLiteral("create role %1 login password '%2';\ncreate database %3 owner %1;\n")
          .arg(user(), password(), database());
  if (!psqlOk(setup, QStringLiteral("postgres"))) {
    error_ = QStringLiteral("setting up role and database failed: ") + lastError_;
    return false;
  }
  return true;
}

void PgServer::startWatcher() {
  // pg_ctl detaches the postmaster into its own session, so a crash, a SIGKILL or
  // a ctest time-out of this process would leave it running. The watcher polls
  // for this process and stops the server when it is gone; it ends by itself
  // once the destructor has removed the directory.
  const QString data = dir_.path() + QStringLiteral("/data");
  QStringList stopCmd = asServerUser(kBin + QStringLiteral("pg_ctl"),
                                     {QStringLiteral("-D"), data, QStringLiteral("stop"),
                                      QStringLiteral("-m"), QStringLiteral("immediate")});
  for (QString& part : stopCmd) part = shellQuote(part);
  const QString script = QStringLiteral(
                             "while kill -0 %1 2>/dev/null && [ -d %2 ]; do sleep 1; done; "
                             "if [ -d %2 ]; then %3 >/dev/null 2>&1; rm -rf %4; fi")
                             .arg(QString::number(getpid()), shellQuote(data),
                                  stopCmd.join(QLatin1Char(' ')), shellQuote(dir_.path()));
  QProcess watcher;
  watcher.setProgram(QStringLiteral("/usr/bin/setsid"));
  watcher.setArguments({QStringLiteral("/bin/sh"), QStringLiteral("-c"), script});
  watcher.setStandardInputFile(QProcess::nullDevice());
  watcher.setStandardOutputFile(QProcess::nullDevice());
  watcher.setStandardErrorFile(QProcess::nullDevice());
  watcher.setWorkingDirectory(QStringLiteral("/"));
  watcher.startDetached();
}

void PgServer::stop() {
  if (!started_) return;
  started_ = false;
  runStep(kBin + QStringLiteral("pg_ctl"),
          {QStringLiteral("-D"), dir_.path() + QStringLiteral("/data"), QStringLiteral("stop"),
           QStringLiteral("-m"), QStringLiteral("immediate"), QStringLiteral("-w")},
          20000);
  // dir_ goes with the object; the watcher sees it gone and ends.
}

QString PgServer::serverField() const {
  return QStringLiteral("postgresql:127.0.0.1:%1").arg(port_);
}

bool PgServer::psqlOk(const QString& sql, const QString& database, QString* out) const {
  QProcess p;
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  env.insert(QStringLiteral("PGPASSWORD"), superuserPassword());
  env.insert(QStringLiteral("PGCLIENTENCODING"), QStringLiteral("UTF8"));
  env.insert(QStringLiteral("PGCONNECT_TIMEOUT"), QStringLiteral("10"));
  env.remove(QStringLiteral("PGSERVICE"));
  env.remove(QStringLiteral("PGOPTIONS"));
  p.setProcessEnvironment(env);
  p.start(kBin + QStringLiteral("psql"),
          {QStringLiteral("-X"), QStringLiteral("-A"), QStringLiteral("-t"), QStringLiteral("-q"),
           QStringLiteral("-v"), QStringLiteral("ON_ERROR_STOP=1"), QStringLiteral("-h"), host(),
           QStringLiteral("-p"), QString::number(port_), QStringLiteral("-U"), superuser(),
           QStringLiteral("-d"), database.isEmpty() ? this->database() : database,
           QStringLiteral("-f"), QStringLiteral("-")});
  if (!p.waitForStarted(10000)) {
    lastError_ = QStringLiteral("psql did not start: ") + p.errorString();
    return false;
  }
  p.write(sql.toUtf8());
  p.closeWriteChannel();
  if (!p.waitForFinished(60000)) {
    p.kill();
    p.waitForFinished(2000);
    lastError_ = QStringLiteral("psql did not finish in 60 s");
    return false;
  }
  QString text = QString::fromUtf8(p.readAllStandardOutput());
  if (text.endsWith(QLatin1Char('\n'))) text.chop(1);
  if (out) *out = text;
  const bool success = p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
  lastError_ = success ? QString()
                       : QStringLiteral("psql exit %1: %2")
                             .arg(p.exitCode())
                             .arg(QString::fromUtf8(p.readAllStandardError()).trimmed());
  return success;
}

QString PgServer::psql(const QString& sql, const QString& database) const {
  QString out;
  psqlOk(sql, database, &out);
  return out;
}

bool PgServer::createDatabase(const QString& name) const {
  return psqlOk(QStringLiteral("create database \"%1\" owner %2;").arg(name, user()),
                QStringLiteral("postgres"));
}

QString PgServer::odbcDriver() {
  QSettings ini(QStringLiteral("/etc/odbcinst.ini"), QSettings::IniFormat);
  for (const QString& section : ini.childGroups()) {
    const QString lib = ini.value(section + QStringLiteral("/Driver")).toString();
    if (QFileInfo(lib).fileName() == QStringLiteral("psqlodbcw.so")) return section;
  }
  return QStringLiteral("/usr/lib/x86_64-linux-gnu/odbc/psqlodbcw.so");
}

QString PgServer::odbcConnectionString(const QString& database, const QString& extra) const {
  return QStringLiteral("Driver={%1};Server=%2;Port=%3;Database=%4;UID=%5;PWD=%6;%7")
      .arg(odbcDriver(), host(), QString::number(port_),
           database.isEmpty() ? this->database() : database, user(), password(), extra);
}

QString PgServer::serverLog() const {
  QFile f(dir_.path() + QStringLiteral("/log"));
  if (!f.open(QIODevice::ReadOnly)) return {};
  return QString::fromLocal8Bit(f.readAll());
}
