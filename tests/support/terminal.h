// A terminal (a pseudo-terminal pair) a child takes as its standard input
// and error: what the program shows there, and keys typed on it.
#pragma once

#include <functional>
#include <string>

namespace testsupport {

class Terminal {
 public:
  Terminal();
  ~Terminal();
  Terminal(const Terminal&) = delete;
  Terminal& operator=(const Terminal&) = delete;

  bool ok() const { return master_ >= 0 && slave_ >= 0; }
  // What a child takes as its standard input and error.
  int slave() const { return slave_; }
  // Everything the terminal showed so far, until `text` appears or ms pass.
  std::string readUntil(const std::string& text, int ms = 20000);
  // What it shows while `running` holds, and a moment after.
  std::string readWhile(const std::function<bool()>& running);
  // Types the keys; whether all were written.
  bool type(const std::string& keys);

 private:
  // Adds what is there to read within ms to `into`; whether anything was.
  bool readSome(std::string& into, int ms);
  int master_ = -1;
  int slave_ = -1;
  std::string shown_;
};

}  // namespace testsupport
