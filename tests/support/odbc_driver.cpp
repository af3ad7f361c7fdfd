#include "odbc_driver.h"

#include <algorithm>
#include <cctype>
#include <sstream>

#include "files.h"

namespace testsupport {
namespace {

std::string trim(const std::string& s) {
  const auto b = s.find_first_not_of(" \t\r");
  if (b == std::string::npos) return {};
  return s.substr(b, s.find_last_not_of(" \t\r") - b + 1);
}

std::string lower(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::tolower(c); });
  return s;
}

}  // namespace

std::string registeredOdbcDriver(const std::string& library) {
  std::istringstream ini(readFile("/etc/odbcinst.ini"));
  std::string line, section;
  while (std::getline(ini, line)) {
    line = trim(line);
    if (line.size() > 1 && line.front() == '[' && line.back() == ']') {
      section = trim(line.substr(1, line.size() - 2));
      continue;
    }
    const auto eq = line.find('=');
    if (section.empty() || eq == std::string::npos) continue;
    if (lower(trim(line.substr(0, eq))) != "driver") continue;
    const std::string path = trim(line.substr(eq + 1));
    const auto slash = path.rfind('/');
    if ((slash == std::string::npos ? path : path.substr(slash + 1)) == library) return section;
  }
  return {};
}

std::string iniValue(const std::string& file, const std::string& section, const std::string& key) {
  std::istringstream ini(readFile(file));
  std::string line, current;
  while (std::getline(ini, line)) {
    line = trim(line);
    if (line.size() > 1 && line.front() == '[' && line.back() == ']') {
      current = trim(line.substr(1, line.size() - 2));
      continue;
    }
    const auto eq = line.find('=');
    if (current != section || eq == std::string::npos) continue;
    if (lower(trim(line.substr(0, eq))) == lower(key)) return trim(line.substr(eq + 1));
  }
  return {};
}

}  // namespace testsupport
