#include "db/target.h"

#include <algorithm>
#include <cctype>

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
      p.problem = "[Trellick]端口必须是数字：" + p.port,
      p.problemEnglish = "[Trellick]the port must be a number: " + p.port;
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
                         int commandTimeoutSeconds) {
  return makeTarget(parseServer(f.server), f, drivers, commandTimeoutSeconds);
}

ConnectTarget makeTarget(const ServerParts& p, const ConnectFields& f, const DriverNames& drivers,
                         int commandTimeoutSeconds) {
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
      return t;
    }
    case TargetKind::SqlServer:
      break;
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
  // Statement text and values travel as UTF-8 between us and the driver;
  // the driver speaks UCS-2 to the server.
  t.connectionString += "ClientCharset=UTF-8;APP=Trellick;";
  return t;
}

}  // namespace trellick::db
