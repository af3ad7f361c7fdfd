#include "files.h"

#include <stdlib.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace testsupport {

std::string tempBase() {
  const char* tmp = std::getenv("TMPDIR");
  return tmp && *tmp ? std::string(tmp) : std::string("/tmp");
}

TempDir::TempDir(const std::string& pattern) {
  std::string path = pattern.find('/') == std::string::npos ? tempBase() + "/" + pattern : pattern;
  if (::mkdtemp(path.data())) {
    path_ = path;
  } else {
    error_ = path + ": " + std::strerror(errno);
  }
}

TempDir::~TempDir() {
  if (path_.empty()) return;
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

std::string readFile(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::ostringstream s;
  s << f.rdbuf();
  return s.str();
}

bool writeFile(const std::string& path, const std::string& bytes) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(f.flush());
}

bool replaceFile(const std::string& path, const std::string& bytes) {
  const std::string partial = path + ".partial";
  return writeFile(partial, bytes) && std::rename(partial.c_str(), path.c_str()) == 0;
}

std::vector<std::string> splitLines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

std::string replacedEach(const std::string& text, const std::string& find, const std::string& by) {
  std::string out;
  size_t from = 0;
  for (size_t at = text.find(find); at != std::string::npos; at = text.find(find, from)) {
    out += text.substr(from, at - from) + by;
    from = at + find.size();
  }
  return out + text.substr(from);
}

std::string hexOf(const std::string& bytes) {
  static const char* digits = "0123456789abcdef";
  std::string out;
  for (unsigned char c : bytes) {
    out += digits[c >> 4];
    out += digits[c & 15];
  }
  return out;
}

}  // namespace testsupport
