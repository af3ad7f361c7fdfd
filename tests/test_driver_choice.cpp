// Which driver serves each engine, from the names a driver manager lists on
// Linux (unixODBC's set-up) and on Windows (the drivers' installers), and
// the SQL Server connection string for Microsoft's drivers and for FreeTDS.
// Pure functions: checked here on Linux for both systems.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "db/target.h"

using namespace trellick::db;

namespace {

DriverNames fallback() {
  return {"fallback-sqlite", "fallback-tds", "fallback-pg", "fallback-maria"};
}

}  // namespace

TEST(DriverChoice, LinuxAndWindowsNames) {
  const DriverNames linux = chooseDrivers(
      {"PostgreSQL ANSI", "PostgreSQL Unicode", "MariaDB Unicode", "FreeTDS", "SQLite3"},
      fallback());
  EXPECT_EQ(linux.sqlite, "SQLite3");
  EXPECT_EQ(linux.tds, "FreeTDS");
  EXPECT_EQ(linux.postgresql, "PostgreSQL Unicode");
  EXPECT_EQ(linux.mariadb, "MariaDB Unicode");

  // As a Windows machine lists them, in the order its registry keeps.
  const DriverNames windows =
      chooseDrivers({"SQL Server", "SQL Server Native Client 11.0", "ODBC Driver 17 for SQL Server",
                     "ODBC Driver 18 for SQL Server", "PostgreSQL ANSI(x64)",
                     "PostgreSQL Unicode(x64)", "MariaDB ODBC 3.1 Driver",
                     "MariaDB ODBC 3.2 Driver", "SQLite3 ODBC Driver", "SQLite ODBC Driver"},
                    fallback());
  EXPECT_EQ(windows.sqlite, "SQLite3 ODBC Driver");
  EXPECT_EQ(windows.tds, "ODBC Driver 18 for SQL Server");
  EXPECT_EQ(windows.postgresql, "PostgreSQL Unicode(x64)");
  EXPECT_EQ(windows.mariadb, "MariaDB ODBC 3.2 Driver");
}

TEST(DriverChoice, SqlServerDriversInOrder) {
  const std::vector<std::string> order = {"ODBC Driver 18 for SQL Server",
                                          "ODBC Driver 17 for SQL Server",
                                          "SQL Server Native Client 11.0", "FreeTDS", "SQL Server"};
  // Each one is chosen over every one after it, whatever the listing's order.
  for (size_t k = 0; k < order.size(); ++k) {
    std::vector<std::string> listed(order.begin() + long(k), order.end());
    std::reverse(listed.begin(), listed.end());
    EXPECT_EQ(chooseDrivers(listed, fallback()).tds, order[k]);
  }
  // None listed, or none that serves an engine: the fallback's names.
  const DriverNames none =
      chooseDrivers({"Oracle in OraClient19Home1", "PostgreSQL ANSI"}, fallback());
  EXPECT_EQ(none.sqlite, "fallback-sqlite");
  EXPECT_EQ(none.tds, "fallback-tds");
  EXPECT_EQ(none.postgresql, "fallback-pg");
  EXPECT_EQ(none.mariadb, "fallback-maria");
  EXPECT_TRUE(isMicrosoftSqlServerDriver("ODBC Driver 18 for SQL Server"));
  EXPECT_TRUE(isMicrosoftSqlServerDriver("SQL Server"));
  EXPECT_FALSE(isMicrosoftSqlServerDriver("FreeTDS"));
  EXPECT_FALSE(isMicrosoftSqlServerDriver("libtdsodbc.so"));
}

TEST(DriverChoice, MicrosoftConnectionString) {
  DriverNames drivers = fallback();
  drivers.tds = "ODBC Driver 18 for SQL Server";
  ConnectFields f{"db.example,1444", "sa", "p;w}d", "Shop"};
  EXPECT_EQ(
      makeTarget(f, drivers, 30).connectionString,
      "Driver={ODBC Driver 18 for SQL Server};Server=tcp:db.example,1444;Database=Shop;UID=sa;"
      "PWD={p;w}}d};APP=Trellick;");
  f.server = "db.example\\SQLEXPRESS";
  EXPECT_EQ(
      makeTarget(f, drivers, 30, 0, {"strict", true}).connectionString,
      "Driver={ODBC Driver 18 for SQL Server};Server=tcp:db.example\\SQLEXPRESS;Database=Shop;"
      "UID=sa;PWD={p;w}}d};Encrypt=strict;TrustServerCertificate=yes;APP=Trellick;");
}

TEST(DriverChoice, FreeTdsKeepsItsKeywords) {
  DriverNames drivers = fallback();
  drivers.tds = "FreeTDS";
  ConnectFields f{"db.example,1444", "sa", "pw", "Shop"};
  const std::string plain = makeTarget(f, drivers, 30).connectionString;
  EXPECT_EQ(plain,
            "Driver=FreeTDS;Server=db.example;Port=1444;Database=Shop;UID=sa;PWD=pw;"
            "ClientCharset=UTF-8;APP=Trellick;");
  const std::string encrypted = makeTarget(f, drivers, 30, 0, {"yes", true}).connectionString;
  EXPECT_NE(encrypted.find("Encryption=require;"), std::string::npos) << encrypted;
  // Microsoft's words mean nothing to FreeTDS.
  EXPECT_EQ(encrypted.find("Encrypt="), std::string::npos) << encrypted;
  EXPECT_EQ(encrypted.find("TrustServerCertificate"), std::string::npos) << encrypted;
  EXPECT_EQ(encrypted.find("tcp:"), std::string::npos) << encrypted;
}
