// Where the system registers an ODBC driver library.
#pragma once

#include <string>

namespace testsupport {

// The section of /etc/odbcinst.ini whose Driver is `library` (a file name
// such as "psqlodbcw.so"); empty when none is.
std::string registeredOdbcDriver(const std::string& library);

// The value of key in [section] of an ini file such as /etc/odbcinst.ini,
// without surrounding spaces; empty when either is missing.
std::string iniValue(const std::string& file, const std::string& section, const std::string& key);

}  // namespace testsupport
