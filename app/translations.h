// Qt's standard buttons (OK, Yes, No, Close...) read in Chinese, like the
// rest of the window, from Qt's own translations.
#pragma once

#include <QString>

namespace trellick::app {

// Loads Qt's Simplified Chinese translation of its own texts from
// `directory` (Qt's translations folder when empty) into the application.
// False when it is not there: the buttons then keep their English texts.
bool InstallQtTranslations(const QString& directory = QString());

}  // namespace trellick::app
