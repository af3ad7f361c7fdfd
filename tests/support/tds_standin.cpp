#include "tds_standin.h"

#include <chrono>
#include <thread>

namespace testsupport {

TdsStandin::TdsStandin(const std::string& mainFile, const std::vector<Schema>& schemas)
    : dir_("trellick-tds-XXXXXX") {
  std::vector<std::string> args{
      TRELLICK_PYTHON, TRELLICK_TDS_STANDIN,     "--main", mainFile,
      "--port-file",   dir_.file("port"),        "--log",  dir_.file("log.jsonl"),
      "--control",     dir_.file("control.json")};
  for (const Schema& s : schemas) {
    args.push_back("--schema");
    args.push_back(s.name + '=' + s.file);
  }
  process_ = std::make_unique<Child>(args, "", dir_.file("stderr.txt"));
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (std::chrono::steady_clock::now() < deadline && process_->running()) {
    const std::string text = readFile(dir_.file("port"));
    try {
      const int port = std::stoi(text);
      // The file is complete once its line ends.
      if (port > 0 && text.find('\n') != std::string::npos) {
        port_ = port;
        return;
      }
    } catch (const std::exception&) {
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

TdsStandin::~TdsStandin() { process_->stop(); }

std::string TdsStandin::serverField() const { return "127.0.0.1," + std::to_string(port_); }

std::string TdsStandin::connectionString(const std::string& driver,
                                         const std::string& database) const {
  return "Driver=" + driver + ";Server=127.0.0.1;Port=" + std::to_string(port_) +
         ";Database=" + database + ";UID=sa;PWD=x;ClientCharset=UTF-8;APP=Trellick;";
}

void TdsStandin::setControl(const nlohmann::json& control) {
  replaceFile(dir_.file("control.json"), control.dump());
}

std::vector<nlohmann::json> TdsStandin::log() const {
  std::vector<nlohmann::json> entries;
  for (const std::string& line : splitLines(readFile(dir_.file("log.jsonl")))) {
    if (line.find_first_not_of(" \t\r") == std::string::npos) continue;
    nlohmann::json entry = nlohmann::json::parse(line, nullptr, false);
    entries.push_back(entry.is_object() ? std::move(entry) : nlohmann::json::object());
  }
  return entries;
}

std::vector<std::string> TdsStandin::batches() const {
  std::vector<std::string> texts;
  auto text = [](const nlohmann::json& v) { return v.is_string() ? v.get<std::string>() : ""; };
  for (const nlohmann::json& e : log()) {
    const std::string type = text(e.value("type", nlohmann::json()));
    if (type == "batch") {
      texts.push_back(text(e.value("text", nlohmann::json())));
    } else if (type == "rpc") {
      const std::string proc = text(e.value("proc", nlohmann::json()));
      const nlohmann::json params = e.value("params", nlohmann::json::array());
      if (!params.is_array()) continue;
      // sp_executesql(stmt, decl, ...); sp_prepare/sp_prepexec(handle, decl, stmt, ...).
      if (proc == "sp_executesql" && !params.empty())
        texts.push_back(text(params[0]));
      else if ((proc == "sp_prepare" || proc == "sp_prepexec") && params.size() > 2)
        texts.push_back(text(params[2]));
    }
  }
  return texts;
}

std::string TdsStandin::errorText() const { return readFile(dir_.file("stderr.txt")); }

}  // namespace testsupport
