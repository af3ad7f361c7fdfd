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

namespace {

std::string trimmed(std::string_view text) {
  const size_t begin = text.find_first_not_of(" \t\r\n");
  if (begin == std::string_view::npos) return {};
  return std::string(text.substr(begin, text.find_last_not_of(" \t\r\n") - begin + 1));
}

std::string percentDecoded(std::string_view text) {
  std::string out;
  for (size_t k = 0; k < text.size(); ++k) {
    if (text[k] == '%' && k + 2 < text.size() &&
        std::isxdigit(static_cast<unsigned char>(text[k + 1])) &&
        std::isxdigit(static_cast<unsigned char>(text[k + 2]))) {
      out += static_cast<char>(std::stoi(std::string(text.substr(k + 1, 2)), nullptr, 16));
      k += 2;
    } else {
      out += text[k];
    }
  }
  return out;
}

// "HOST[:PORT]" or "[IPv6]:PORT" into p.host and p.port.
void hostAndPort(std::string host, ServerParts& p) {
  if (!host.empty() && host.front() == '[') {
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
  if (!p.port.empty() && p.port.find_first_not_of("0123456789") != std::string::npos) {
    p.problem = "[Trellick]端口必须是数字：" + p.port;
    p.problemEnglish = "[Trellick]the port must be a number: " + p.port;
  }
}

constexpr const char* kKnownForms =
    "sqlite, sqlite:///PATH, dsn:NAME, HOST[,PORT] (SQL Server), sqlserver:HOST, "
    "postgresql:HOST[:PORT] (or postgres:), mariadb:HOST[:PORT] (or mysql:), and the URIs "
    "postgresql://, postgres://, mysql://, mariadb://, sqlserver://";

const std::pair<std::string_view, TargetKind> kPrefixes[] = {
    {"postgresql", TargetKind::PostgreSQL}, {"postgres", TargetKind::PostgreSQL},
    {"mariadb", TargetKind::MariaDB},       {"mysql", TargetKind::MariaDB},
    {"sqlserver", TargetKind::SqlServer},   {"sqlite", TargetKind::SQLite}};

// SCHEME://[USER[:PASSWORD]@]HOST[:PORT][/DATABASE], the scheme known and
// ending at `colon`.
void parseUri(const std::string& field, size_t colon, ServerParts& p) {
  p.uri = true;
  const std::string head = field.substr(0, colon + 3);
  std::string rest = field.substr(colon + 3);
  if (p.kind == TargetKind::SQLite) {
    // sqlite:///PATH: what follows the two slashes is the file's path.
    p.database = percentDecoded(rest);
    return;
  }
  if (const size_t query = rest.find_first_of("?#"); query != std::string::npos) {
    p.problem = "[Trellick]服务器 URI 不接受参数：" + rest.substr(query);
    p.problemEnglish = "[Trellick]the server URI takes no parameters: " + rest.substr(query);
    rest = rest.substr(0, query);
  }
  std::string authority = rest, path;
  if (const size_t slash = rest.find('/'); slash != std::string::npos) {
    authority = rest.substr(0, slash);
    path = rest.substr(slash);
    p.database = percentDecoded(rest.substr(slash + 1));
  }
  if (const size_t at = authority.rfind('@'); at != std::string::npos) {
    const std::string login = authority.substr(0, at);
    authority = authority.substr(at + 1);
    const size_t pw = login.find(':');
    p.user = percentDecoded(login.substr(0, pw));
    if (pw != std::string::npos) {
      p.password = percentDecoded(login.substr(pw + 1));
      // Shown and kept without it.
      p.shown = head + login.substr(0, pw) + "@" + authority + path;
    }
  }
  hostAndPort(percentDecoded(authority), p);
}

}  // namespace

ServerParts parseServer(std::string_view given) {
  ServerParts p;
  const std::string field = trimmed(given);
  p.shown = field;
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
  p.kind = TargetKind::SqlServer;
  p.host = field;
  const size_t colon = server.find(':');
  const std::string scheme = colon == std::string::npos ? std::string() : server.substr(0, colon);
  const bool word = !scheme.empty() && std::all_of(scheme.begin(), scheme.end(),
                                                   [](char c) { return c >= 'a' && c <= 'z'; });
  // "fe80::1" and "::1" are SQL Server's IPv6 hosts, not prefixes.
  if (word && server.compare(colon, 2, "::") != 0) {
    const auto known = std::find_if(std::begin(kPrefixes), std::end(kPrefixes),
                                    [&](const auto& k) { return k.first == scheme; });
    const bool uri = server.compare(colon, 3, "://") == 0;
    if (known == std::end(kPrefixes) || (known->second == TargetKind::SQLite && !uri)) {
      // Never a host name for the SQL Server driver.
      p.problem = "[Trellick]不认识的服务器写法：" + field.substr(0, colon + 1) + "。可用的写法：" +
                  kKnownForms;
      p.problemEnglish = "[Trellick]unknown kind of server \"" + field.substr(0, colon + 1) +
                         "\"; known: " + kKnownForms;
      return p;
    }
    p.kind = known->second;
    if (uri) {
      parseUri(field, colon, p);
      return p;
    }
    if (p.kind != TargetKind::SqlServer) {
      hostAndPort(field.substr(colon + 1), p);
      return p;
    }
    p.host = field.substr(colon + 1);
  }
  if (auto comma = p.host.rfind(','); comma != std::string::npos) {
    p.port = p.host.substr(comma + 1);
    p.host = p.host.substr(0, comma);
    while (!p.port.empty() && p.port.front() == ' ') p.port.erase(0, 1);
    while (!p.host.empty() && p.host.back() == ' ') p.host.pop_back();
  }
  return p;
}

ConnectTarget makeTarget(const ConnectFields& f, const DriverNames& drivers,
                         int commandTimeoutSeconds, int connectTimeoutSeconds,
                         const Encryption& encryption) {
  return makeTarget(parseServer(f.server), f, drivers, commandTimeoutSeconds, connectTimeoutSeconds,
                    encryption);
}

ConnectTarget makeTarget(const ServerParts& p, const ConnectFields& f, const DriverNames& drivers,
                         int commandTimeoutSeconds, int connectTimeoutSeconds,
                         const Encryption& encryption) {
  ConnectTarget t;
  t.kind = p.kind;
  t.problem = p.problem;
  t.problemEnglish = p.problemEnglish;
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
      // MariaDB's driver leaves SQL_ATTR_LOGIN_TIMEOUT aside and would wait
      // for a server that accepts and never greets; its own key holds.
      if (!pg && connectTimeoutSeconds > 0)
        t.connectionString += "CONN_TIMEOUT=" + std::to_string(connectTimeoutSeconds) + ";";
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
  auto add = [&](std::string_view key, std::string_view value, const char* what,
                 const char* whatEnglish) {
    auto quoted = quoteFreeTdsValue(value);
    if (!quoted) {
      if (t.problem.empty()) {
        t.problem = std::string("[Trellick]") + what + "含有 \"};\"，FreeTDS 驱动无法接受。";
        t.problemEnglish = std::string("[Trellick]the ") + whatEnglish +
                           " holds \"};\", which the FreeTDS driver cannot take";
      }
      return;
    }
    t.connectionString += key;
    t.connectionString += '=';
    t.connectionString += *quoted;
    t.connectionString += ';';
  };
  add("Driver", drivers.tds, "驱动名称", "driver name");
  add("Server", p.host, "服务器名称", "server name");
  if (!p.port.empty()) add("Port", p.port, "端口", "port");
  add("Database", f.database, "数据库名称", "database name");
  add("UID", f.user, "用户名", "user name");
  add("PWD", f.password, "密码", "password");
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
