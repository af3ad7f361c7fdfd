#include "pg_server.h"

bool PgServer::psqlOk(const QString& sql, const QString& database, QString* out) const {
  std::string text;
  const bool ok = s_.psqlOk(sql.toStdString(), database.toStdString(), &text);
  if (out) *out = q(text);
  return ok;
}
