#include "cli_run.h"

#include <QJsonDocument>
#include <QJsonParseError>
#include <QProcess>

QList<QJsonObject> Run::lines() const {
  QList<QJsonObject> objects;
  for (const QByteArray& line : out.split('\n')) {
    if (line.isEmpty()) continue;
    QJsonParseError error{};
    const QJsonDocument doc = QJsonDocument::fromJson(line, &error);
    if (error.error != QJsonParseError::NoError || !doc.isObject())
      qWarning("not a JSON object: %s", line.constData());
    objects.append(doc.object());
  }
  return objects;
}

QString Run::describe() const {
  return QStringLiteral("exit %1\nstdout:\n%2\nstderr:\n%3")
      .arg(exitCode)
      .arg(QString::fromUtf8(out), err);
}

Run cli(const QStringList& args, const QByteArray& input, const QProcessEnvironment& env) {
  QProcess p;
  p.setProcessEnvironment(env);
  p.start(QStringLiteral(TRELLICK_CLI), args);
  Run r;
  if (!p.waitForStarted(5000)) return r;
  p.write(input);
  p.closeWriteChannel();
  p.waitForFinished(120000);
  r.exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
  r.out = p.readAllStandardOutput();
  r.err = QString::fromUtf8(p.readAllStandardError());
  return r;
}
