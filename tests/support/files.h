// Temporary directories and whole-file reads and writes for the tests.
#pragma once

#include <string>
#include <vector>

namespace testsupport {

// A fresh directory, removed with everything in it when the object goes.
class TempDir {
 public:
  // pattern ends in XXXXXX; a bare name is made under $TMPDIR (or /tmp).
  explicit TempDir(const std::string& pattern = "trellick-test-XXXXXX");
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  bool valid() const { return !path_.empty(); }
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }
  // Why the directory could not be made.
  const std::string& error() const { return error_; }

 private:
  std::string path_;
  std::string error_;
};

// $TMPDIR, or /tmp.
std::string tempBase();

// The file's bytes; empty when it cannot be read.
std::string readFile(const std::string& path);
bool writeFile(const std::string& path, const std::string& bytes);
// Written whole under another name and renamed into place, so a reader never
// sees half of it.
bool replaceFile(const std::string& path, const std::string& bytes);

// The lines of a text, without their line ends; a last line without one
// counts too.
std::vector<std::string> splitLines(const std::string& text);

// The text with every `find` in it replaced by `by`, once each, left to
// right: what a literal replace should leave.
std::string replacedEach(const std::string& text, const std::string& find, const std::string& by);

// The bytes as lower-case hex digits, two each.
std::string hexOf(const std::string& bytes);

}  // namespace testsupport
