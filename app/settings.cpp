#include "app/settings.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QFileInfo>
#include <QSettings>
#include <algorithm>

namespace trellick::app {
namespace {

QSettings open(const QString& application) {
  return QSettings(QSettings::IniFormat, QSettings::UserScope, application);
}

// Creates the file empty with owner-only rights before anything is written,
// so the password never sits in a file others can read.
void ensurePrivateFile(const QString& path) {
  QDir().mkpath(QFileInfo(path).absolutePath());
  const QByteArray native = QFile::encodeName(path);
  int fd = ::open(native.constData(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
  if (fd >= 0) ::close(fd);
  ::chmod(native.constData(), 0600);
}

}  // namespace

SettingsStore::SettingsStore(QString application) : application_(std::move(application)) {}

QString SettingsStore::fileName() const { return open(application_).fileName(); }

QString SettingsStore::GetSetting(const QString& section, const QString& key) const {
  QSettings s = open(application_);
  return s.value(section + QLatin1Char('/') + key, QString()).toString();
}

void SettingsStore::SaveSetting(const QString& section, const QString& key, const QString& value) {
  {
    QSettings s = open(application_);
    ensurePrivateFile(s.fileName());
    s.setValue(section + QLatin1Char('/') + key, value);
    s.sync();
    // The save may replace the file; keep it owner-only whatever happened.
    ::chmod(QFile::encodeName(s.fileName()).constData(), 0600);
  }
  if (onSaved) onSaved(section, key, value);
}

void SettingsStore::SaveSettings(const QString& section,
                                 const std::vector<std::pair<QString, QString>>& values) {
  {
    QSettings s = open(application_);
    // A run saves what the fields held at its start, as a rule what the
    // file holds already: writing it again would replace the file and
    // flush it to disk for nothing.
    // The operator's own file: a machine-wide default holding the same
    // text is not the operator's save.
    s.setFallbacksEnabled(false);
    const bool held = std::all_of(values.begin(), values.end(), [&](const auto& kv) {
      const QVariant stored = s.value(section + QLatin1Char('/') + kv.first);
      return stored.isValid() && stored.toString() == kv.second;
    });
    if (!held) {
      ensurePrivateFile(s.fileName());
      for (const auto& [key, value] : values) s.setValue(section + QLatin1Char('/') + key, value);
      s.sync();
      ::chmod(QFile::encodeName(s.fileName()).constData(), 0600);
    }
  }
  if (onSaved)
    for (const auto& [key, value] : values) onSaved(section, key, value);
}

}  // namespace trellick::app
