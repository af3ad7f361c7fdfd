// Windows: the console through its own API (the C runtime's isatty answers
// 64 for a console, and its text mode would turn "\n" into "\r\n"), names
// in UTF-16 at the system's door and UTF-8 everywhere else, private files
// by an owner-only access list.
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
// clang-format off
#include <aclapi.h>
#include <fcntl.h>
#include <io.h>
#include <shellapi.h>
// clang-format on

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <mutex>
#include <stdexcept>

#include "platform/platform.h"

namespace trellick::platform {
namespace {

std::wstring wide(const std::string& s) {
  if (s.empty()) return {};
  const int n = MultiByteToWideChar(CP_UTF8, 0, s.data(), int(s.size()), nullptr, 0);
  std::wstring out(size_t(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, s.data(), int(s.size()), out.data(), n);
  return out;
}

std::string narrow(const wchar_t* s, size_t length) {
  if (length == 0) return {};
  const int n = WideCharToMultiByte(CP_UTF8, 0, s, int(length), nullptr, 0, nullptr, nullptr);
  std::string out(size_t(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, s, int(length), out.data(), n, nullptr, nullptr);
  return out;
}

std::string narrow(const std::wstring& s) { return narrow(s.data(), s.size()); }

std::string lastError() {
  const DWORD code = GetLastError();
  wchar_t* text = nullptr;
  FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::string out = text ? narrow(text, wcslen(text)) : "error " + std::to_string(code);
  if (text) LocalFree(text);
  while (!out.empty() && (out.back() == '\n' || out.back() == '\r' || out.back() == ' '))
    out.pop_back();
  return out;
}

bool isConsole(DWORD which) {
  DWORD mode = 0;
  const HANDLE h = GetStdHandle(which);
  return h != INVALID_HANDLE_VALUE && h != nullptr && GetFileType(h) == FILE_TYPE_CHAR &&
         GetConsoleMode(h, &mode);
}

std::mutex consoleMutex;
bool inputModeChanged = false;
DWORD savedInputMode = 0;

void restoreConsole() {
  std::lock_guard lock(consoleMutex);
  if (!inputModeChanged) return;
  SetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), savedInputMode);
  inputModeChanged = false;
}

std::function<void()>* interruptPressed = nullptr;
std::atomic<DWORD> lastControl{CTRL_C_EVENT};

BOOL WINAPI onControl(DWORD event) {
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) return FALSE;
  lastControl.store(event);
  // The system runs this on a thread of its own, as the watcher should.
  if (interruptPressed) (*interruptPressed)();
  return TRUE;
}

// An access list that lets the process's user alone in, inherited by what
// a folder holds; no entry of the folders above is inherited. A folder
// another owns (a drive's root) is left as it is.
void makeOwnerOnly(const std::string& path, bool folder) {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
    throw std::runtime_error("cannot make " + path + " private: " + lastError());
  DWORD size = 0;
  GetTokenInformation(token, TokenUser, nullptr, 0, &size);
  std::unique_ptr<char[]> buffer(new char[size ? size : 1]);
  const bool got = GetTokenInformation(token, TokenUser, buffer.get(), size, &size);
  CloseHandle(token);
  if (!got) throw std::runtime_error("cannot make " + path + " private: " + lastError());
  PSID user = reinterpret_cast<TOKEN_USER*>(buffer.get())->User.Sid;
  std::wstring name = wide(path);
  if (folder) {
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    const bool read =
        GetNamedSecurityInfoW(name.c_str(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner,
                              nullptr, nullptr, nullptr, &descriptor) == ERROR_SUCCESS;
    const bool ours = read && owner && EqualSid(owner, user);
    if (descriptor) LocalFree(descriptor);
    if (!ours) return;
  }

  EXPLICIT_ACCESSW access{};
  access.grfAccessPermissions = GENERIC_ALL;
  access.grfAccessMode = SET_ACCESS;
  access.grfInheritance = folder ? SUB_CONTAINERS_AND_OBJECTS_INHERIT : NO_INHERITANCE;
  access.Trustee.TrusteeForm = TRUSTEE_IS_SID;
  access.Trustee.TrusteeType = TRUSTEE_IS_USER;
  access.Trustee.ptstrName = reinterpret_cast<LPWSTR>(user);
  PACL acl = nullptr;
  if (SetEntriesInAclW(1, &access, nullptr, &acl) != ERROR_SUCCESS)
    throw std::runtime_error("cannot make " + path + " private");
  const DWORD rc = SetNamedSecurityInfoW(
      name.data(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
      nullptr, nullptr, acl, nullptr);
  LocalFree(acl);
  if (rc != ERROR_SUCCESS) {
    SetLastError(rc);
    throw std::runtime_error("cannot make " + path + " private: " + lastError());
  }
}

bool isSeparator(char c) { return c == '/' || c == '\\'; }

// Under wine the drivers behind odbc32 are the host's, which open files by
// the host's names: a file's one name is then that. Empty elsewhere.
std::string hostName(const std::wstring& name) {
  using ToHost = char*(CDECL*)(const wchar_t*);
  static const auto toHost = reinterpret_cast<ToHost>(reinterpret_cast<void (*)()>(
      GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
  if (!toHost) return {};
  char* host = toHost(name.c_str());
  if (!host) return {};
  std::string out(host);
  HeapFree(GetProcessHeap(), 0, host);
  return out;
}

}  // namespace

bool inputIsTerminal() { return isConsole(STD_INPUT_HANDLE); }

bool errorIsTerminal() { return isConsole(STD_ERROR_HANDLE); }

bool readHiddenLine(const std::string& prompt, std::string& line) {
  const HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
  DWORD mode = 0;
  const bool console = GetFileType(in) == FILE_TYPE_CHAR && GetConsoleMode(in, &mode);
  if (console) {
    std::lock_guard lock(consoleMutex);
    savedInputMode = mode;
    if (SetConsoleMode(in, mode & ~DWORD(ENABLE_ECHO_INPUT))) inputModeChanged = true;
  }
  std::fputs(prompt.c_str(), stderr);
  std::fflush(stderr);
  bool ok = false;
  if (console) {
    // Read as UTF-16: the console's narrow reading loses what is not ASCII.
    std::wstring typed;
    wchar_t buf[256];
    DWORD got = 0;
    while (ReadConsoleW(in, buf, 256, &got, nullptr) && got > 0) {
      typed.append(buf, got);
      if (typed.back() == L'\n') break;
    }
    ok = !typed.empty();
    while (!typed.empty() && (typed.back() == L'\n' || typed.back() == L'\r')) typed.pop_back();
    line = narrow(typed);
  } else {
    ok = static_cast<bool>(std::getline(std::cin, line));
    if (!line.empty() && line.back() == '\r') line.pop_back();
  }
  restoreConsole();
  std::fputs("\n", stderr);
  return ok;
}

void watchInterrupts(std::function<void()> pressed) {
  // Kept for the life of the process: the handler may run at its very end.
  interruptPressed = new std::function<void()>(std::move(pressed));
  SetConsoleCtrlHandler(onControl, TRUE);
}

void quitNow(int code) {
  restoreConsole();
  std::fflush(nullptr);
  // No library's detach code runs: another thread may be inside a driver.
  TerminateProcess(GetCurrentProcess(), UINT(code));
  std::_Exit(code);
}

std::string canonicalPath(const std::string& path) {
  const std::wstring name = wide(path);
  const HANDLE h =
      CreateFileW(name.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                  OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h != INVALID_HANDLE_VALUE) {
    wchar_t buf[32768];
    const DWORD n = GetFinalPathNameByHandleW(h, buf, 32768, FILE_NAME_NORMALIZED);
    CloseHandle(h);
    if (n > 0 && n < 32768) {
      std::wstring full(buf, n);
      // \\?\C:\x is C:\x; \\?\UNC\server\share is \\server\share.
      if (full.rfind(L"\\\\?\\UNC\\", 0) == 0)
        full = L"\\\\" + full.substr(8);
      else if (full.rfind(L"\\\\?\\", 0) == 0)
        full = full.substr(4);
      if (std::string host = hostName(full); !host.empty()) return host;
      return narrow(full);
    }
  }
  wchar_t buf[32768];
  const DWORD n = GetFullPathNameW(name.c_str(), 32768, buf, nullptr);
  return n > 0 && n < 32768 ? narrow(buf, n) : path;
}

std::string userDataFolder() {
  // One the user named in XDG_DATA_HOME (as MSYS2 and Cygwin users do)
  // comes first; then the machine's own folder, not the roaming one: the
  // journal holds the old values of this machine's databases.
  if (const wchar_t* xdg = _wgetenv(L"XDG_DATA_HOME");
      xdg && (xdg[0] == L'/' || xdg[0] == L'\\' || (xdg[0] && xdg[1] == L':')))
    return narrow(xdg, wcslen(xdg));
  if (const wchar_t* local = _wgetenv(L"LOCALAPPDATA"); local && *local)
    return narrow(local, wcslen(local));
  if (const wchar_t* home = _wgetenv(L"USERPROFILE"); home && *home)
    return narrow(home, wcslen(home)) + "\\AppData\\Local";
  return ".";
}

void makePrivateDirectories(const std::string& dir) {
  // Past a drive ("C:") or a share's root (\\server\share) nothing is made.
  size_t start = 0;
  if (dir.size() >= 2 && dir[1] == ':') start = 2;
  if (dir.size() >= 2 && isSeparator(dir[0]) && isSeparator(dir[1])) {
    const size_t server = dir.find_first_of("/\\", 2);
    start = server == std::string::npos ? dir.size() : dir.find_first_of("/\\", server + 1);
    if (start == std::string::npos) start = dir.size();
  }
  for (size_t at = start; at < dir.size();) {
    size_t next = at;
    while (next < dir.size() && isSeparator(dir[next])) ++next;
    next = dir.find_first_of("/\\", next);
    if (next == std::string::npos) next = dir.size();
    const std::string partial = dir.substr(0, next);
    at = next;
    if (partial.size() <= start || isSeparator(partial.back())) continue;
    if (!CreateDirectoryW(wide(partial).c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS)
      throw std::runtime_error("cannot create " + partial + ": " + lastError());
  }
  // The folder itself is ours alone even when it was made before; the ones
  // above it are the user's business.
  makeOwnerOnly(dir, true);
}

void makePrivateFile(const std::string& path) {
  const HANDLE h = CreateFileW(wide(path).c_str(), GENERIC_READ | GENERIC_WRITE,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                               OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE)
    throw std::runtime_error("cannot open " + path + ": " + lastError());
  CloseHandle(h);
  makeOwnerOnly(path, false);
}

void setUpConsole() {
  SetConsoleOutputCP(CP_UTF8);
  SetConsoleCP(CP_UTF8);
  // JSON lines and tables end in "\n" alone, on a console or in a file.
  _setmode(_fileno(stdout), _O_BINARY);
  _setmode(_fileno(stderr), _O_BINARY);
  for (DWORD which : {STD_OUTPUT_HANDLE, STD_ERROR_HANDLE}) {
    const HANDLE h = GetStdHandle(which);
    DWORD mode = 0;
    if (GetConsoleMode(h, &mode))
      SetConsoleMode(h, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING | ENABLE_PROCESSED_OUTPUT);
  }
}

std::vector<std::string> arguments(int argc, char* argv[]) {
  // The wide command line, whatever code page the C runtime decoded argv
  // in.
  int n = 0;
  if (wchar_t** wargv = CommandLineToArgvW(GetCommandLineW(), &n)) {
    std::vector<std::string> out;
    for (int k = 1; k < n; ++k) out.push_back(narrow(wargv[k], wcslen(wargv[k])));
    LocalFree(wargv);
    return out;
  }
  return std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + argc);
}

std::tm utcTime(std::time_t t) {
  std::tm tm{};
  gmtime_s(&tm, &t);
  return tm;
}

std::string parentFolder(const std::string& path) {
  const size_t slash = path.find_last_of("/\\");
  if (slash == std::string::npos || slash == 0) return {};
  // "C:\journal.db" names its file in "C:\", not in "C:".
  if (slash == 2 && path[1] == ':') return path.substr(0, 3);
  return path.substr(0, slash);
}

bool isRegularFile(const std::string& path) {
  if (path.empty()) return false;
  const DWORD attributes = GetFileAttributesW(wide(path).c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

std::string lastInterrupt() {
  return lastControl.load() == CTRL_BREAK_EVENT ? "Ctrl-Break" : "Ctrl-C";
}

// A stalled connect or statement is not cut by shutting its sockets here:
// the process's sockets cannot be listed as /proc lists them. Microsoft's
// drivers keep the login time-out themselves.
std::vector<SocketId> openSockets() { return {}; }

void shutdownSocket(const SocketId&) {}

}  // namespace trellick::platform
