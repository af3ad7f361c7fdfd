#include "mariadb_server.h"

#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <thread>

#include "free_port.h"
#include "odbc_driver.h"

namespace testsupport {
namespace {

// Socket paths are limited to 107 bytes; a long TMPDIR must not break start-up.
std::string tempTemplate() {
  std::string base = tempBase();
  if (base.size() > 60) base = "/tmp";
  return base + "/trellick-maria-XXXXXX";
}

std::string findProgram(const std::string& name) {
  // Debian puts the server in /usr/sbin, which a CI PATH may lack.
  return findExecutable(name, {"/usr/sbin", "/usr/bin", "/usr/local/sbin", "/usr/local/bin"});
}

std::string sqlString(const std::string& s) {
  std::string out = "'";
  for (char c : s) {
    if (c == '\\')
      out += "\\\\";
    else if (c == '\'')
      out += "''";
    else
      out += c;
  }
  return out + "'";
}

std::string sqlName(const std::string& s) {
  std::string out = "`";
  for (char c : s) out += c == '`' ? std::string("``") : std::string(1, c);
  return out + "`";
}

std::string trimmed(const std::string& s) {
  const auto b = s.find_first_not_of(" \t\r\n");
  if (b == std::string::npos) return {};
  return s.substr(b, s.find_last_not_of(" \t\r\n") - b + 1);
}

// Small data files and no durability: the server starts in well under a
// second and the tests never need a crash-safe commit. With the server's
// defaults its buffer pool, redo log and commits are its own.
std::vector<std::string> storageOptions(ServerSettings settings) {
  std::vector<std::string> options{
      "--innodb-data-file-path=ibdata1:4M:autoextend",
      // Container kernels may refuse io_uring/libaio; plain threads always work.
      "--innodb-use-native-aio=0",
      "--skip-log-bin",
  };
  if (settings == ServerSettings::ForTests)
    options.insert(options.end(), {"--innodb-buffer-pool-size=32M", "--innodb-log-file-size=4M",
                                   "--innodb-flush-log-at-trx-commit=0"});
  return options;
}

}  // namespace

MariaDbServer::MariaDbServer(ServerSettings settings) : dir_(tempTemplate()), settings_(settings) {
  mariadbd_ = findProgram("mariadbd");
  installDb_ = findProgram("mariadb-install-db");
  admin_ = findProgram("mariadb-admin");
  clientProgram_ = findProgram("mariadb");
  std::string missing;
  auto need = [&](const std::string& path, const char* what) {
    if (path.empty()) missing += (missing.empty() ? "" : ", ") + std::string(what);
  };
  need(mariadbd_, "mariadbd (package mariadb-server)");
  need(installDb_, "mariadb-install-db (package mariadb-server)");
  need(admin_, "mariadb-admin (package mariadb-client)");
  need(clientProgram_, "mariadb (package mariadb-client)");
  if (!missing.empty()) {
    error_ = "MariaDB programs not found: " + missing;
    return;
  }
  if (!dir_.valid()) {
    error_ = "cannot create a temporary directory: " + dir_.error();
    return;
  }
  ok_ = start();
  if (!ok_) stop();
}

MariaDbServer::~MariaDbServer() { stop(); }

bool MariaDbServer::runProgram(const std::string& program, const std::vector<std::string>& args,
                               int timeoutMs, std::string* output, const std::string& input) const {
  std::vector<std::string> argv{program};
  argv.insert(argv.end(), args.begin(), args.end());
  ProcessOptions options;
  options.input = input;
  options.timeoutMs = timeoutMs;
  const ProcessResult r = runProcess(argv, options);
  if (!r.started) {
    if (output) *output = program + ": " + r.err;
    return false;
  }
  if (r.timedOut) {
    if (output) *output = program + ": did not finish in time";
    return false;
  }
  if (output) *output = r.ok() ? r.out : r.err + r.out;
  return r.ok();
}

bool MariaDbServer::start() {
  const std::string data = dir_.file("data");
  const std::string tmp = dir_.file("tmp");
  std::error_code ec;
  std::filesystem::create_directories(tmp, ec);

  // Root gets no password and no unix_socket plugin, so the setup and
  // client() log in as root over the private socket. The server listens on
  // loopback only.
  std::string out;
  std::vector<std::string> installArgs{"--no-defaults", "--datadir=" + data, "--tmpdir=" + tmp,
                                       "--auth-root-authentication-method=normal",
                                       "--skip-test-db"};
  const std::vector<std::string> storage = storageOptions(settings_);
  installArgs.insert(installArgs.end(), storage.begin(), storage.end());
  if (::geteuid() == 0) installArgs.push_back("--user=root");
  if (!runProgram(installDb_, installArgs, 120000, &out)) {
    error_ = "mariadb-install-db failed: " + trimmed(out);
    return false;
  }

  const std::string socket = dir_.file("mariadb.sock");
  for (int attempt = 0; attempt < 3; ++attempt) {
    port_ = testnet::freeLoopbackPort();
    if (port_ == 0) {
      error_ = "no free loopback port";
      return false;
    }
    std::remove(dir_.file("error.log").c_str());
    std::vector<std::string> argv{mariadbd_,
                                  "--no-defaults",
                                  "--datadir=" + data,
                                  "--tmpdir=" + tmp,
                                  "--socket=" + socket,
                                  "--pid-file=" + dir_.file("mariadbd.pid"),
                                  "--log-error=" + dir_.file("error.log"),
                                  "--bind-address=127.0.0.1",
                                  "--port=" + std::to_string(port_),
                                  "--skip-name-resolve",
                                  "--character-set-server=utf8mb4",
                                  "--collation-server=utf8mb4_general_ci"};
    const std::vector<std::string> storage = storageOptions(settings_);
    argv.insert(argv.end(), storage.begin(), storage.end());
    // Tests run as root in CI; the server refuses that unless told to.
    if (::geteuid() == 0) argv.push_back("--user=root");

    server_.reset();
    server_ = std::make_unique<Child>(argv, dir_.file("mariadbd.out"), dir_.file("mariadbd.out"));
    if (server_->pid() == 0) {
      error_ = "cannot start mariadbd";
      return false;
    }

    // If this process dies before the destructor runs (crash, SIGKILL, a
    // test time-out), the watcher stops the server and removes its files.
    if (watcherPid_ > 0) ::kill(watcherPid_, SIGTERM);
    const std::string serverPid = std::to_string(server_->pid());
    const std::string script =
        "while kill -0 " + std::to_string(::getpid()) +
        " 2>/dev/null; do sleep 1; done; kill -TERM " + serverPid + " 2>/dev/null; i=0; " +
        "while kill -0 " + serverPid + " 2>/dev/null && [ $i -lt 30 ]; do sleep 1; i=$((i+1)); " +
        "done; kill -KILL " + serverPid + " 2>/dev/null; rm -rf " + shellQuote(dir_.path());
    watcherPid_ = startDetached({"/bin/sh", "-c", script});
    if (watcherPid_ == 0) {
      error_ = "cannot start the watcher shell";
      return false;
    }

    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    bool up = false;
    while (std::chrono::steady_clock::now() < deadline && server_->running()) {
      if (runProgram(admin_, {"--no-defaults", "--socket=" + socket, "--user=root", "ping"}, 10000,
                     nullptr)) {
        up = true;
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    if (up) break;
    server_->waitFor(100);
    const std::string log = serverLog();
    if (server_->running()) {
      error_ = "mariadbd did not accept connections within 60 s:\n" + log;
      return false;
    }
    // Someone else took the port in between: try another one.
    if (log.find("Address already in use") == std::string::npos || attempt == 2) {
      error_ = "mariadbd exited at start-up:\n" + log;
      return false;
    }
  }

  // '%' covers 127.0.0.1 under skip-name-resolve.
  std::string err;
  if (!client("CREATE USER 'trellick'@'%' IDENTIFIED BY " + sqlString(password()) + ";", {},
              nullptr, &err) ||
      !createDatabase(database(), &err)) {
    error_ = "setting up user and database failed: " + err;
    return false;
  }
  return true;
}

void MariaDbServer::stop() {
  if (server_ && server_->running()) {
    runProgram(
        admin_,
        {"--no-defaults", "--socket=" + dir_.file("mariadb.sock"), "--user=root", "shutdown"},
        30000, nullptr);
    if (!server_->waitFor(30000)) server_->stop(10000);
  }
  server_.reset();
  if (watcherPid_ > 0) {
    ::kill(watcherPid_, SIGTERM);
    watcherPid_ = 0;
  }
  // The TempDir removes the directory itself.
}

std::string MariaDbServer::serverField() const {
  return "mariadb:127.0.0.1:" + std::to_string(port_);
}

bool MariaDbServer::client(const std::string& sql, const std::string& database, std::string* out,
                           std::string* error) const {
  std::vector<std::string> args{"--no-defaults",
                                "--socket=" + dir_.file("mariadb.sock"),
                                "--user=root",
                                "--batch",
                                "--skip-column-names",
                                "--raw",
                                "--default-character-set=utf8mb4"};
  if (!database.empty()) args.push_back("--database=" + database);
  std::string text;
  // The statement goes in on standard input: no length limit, no quoting.
  if (!runProgram(clientProgram_, args, 120000, &text, sql)) {
    if (text.empty()) text = "client failed";
    if (error) *error = trimmed(text);
    if (out) out->clear();
    return false;
  }
  if (error) error->clear();
  if (!text.empty() && text.back() == '\n') text.pop_back();
  if (out) *out = text;
  return true;
}

bool MariaDbServer::stockClient(const std::string& sql, const std::string& database,
                                std::string* error) const {
  const std::vector<std::string> args{"--no-defaults", "--socket=" + dir_.file("mariadb.sock"),
                                      "--user=root", "--database=" + database};
  std::string text;
  const bool ok = runProgram(clientProgram_, args, 120000, &text, sql);
  if (error) *error = ok ? std::string() : text.empty() ? "client failed" : trimmed(text);
  return ok;
}

bool MariaDbServer::createDatabase(const std::string& name, std::string* error) const {
  const std::string n = sqlName(name);
  return client("CREATE DATABASE " + n + " CHARACTER SET utf8mb4; GRANT ALL PRIVILEGES ON " + n +
                    ".* TO 'trellick'@'%';",
                {}, nullptr, error);
}

std::string MariaDbServer::odbcDriver() {
  // The package registers the driver as "MariaDB Unicode"; any section whose
  // Driver is the same library will do as well.
  const std::string section = registeredOdbcDriver("libmaodbc.so");
  if (!section.empty()) return section;
  for (const char* dir : {"/usr/lib/x86_64-linux-gnu/odbc", "/usr/lib/aarch64-linux-gnu/odbc",
                          "/usr/lib/odbc", "/usr/local/lib"}) {
    const std::string path = std::string(dir) + "/libmaodbc.so";
    if (::access(path.c_str(), F_OK) == 0) return path;
  }
  return "libmaodbc.so";
}

std::string MariaDbServer::odbcConnectionString(const std::string& database) const {
  std::string pwd;
  for (char c : password()) pwd += c == '}' ? std::string("}}") : std::string(1, c);
  return "Driver={" + odbcDriver() + "};Server=127.0.0.1;Port=" + std::to_string(port_) +
         ";Database=" + database + ";UID=" + user() + ";PWD={" + pwd + "};";
}

std::string MariaDbServer::serverLog() const {
  const std::string text = readFile(dir_.file("error.log")) + readFile(dir_.file("mariadbd.out"));
  // The end says why it stopped.
  return text.size() > 4000 ? text.substr(text.size() - 4000) : text;
}

}  // namespace testsupport
