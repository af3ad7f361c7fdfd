// Where the system registers an ODBC driver library.
#pragma once

#include <string>

namespace testsupport {

// The section of /etc/odbcinst.ini whose Driver is `library` (a file name
// such as "psqlodbcw.so"); empty when none is.
std::string registeredOdbcDriver(const std::string& library);

}  // namespace testsupport
