// The SQL Server stand-in (support/tds_standin.h) with a Qt interface, for the
// Qt tests.
#pragma once

#include <QJsonObject>
#include <QList>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include "support/tds_standin.h"

class TdsStandin {
 public:
  struct Schema {
    QString name;  // e.g. "sales": [sales].[Orders] reads this file
    QString file;
  };

  // mainFile plays schema dbo. Waits up to 10 s for the server to listen;
  // port() is 0 if it did not (errorText() says why).
  explicit TdsStandin(const QString& mainFile, const QList<Schema>& schemas = {});

  int port() const { return standin_.port(); }
  // "127.0.0.1,PORT": host and port as the product's server field takes them.
  QString serverField() const { return QString::fromStdString(standin_.serverField()); }
  // A FreeTDS connection string for this server, as the product builds one.
  QString connectionString(const QString& driver, const QString& database = "shop") const;

  // The control file the server reads before each request (see
  // support/tds_standin.h for its keys).
  void setControl(const QJsonObject& control);
  // Every logged entry, oldest first.
  QList<QJsonObject> log() const;
  // Statement texts in order: batches and the statements of calls.
  QStringList batches() const;
  // What the server wrote on stderr (empty while all is well).
  QString errorText() const { return QString::fromStdString(standin_.errorText()); }

 private:
  static std::vector<testsupport::TdsStandin::Schema> schemasOf(const QList<Schema>& schemas);
  testsupport::TdsStandin standin_;
};
