// Text crosses between the window (QString) and the database layer and
// statement builders (UTF-8 std::string) through these two.
#pragma once

#include <QString>
#include <string>

namespace trellick::app {

inline std::string utf8(const QString& s) { return s.toStdString(); }

inline QString fromUtf8(const std::string& s) { return QString::fromStdString(s); }

}  // namespace trellick::app
