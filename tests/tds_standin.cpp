#include "tds_standin.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSaveFile>
#include <QThread>

TdsStandin::TdsStandin(const QString& mainFile, const QList<Schema>& schemas) {
  QStringList args{QStringLiteral(TRELLICK_TDS_STANDIN),
                   QStringLiteral("--main"),
                   mainFile,
                   QStringLiteral("--port-file"),
                   dir_.filePath("port"),
                   QStringLiteral("--log"),
                   dir_.filePath("log.jsonl"),
                   QStringLiteral("--control"),
                   dir_.filePath("control.json")};
  for (const Schema& s : schemas) {
    args << QStringLiteral("--schema") << s.name + '=' + s.file;
  }
  process_.setStandardErrorFile(dir_.filePath("stderr.txt"));
  process_.setStandardOutputFile(QProcess::nullDevice());
  process_.start(QStringLiteral(TRELLICK_PYTHON), args);
  if (!process_.waitForStarted(5000)) return;
  QDeadlineTimer deadline(10000);
  while (!deadline.hasExpired() && process_.state() == QProcess::Running) {
    QFile f(dir_.filePath("port"));
    if (f.open(QIODevice::ReadOnly)) {
      bool ok = false;
      const int port = f.readAll().trimmed().toInt(&ok);
      if (ok && port > 0) {
        port_ = port;
        return;
      }
    }
    QThread::msleep(20);
  }
}

TdsStandin::~TdsStandin() {
  if (process_.state() != QProcess::NotRunning) {
    process_.terminate();
    if (!process_.waitForFinished(3000)) {
      process_.kill();
      process_.waitForFinished(3000);
    }
  }
}

QString TdsStandin::serverField() const { return QStringLiteral("127.0.0.1,%1").arg(port_); }

QString TdsStandin::connectionString(const QString& driver, const QString& database) const {
  return QStringLiteral(
             "Driver=%1;Server=127.0.0.1;Port=%2;Database=%3;UID=sa;PWD=x;"
             "ClientCharset=UTF-8;APP=Trellick;")
      .arg(driver)
      .arg(port_)
      .arg(database);
}

void TdsStandin::setControl(const QJsonObject& control) {
  // Written whole and renamed into place: the server never reads half a file.
  QSaveFile f(dir_.filePath("control.json"));
  if (!f.open(QIODevice::WriteOnly)) return;
  f.write(QJsonDocument(control).toJson(QJsonDocument::Compact));
  f.commit();
}

QList<QJsonObject> TdsStandin::log() const {
  QList<QJsonObject> entries;
  QFile f(dir_.filePath("log.jsonl"));
  if (!f.open(QIODevice::ReadOnly)) return entries;
  for (const QByteArray& line : f.readAll().split('\n')) {
    if (line.trimmed().isEmpty()) continue;
    entries.append(QJsonDocument::fromJson(line).object());
  }
  return entries;
}

QStringList TdsStandin::batches() const {
  QStringList texts;
  for (const QJsonObject& e : log()) {
    const QString type = e.value("type").toString();
    if (type == "batch") {
      texts.append(e.value("text").toString());
    } else if (type == "rpc") {
      const QString proc = e.value("proc").toString();
      const QJsonArray params = e.value("params").toArray();
      // sp_executesql(stmt, decl, ...); sp_prepare/sp_prepexec(handle, decl, stmt, ...).
      if (proc == "sp_executesql" && !params.isEmpty())
        texts.append(params.at(0).toString());
      else if ((proc == "sp_prepare" || proc == "sp_prepexec") && params.size() > 2)
        texts.append(params.at(2).toString());
    }
  }
  return texts;
}

QString TdsStandin::errorText() const {
  QFile f(dir_.filePath("stderr.txt"));
  if (!f.open(QIODevice::ReadOnly)) return {};
  return QString::fromUtf8(f.readAll());
}
