// What the program needs of the operating system, one function per
// concern, so that the session and the command line make no system call
// of their own. posix.cpp implements it for Linux and the BSDs, win32.cpp
// for Windows; glob.cpp is both's.
#pragma once

#include <ctime>
#include <functional>
#include <string>
#include <vector>

namespace trellick::platform {

// Terminals.
bool inputIsTerminal();  // standard input
bool errorIsTerminal();  // standard error

// Reads a line from standard input without echoing it, after showing the
// prompt on standard error; the terminal is put back even when the
// program is ended meanwhile (see quitNow).
bool readHiddenLine(const std::string& prompt, std::string& line);

// Interrupts (Ctrl-C; SIGTERM and SIGHUP alike). From the call on, an interrupt reaches no thread
// of the program: each one calls `pressed` on a watcher thread of its own,
// so that no driver call is ever cut by a handler. Call before any other
// thread exists; once only.
void watchInterrupts(std::function<void()> pressed);

// Ends the program at once with `code`, the terminal put back, without
// running destructors (other threads may hold what they would free).
[[noreturn]] void quitNow(int code);

// Paths. The one name of a file: absolute, symbolic links resolved; a
// path that does not exist is made absolute and normal without them.
std::string canonicalPath(const std::string& path);

// The folder where the user's own data of every program lives.
std::string userDataFolder();

// Creates the directory and the ones above it, readable by the owner only
// when they are new; the directory itself, when it is the user's, is made
// owner-only even if it was there already, unless it is shared by design
// (sticky or writable by all, as /tmp). Throws std::runtime_error.
void makePrivateDirectories(const std::string& dir);

// Creates the file if it is missing and makes it readable and writable by
// its owner only. Throws std::runtime_error.
void makePrivateFile(const std::string& path);

// Whether the shell pattern (*, ?, [...]) matches the whole text.
bool matchesPattern(const std::string& pattern, const std::string& text);

// A socket the process holds: its descriptor and what it is, so that a
// descriptor closed and reused for something else is told apart.
struct SocketId {
  long long descriptor = -1;
  unsigned long long identity = 0;
  bool operator==(const SocketId&) const = default;
};

// Every socket the process holds open now.
std::vector<SocketId> openSockets();

// Ends both directions of the socket, if the descriptor still is that
// socket: a call blocked reading or writing it returns at once.
void shutdownSocket(const SocketId& socket);

// What the last interrupt was, as the operator names it: "Ctrl-C",
// "SIGTERM" or "SIGHUP".
std::string lastInterrupt();

// Console set-up, first thing in main: on Windows UTF-8 in and out, binary
// standard output (JSON lines end in "\n", not "\r\n") and escape
// sequences honoured; nothing to do elsewhere.
void setUpConsole();

// The program's arguments in UTF-8, without the program's name.
std::vector<std::string> arguments(int argc, char* argv[]);

// The calendar time t in UTC.
std::tm utcTime(std::time_t t);

// The folder a path names its file in ("" when it names none); on Windows
// either slash separates.
std::string parentFolder(const std::string& path);

// Whether the path names a regular file (not a folder).
bool isRegularFile(const std::string& path);

}  // namespace trellick::platform
