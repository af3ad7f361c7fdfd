// The per-user settings store: string values by application, section and
// key. The file holds a password in plain text, so only its owner may read
// it.
#pragma once

#include <QString>
#include <functional>
#include <utility>
#include <vector>

namespace trellick::app {

inline const QString kSettingsApp = QStringLiteral("ZUZIDEREZ");
inline const QString kSettingsSection = QStringLiteral("MYDATA");

class SettingsStore {
 public:
  explicit SettingsStore(QString application = kSettingsApp);

  // The empty string when the key is absent.
  QString GetSetting(const QString& section, const QString& key) const;
  void SaveSetting(const QString& section, const QString& key, const QString& value);

  QString fileName() const;

  // Called after each save, in order (tests read the order of writes).
  std::function<void(const QString& section, const QString& key, const QString& value)> onSaved;

  // Several keys of one section, in the order given, the file written once:
  // each write flushes it to disk twice, and six of them cost more than the
  // find of a small database. Not written at all when it holds them already.
  void SaveSettings(const QString& section, const std::vector<std::pair<QString, QString>>& values);

 private:
  QString application_;
};

}  // namespace trellick::app
