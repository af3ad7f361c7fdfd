// What takes the place of the OLE DB provider: the operator's fields become
// an ODBC connection string for the embedded SQLite engine, an ODBC data
// source, PostgreSQL, MariaDB/MySQL, or SQL Server through FreeTDS.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace trellick::db {

enum class TargetKind { SQLite, Dsn, SqlServer, PostgreSQL, MariaDB };

struct ConnectFields {
  std::string server;    // trimmed
  std::string user;      // trimmed
  std::string password;  // as typed
  std::string database;  // trimmed
};

// SQL Server's encryption: "yes", "no" or "strict" ("" leaves the driver's
// default), and whether the server's certificate is taken unchecked.
struct Encryption {
  std::string encrypt;
  bool trustServerCertificate = false;
};

struct DriverNames {
  std::string sqlite;
  std::string tds;
  std::string postgresql = "PostgreSQL Unicode";
  std::string mariadb = "MariaDB Unicode";
};

struct ConnectTarget {
  TargetKind kind = TargetKind::SqlServer;
  std::string connectionString;
  std::string sqlitePath;  // SQLite only: the database file
  // Non-empty when a value cannot be passed to the driver at all.
  std::string problem;
  std::string problemEnglish;  // the same for the command line
};

// A value that would end or confuse a connection-string pair is wrapped in
// braces, with "}" doubled inside.
std::string quoteOdbcValue(std::string_view value);

// FreeTDS ends a braced value at the first "};" and takes "}}" literally, so
// its values are braced without doubling; a value holding "};" cannot be
// passed (nullopt).
std::optional<std::string> quoteFreeTdsValue(std::string_view value);

// What the server field names, spaces around it taken away. server
// "sqlite" (any case): the database is the SQLite file's path; "dsn:NAME":
// the data source NAME; "postgresql:HOST[:PORT]" (or "postgres:");
// "mariadb:HOST[:PORT]" or "mysql:HOST[:PORT]" (a host in brackets for an
// IPv6 address); "sqlserver:HOST" and otherwise SQL Server as "host",
// "host,port" or "host\instance"; or a URI of those engines,
// SCHEME://[USER[:PASSWORD]@]HOST[:PORT][/DATABASE]. Another
// "word:" prefix is a problem, not a host name.
struct ServerParts {
  TargetKind kind = TargetKind::SqlServer;
  std::string host;  // or the data source's name
  std::string port;
  std::string problem;         // non-empty: the field cannot be used
  std::string problemEnglish;  // the same for the command line

  // A URI (postgresql://, postgres://, mysql://, mariadb://, sqlserver://,
  // sqlite:///path) may name these too, percent-decoded; the SQLite path
  // is the database.
  bool uri = false;
  std::string user;
  std::optional<std::string> password;  // only when the URI holds one
  std::string database;
  // The field without the password, for what is shown and kept.
  std::string shown;
};

// The one reading of the server field; the session asks it for the front
// ends, makeTarget for the connection string.
ServerParts parseServer(std::string_view server);

// connectTimeoutSeconds goes where a driver takes it only from the string;
// encryption is SQL Server's.
ConnectTarget makeTarget(const ServerParts& parts, const ConnectFields& fields,
                         const DriverNames& drivers, int commandTimeoutSeconds,
                         int connectTimeoutSeconds = 0, const Encryption& encryption = {});

// The same, reading fields.server.
ConnectTarget makeTarget(const ConnectFields& fields, const DriverNames& drivers,
                         int commandTimeoutSeconds, int connectTimeoutSeconds = 0,
                         const Encryption& encryption = {});

// Which of the drivers the driver manager lists serves each engine: the
// names unixODBC's set-up gives them on Linux and their installers give
// them on Windows, Microsoft's SQL Server drivers before FreeTDS and the
// newest first. An engine none of them serves keeps the fallback's name.
DriverNames chooseDrivers(const std::vector<std::string>& installed, DriverNames fallback);

// Whether the SQL Server driver is one of Microsoft's, which take their own
// keywords (Server=tcp:host,port, Encrypt, TrustServerCertificate) and none
// of FreeTDS's.
bool isMicrosoftSqlServerDriver(std::string_view name);

}  // namespace trellick::db
