// trellick-cli run as a process (support/cli_run.h) with a Qt interface, for
// the Qt tests.
#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

struct Run {
  int exitCode = -1;
  QByteArray out;
  QString err;
  // The JSON lines of standard output, in order.
  QList<QJsonObject> lines() const;
  QString describe() const;
};

// Runs the command line (TRELLICK_CLI) with `input` on its standard input.
Run cli(const QStringList& args, const QByteArray& input = {},
        const QProcessEnvironment& env = QProcessEnvironment::systemEnvironment());
