#include "testdb.h"

#include <signal.h>

namespace testdb {

Dir::Dir() { dir_.setAutoRemove(true); }

std::string Dir::file(const std::string& name) const {
  return (dir_.path() + QLatin1Char('/') + QString::fromStdString(name)).toStdString();
}

bool signalChild(const QProcess& child, int signal) {
  const qint64 pid = child.processId();
  return child.state() == QProcess::Running && pid > 0 &&
         ::kill(static_cast<pid_t>(pid), signal) == 0;
}

}  // namespace testdb
