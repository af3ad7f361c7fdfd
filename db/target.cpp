#include "db/target.h"

#include <algorithm>
#include <cctype>
#include <initializer_list>
#include <iterator>

namespace trellick::db {
namespace {

std::string lower(std::string_view s) {
  std::string out(s);
  std::transform(out.begin(), out.end(), out.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return out;
}

void addPair(std::string& cs, std::string_view key, std::string_view value) {
  cs += key;
  cs += '=';
  cs += quoteOdbcValue(value);
  cs += ';';
}

bool needsBraces(std::string_view value) {
  return value.find_first_of(";{}=") != std::string_view::npos ||
         (!value.empty() && (value.front() == ' ' || value.back() == ' '));
}

}  // namespace

std::optional<std::string> quoteFreeTdsValue(std::string_view value) {
  if (!needsBraces(value)) return std::string(value);
  if (value.find("};") != std::string_view::npos) return std::nullopt;
  return "{" + std::string(value) + "}";
}

std::string quoteOdbcValue(std::string_view value) {
  if (!needsBraces(value)) return std::string(value);
  std::string out = "{";
  for (char c : value) {
    out += c;
    if (c == '}') out += '}';
  }
  out += '}';
  return out;
}

ServerParts parseServer(std::string_view field) {
  ServerParts p;
  const std::string server = lower(field);
  if (server == "sqlite") {
    p.kind = TargetKind::SQLite;
    return p;
  }
  if (server.rfind("dsn:", 0) == 0) {
    p.kind = TargetKind::Dsn;
    p.host = field.substr(4);
    return p;
  }
  for (const auto& [prefix, kind] :
       {std::pair<std::string_view, TargetKind>{"postgresql:", TargetKind::PostgreSQL},
        {"mariadb:", TargetKind::MariaDB},
        {"mysql:", TargetKind::MariaDB}}) {
    if (server.rfind(prefix, 0) != 0) continue;
    p.kind = kind;
    std::string host(field.substr(prefix.size()));
    if (!host.empty() && host.front() == '[') {
      // [::1]:5432
      const size_t close = host.find(']');
      if (close != std::string::npos) {
        if (close + 1 < host.size() && host[close + 1] == ':') p.port = host.substr(close + 2);
        host = host.substr(1, close - 1);
      }
    } else if (const size_t colon = host.rfind(':'); colon != std::string::npos) {
      p.port = host.substr(colon + 1);
      host = host.substr(0, colon);
    }
    p.host = host.empty() ? "localhost" : host;
    if (!p.port.empty() && p.port.find_first_not_of("0123456789") != std::string::npos)
      p.problem = "[Trellick]端口必须是数字：" + p.port;
    return p;
  }
  p.kind = TargetKind::SqlServer;
  p.host = field;
  if (auto comma = p.host.rfind(','); comma != std::string::npos) {
    p.port = p.host.substr(comma + 1);
    p.host = p.host.substr(0, comma);
    while (!p.port.empty() && p.port.front() == ' ') p.port.erase(0, 1);
    while (!p.host.empty() && p.host.back() == ' ') p.host.pop_back();
  }
  return p;
}

ConnectTarget makeTarget(const ConnectFields& f, const DriverNames& drivers,
                         int commandTimeoutSeconds, const Encryption& encryption) {
  return makeTarget(parseServer(f.server), f, drivers, commandTimeoutSeconds, encryption);
}

ConnectTarget makeTarget(const ServerParts& p, const ConnectFields& f, const DriverNames& drivers,
                         int commandTimeoutSeconds, const Encryption& encryption) {
  ConnectTarget t;
  t.kind = p.kind;
  t.problem = p.problem;
  switch (p.kind) {
    case TargetKind::SQLite:
      t.sqlitePath = f.database;
      // The SQLite driver reads its values up to the next ";" and knows no
      // braces, so the path goes in bare; NoCreat keeps a mistyped path from
      // becoming a new empty database.
      t.connectionString =
          "Driver=" + quoteOdbcValue(drivers.sqlite) + ";Database=" + f.database + ";NoCreat=1;";
      // The driver waits out its busy time-out twice for a statement that
      // meets a lock (once preparing, once stepping): half of it keeps the
      // whole wait within the command time-out.
      if (commandTimeoutSeconds > 0)
        t.connectionString += "Timeout=" + std::to_string(commandTimeoutSeconds * 500) + ";";
      return t;
    case TargetKind::Dsn:
      addPair(t.connectionString, "DSN", p.host);
      addPair(t.connectionString, "UID", f.user);
      addPair(t.connectionString, "PWD", f.password);
      addPair(t.connectionString, "Database", f.database);
      return t;
    case TargetKind::PostgreSQL:
    case TargetKind::MariaDB: {
      const bool pg = p.kind == TargetKind::PostgreSQL;
      addPair(t.connectionString, "Driver", pg ? drivers.postgresql : drivers.mariadb);
      addPair(t.connectionString, "Server", p.host);
      if (!p.port.empty()) addPair(t.connectionString, "Port", p.port);
      addPair(t.connectionString, "Database", f.database);
      addPair(t.connectionString, "UID", f.user);
      addPair(t.connectionString, "PWD", f.password);
      // The PostgreSQL driver calls varchar longer than 255 long and gives
      // text a size of 8190; these make it report the declared lengths.
      if (pg) t.connectionString += "MaxVarcharSize=65535;MaxLongVarcharSize=1073741823;";
      return t;
    }
    case TargetKind::SqlServer:
      break;
  }
  if (isMicrosoftSqlServerDriver(drivers.tds)) {
    // Braced as Microsoft's own examples write it.
    t.connectionString += "Driver={" + drivers.tds + "};";
    // tcp: keeps the driver from trying shared memory or named pipes first.
    std::string server = "tcp:" + p.host;
    if (!p.port.empty()) server += "," + p.port;
    addPair(t.connectionString, "Server", server);
    addPair(t.connectionString, "Database", f.database);
    addPair(t.connectionString, "UID", f.user);
    addPair(t.connectionString, "PWD", f.password);
    if (!encryption.encrypt.empty()) addPair(t.connectionString, "Encrypt", encryption.encrypt);
    if (encryption.trustServerCertificate) t.connectionString += "TrustServerCertificate=yes;";
    t.connectionString += "APP=Trellick;";
    return t;
  }
  auto add = [&](std::string_view key, std::string_view value, const char* what) {
    auto quoted = quoteFreeTdsValue(value);
    if (!quoted) {
      if (t.problem.empty())
        t.problem = std::string("[Trellick]") + what + "含有 \"};\"，FreeTDS 驱动无法接受。";
      return;
    }
    t.connectionString += key;
    t.connectionString += '=';
    t.connectionString += *quoted;
    t.connectionString += ';';
  };
  add("Driver", drivers.tds, "驱动名称");
  add("Server", p.host, "服务器名称");
  if (!p.port.empty()) add("Port", p.port, "端口");
  add("Database", f.database, "数据库名称");
  add("UID", f.user, "用户名");
  add("PWD", f.password, "密码");
  // FreeTDS's own word for it; it checks no certificate unless its set-up
  // names one.
  if (!encryption.encrypt.empty())
    t.connectionString += std::string("Encryption=") +
                          (encryption.encrypt == "no"       ? "off"
                           : encryption.encrypt == "strict" ? "strict"
                                                            : "require") +
                          ";";
  // Statement text and values travel as UTF-8 between us and the driver;
  // the driver speaks UCS-2 to the server.
  t.connectionString += "ClientCharset=UTF-8;APP=Trellick;";
  return t;
}

namespace {

// A driver's place among those that serve its engine: lower is better,
// nullopt when it serves another.
std::optional<int> sqlServerRank(std::string_view name) {
  static const char* const best[] = {
      "ODBC Driver 18 for SQL Server", "ODBC Driver 17 for SQL Server",
      "SQL Server Native Client 11.0", "SQL Server Native Client 10.0", "FreeTDS",
      // The one every Windows has, from before TLS 1.2.
      "SQL Server"};
  for (int k = 0; k < int(std::size(best)); ++k)
    if (name == best[k]) return k;
  return std::nullopt;
}

std::optional<int> listedRank(std::string_view name,
                              std::initializer_list<std::string_view> names) {
  int k = 0;
  for (auto n : names) {
    if (name == n) return k;
    ++k;
  }
  return std::nullopt;
}

// "MariaDB ODBC 3.2 Driver": the newer minor version first.
std::optional<int> mariadbRank(std::string_view name) {
  if (name == "MariaDB Unicode") return 0;
  const std::string_view head = "MariaDB ODBC 3.", tail = " Driver";
  if (name.size() <= head.size() + tail.size() || name.substr(0, head.size()) != head ||
      name.substr(name.size() - tail.size()) != tail)
    return std::nullopt;
  const std::string_view minor = name.substr(head.size(), name.size() - head.size() - tail.size());
  if (minor.find_first_not_of("0123456789") != std::string_view::npos || minor.size() > 3)
    return std::nullopt;
  return 1000 - std::stoi(std::string(minor));
}

}  // namespace

bool isMicrosoftSqlServerDriver(std::string_view name) {
  const auto rank = sqlServerRank(name);
  return rank && name != "FreeTDS";
}

DriverNames chooseDrivers(const std::vector<std::string>& installed, DriverNames fallback) {
  auto pick = [&installed](std::string& chosen, auto rank) {
    std::optional<int> best;
    for (const auto& name : installed) {
      const auto r = rank(name);
      if (r && (!best || *r < *best)) {
        best = r;
        chosen = name;
      }
    }
  };
  pick(fallback.sqlite, [](std::string_view n) {
    return listedRank(n, {"SQLite3", "SQLite3 ODBC Driver"});
  });
  pick(fallback.tds, sqlServerRank);
  pick(fallback.postgresql, [](std::string_view n) {
    return listedRank(n, {"PostgreSQL Unicode", "PostgreSQL Unicode(x64)"});
  });
  pick(fallback.mariadb, mariadbRank);
  return fallback;
}

}  // namespace trellick::db
