// A real Form1 under the offscreen platform, with its settings in a private
// directory and a scripted Ui.
#pragma once

#include <QListWidget>
#include <QSettings>
#include <QStringList>
#include <QTemporaryDir>
#include <QWidget>
#include <memory>

#include "app/form1.h"
#include "app/settings.h"
#include "scripted_ui.h"

struct WindowFixture {
  QTemporaryDir configDir;
  QTemporaryDir dataDir;
  ScriptedUi ui;
  std::unique_ptr<trellick::app::SettingsStore> settings;
  std::unique_ptr<trellick::app::Form1> form;

  WindowFixture() {
    QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, configDir.path());
    // Replaces keep their journal under the data directory: a private one.
    qputenv("XDG_DATA_HOME", dataDir.path().toLocal8Bit());
    settings = std::make_unique<trellick::app::SettingsStore>();
  }
  // Saved settings go in before the window is created, as on a real start.
  void save(const QString& key, const QString& value) {
    settings->SaveSetting(trellick::app::kSettingsSection, key, value);
  }
  trellick::app::Form1& open() {
    form = std::make_unique<trellick::app::Form1>(ui, *settings);
    form->show();
    form->activateWindow();
    return *form;
  }
  template <class W = QWidget>
  W* find(const char* name) const {
    return form->findChild<W*>(QString::fromLatin1(name));
  }
};

// The texts of a list's items, in order.
inline QStringList items(QListWidget* list) {
  QStringList out;
  for (int k = 0; k < list->count(); ++k) out << list->item(k)->text();
  return out;
}
