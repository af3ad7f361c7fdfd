#include "mariadb_server.h"

QString MariaDbServer::client(const QString& sql, const QString& database, QString* error) const {
  std::string out, err;
  if (!s_.client(sql.toStdString(), database.toStdString(), &out, &err)) {
    if (error)
      *error = q(err);
    else
      qWarning("mariadb client failed: %s", err.c_str());
    return QString();
  }
  if (error) error->clear();
  // An empty answer is still an answer: never the null string of a failure.
  return out.empty() ? QStringLiteral("") : q(out);
}

bool MariaDbServer::createDatabase(const QString& name, QString* error) const {
  std::string err;
  const bool ok = s_.createDatabase(name.toStdString(), &err);
  if (error) *error = q(err);
  return ok;
}
