#include "pg_server.h"

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>

#include "free_port.h"
#include "odbc_driver.h"
#include "process.h"

namespace testsupport {
namespace {

const std::string kBin = "/usr/lib/postgresql/15/bin/";
const char kServerUser[] = "nobody";
const char kServerGroup[] = "nogroup";

bool runningAsRoot() { return geteuid() == 0; }

bool isExecutable(const std::string& path) { return ::access(path.c_str(), X_OK) == 0; }

// Every directory from path up to the root must be searchable by others, or
// the unprivileged server could not reach its data directory.
bool traversable(const std::string& path) {
  std::filesystem::path d = std::filesystem::absolute(path);
  while (true) {
    struct stat st {};
    if (stat(d.c_str(), &st) != 0) return false;
    if (!(st.st_mode & S_IXOTH)) return false;
    if (d == d.root_path()) return true;
    d = d.parent_path();
  }
}

std::string dirTemplate() {
  std::string base = tempBase();
  // As root the server runs as nobody; a private TMPDIR (e.g. /root/tmp) would
  // be out of its reach, /tmp never is.
  if (runningAsRoot() && !traversable(base)) base = "/tmp";
  return base + "/trellick-pg-XXXXXX";
}

bool chownToServerUser(const std::string& path) {
  const passwd* pw = getpwnam(kServerUser);
  const group* gr = getgrnam(kServerGroup);
  if (!pw || !gr) return false;
  return chown(path.c_str(), pw->pw_uid, gr->gr_gid) == 0;
}

std::string trimmed(const std::string& s) {
  const auto b = s.find_first_not_of(" \t\r\n");
  if (b == std::string::npos) return {};
  return s.substr(b, s.find_last_not_of(" \t\r\n") - b + 1);
}

}  // namespace

PgServer::PgServer(ServerSettings settings) : settings_(settings) {
  dropPrivileges_ = runningAsRoot();
  for (const char* tool : {"initdb", "pg_ctl", "postgres", "psql"}) {
    const std::string path = kBin + tool;
    if (!isExecutable(path)) {
      error_ = "PostgreSQL binary missing: " + path + " (Debian package postgresql-15)";
      return;
    }
  }
  if (dropPrivileges_ && !isExecutable("/usr/bin/setpriv")) {
    error_ = "running as root needs /usr/bin/setpriv (package util-linux)";
    return;
  }
  dir_ = std::make_unique<TempDir>(dirTemplate());
  if (!dir_->valid()) {
    error_ = "cannot create a temporary directory: " + dir_->error();
    return;
  }
  ok_ = start();
}

PgServer::~PgServer() { stop(); }

std::vector<std::string> PgServer::asServerUser(const std::string& program,
                                                const std::vector<std::string>& args) const {
  std::vector<std::string> cmd;
  if (dropPrivileges_) {
    cmd = {"/usr/bin/setpriv", std::string("--reuid=") + kServerUser,
           std::string("--regid=") + kServerGroup, "--clear-groups"};
  }
  cmd.push_back(program);
  cmd.insert(cmd.end(), args.begin(), args.end());
  return cmd;
}

bool PgServer::runStep(const std::string& program, const std::vector<std::string>& args,
                       int timeoutMs) {
  ProcessOptions options;
  options.workingDirectory = dir_->path();
  options.mergeOutput = true;
  options.timeoutMs = timeoutMs;
  // pg_ctl's postmaster keeps no handle on our pipes (its output goes to -l),
  // so waiting for pg_ctl itself is enough.
  const ProcessResult r = runProcess(asServerUser(program, args), options);
  if (r.timedOut) {
    error_ = program + " did not finish in " + std::to_string(timeoutMs) + " ms";
    return false;
  }
  if (!r.ok()) {
    error_ =
        program + " failed (exit " + std::to_string(r.exitCode) + "): " + trimmed(r.out + r.err);
    return false;
  }
  return true;
}

bool PgServer::start() {
  const std::string root = dir_->path();
  if (dropPrivileges_ && !chownToServerUser(root)) {
    error_ = "cannot hand " + root + " to " + kServerUser;
    return false;
  }
  const std::string pwfile = root + "/pwfile";
  if (!writeFile(pwfile, superuserPassword() + "\n")) {
    error_ = "cannot write " + pwfile;
    return false;
  }
  if (dropPrivileges_) chownToServerUser(pwfile);

  // No fsync anywhere for tests: the cluster lives for one test run. With
  // the server's defaults only initdb's files are not synced.
  const std::string data = root + "/data";
  const bool initialised =
      runStep(kBin + "initdb",
              {"-D", data, "--no-sync", "-U", superuser(), "--pwfile=" + pwfile,
               "--auth=scram-sha-256", "-E", "UTF8", "--locale=C.UTF-8"},
              60000);
  std::remove(pwfile.c_str());
  if (!initialised) return false;

  const std::string tuning = settings_ == ServerSettings::ForTests ? "fsync = off\n"
                                                                     "synchronous_commit = off\n"
                                                                     "full_page_writes = off\n"
                                                                     "shared_buffers = 16MB\n"
                                                                   : "";
  for (int attempt = 0; attempt < 3 && !started_; ++attempt) {
    port_ = testnet::freeLoopbackPort();
    if (port_ == 0) {
      error_ = "no free loopback port";
      return false;
    }
    // Settings go to postgresql.auto.conf (read last), so no quoting through pg_ctl -o.
    const std::string conf = data + "/postgresql.auto.conf";
    if (!writeFile(conf,
                   "listen_addresses = '127.0.0.1'\n"
                   "port = " +
                       std::to_string(port_) +
                       "\n"
                       "unix_socket_directories = '" +
                       root +
                       "'\n"
                       "max_connections = 30\n"
                       "log_min_messages = warning\n" +
                       tuning)) {
      error_ = "cannot write " + conf;
      return false;
    }
    if (runStep(kBin + "pg_ctl", {"-D", data, "-l", root + "/log", "-w", "-t", "30", "start"},
                40000)) {
      started_ = true;
      startWatcher();
    }
  }
  if (!started_) {
    error_ += "\nserver log:\n" + serverLog();
    return false;
  }

  const std::string setup = "create role " + user() + " login password '" + password() +
                            "';\ncreate database " + database() + " owner " + user() + ";\n";
  if (!psqlOk(setup, "postgres")) {
    error_ = "setting up role and database failed: " + lastError_;
    return false;
  }
  return true;
}

void PgServer::startWatcher() {
  // pg_ctl detaches the postmaster into its own session, so a crash, a SIGKILL or
  // a ctest time-out of this process would leave it running. The watcher polls
  // for this process and stops the server when it is gone; it ends by itself
  // once the destructor has removed the directory.
  const std::string data = dir_->path() + "/data";
  std::string stopCmd;
  for (const std::string& part :
       asServerUser(kBin + "pg_ctl", {"-D", data, "stop", "-m", "immediate"}))
    stopCmd += (stopCmd.empty() ? "" : " ") + shellQuote(part);
  const std::string script = "while kill -0 " + std::to_string(getpid()) + " 2>/dev/null && [ -d " +
                             shellQuote(data) + " ]; do sleep 1; done; if [ -d " +
                             shellQuote(data) + " ]; then " + stopCmd +
                             " >/dev/null 2>&1; rm -rf " + shellQuote(dir_->path()) + "; fi";
  startDetached({"/bin/sh", "-c", script});
}

void PgServer::stop() {
  if (!started_) return;
  started_ = false;
  runStep(kBin + "pg_ctl", {"-D", dir_->path() + "/data", "stop", "-m", "immediate", "-w"}, 20000);
  // The directory goes with the object; the watcher sees it gone and ends.
}

std::string PgServer::serverField() const {
  return "postgresql:127.0.0.1:" + std::to_string(port_);
}

bool PgServer::psqlOk(const std::string& sql, const std::string& database, std::string* out) const {
  ProcessOptions options;
  options.setEnv = {{"PGPASSWORD", superuserPassword()},
                    {"PGCLIENTENCODING", "UTF8"},
                    {"PGCONNECT_TIMEOUT", "10"}};
  options.unsetEnv = {"PGSERVICE", "PGOPTIONS"};
  options.input = sql;
  options.timeoutMs = 60000;
  const ProcessResult r =
      runProcess({kBin + "psql", "-X", "-A", "-t", "-q", "-v", "ON_ERROR_STOP=1", "-h", host(),
                  "-p", std::to_string(port_), "-U", superuser(), "-d",
                  database.empty() ? this->database() : database, "-f", "-"},
                 options);
  if (!r.started) {
    lastError_ = "psql did not start: " + r.err;
    return false;
  }
  if (r.timedOut) {
    lastError_ = "psql did not finish in 60 s";
    return false;
  }
  std::string text = r.out;
  if (!text.empty() && text.back() == '\n') text.pop_back();
  if (out) *out = text;
  lastError_ =
      r.ok() ? std::string() : "psql exit " + std::to_string(r.exitCode) + ": " + trimmed(r.err);
  return r.ok();
}

std::string PgServer::psql(const std::string& sql, const std::string& database) const {
  std::string out;
  psqlOk(sql, database, &out);
  return out;
}

bool PgServer::createDatabase(const std::string& name) const {
  return psqlOk("create database \"" + name + "\" owner " + user() + ";", "postgres");
}

std::string PgServer::odbcDriver() {
  const std::string section = registeredOdbcDriver("psqlodbcw.so");
  return section.empty() ? "/usr/lib/x86_64-linux-gnu/odbc/psqlodbcw.so" : section;
}

std::string PgServer::odbcConnectionString(const std::string& database,
                                           const std::string& extra) const {
  return "Driver={" + odbcDriver() + "};Server=" + host() + ";Port=" + std::to_string(port_) +
         ";Database=" + (database.empty() ? this->database() : database) + ";UID=" + user() +
         ";PWD=" + password() + ";" + extra;
}

std::string PgServer::serverLog() const { return dir_ ? readFile(dir_->path() + "/log") : ""; }

}  // namespace testsupport
