#include "cli_run.h"

#include <QJsonDocument>

#include "support/cli_run.h"

QList<QJsonObject> Run::lines() const {
  testsupport::CliRun run;
  run.out = out.toStdString();
  QList<QJsonObject> objects;
  for (const nlohmann::json& line : run.lines()) {
    if (!line.is_object()) qWarning("not a JSON object in: %s", out.constData());
    objects.append(line.is_object()
                       ? QJsonDocument::fromJson(
                             QByteArray::fromStdString(line.dump(
                                 -1, ' ', false, nlohmann::json::error_handler_t::replace)))
                             .object()
                       : QJsonObject());
  }
  return objects;
}

QString Run::describe() const {
  return QStringLiteral("exit %1\nstdout:\n%2\nstderr:\n%3")
      .arg(exitCode)
      .arg(QString::fromUtf8(out), err);
}

Run cli(const QStringList& args, const QByteArray& input, const QProcessEnvironment& env) {
  std::vector<std::string> argv, environment;
  for (const QString& a : args) argv.push_back(a.toStdString());
  for (const QString& kv : env.toStringList()) environment.push_back(kv.toStdString());
  const testsupport::CliRun r = testsupport::runCli(argv, input.toStdString(), environment);
  Run run;
  run.exitCode = r.exitCode;
  run.out = QByteArray::fromStdString(r.out);
  run.err = QString::fromStdString(r.err);
  return run;
}
