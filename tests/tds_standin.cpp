#include "tds_standin.h"

#include <QJsonDocument>

std::vector<testsupport::TdsStandin::Schema> TdsStandin::schemasOf(const QList<Schema>& schemas) {
  std::vector<testsupport::TdsStandin::Schema> out;
  for (const Schema& s : schemas) out.push_back({s.name.toStdString(), s.file.toStdString()});
  return out;
}

TdsStandin::TdsStandin(const QString& mainFile, const QList<Schema>& schemas)
    : standin_(mainFile.toStdString(), schemasOf(schemas)) {}

QString TdsStandin::connectionString(const QString& driver, const QString& database) const {
  return QString::fromStdString(
      standin_.connectionString(driver.toStdString(), database.toStdString()));
}

void TdsStandin::setControl(const QJsonObject& control) {
  standin_.setControl(
      nlohmann::json::parse(QJsonDocument(control).toJson(QJsonDocument::Compact).toStdString()));
}

QList<QJsonObject> TdsStandin::log() const {
  QList<QJsonObject> entries;
  for (const nlohmann::json& e : standin_.log())
    entries.append(
        QJsonDocument::fromJson(QByteArray::fromStdString(e.dump(
                                    -1, ' ', false, nlohmann::json::error_handler_t::replace)))
            .object());
  return entries;
}

QStringList TdsStandin::batches() const {
  QStringList texts;
  for (const std::string& t : standin_.batches()) texts.append(QString::fromStdString(t));
  return texts;
}
