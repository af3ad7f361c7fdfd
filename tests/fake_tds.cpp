#include "fake_tds.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

bool readAll(int fd, uint8_t* buf, size_t n) {
  while (n > 0) {
    ssize_t got = ::recv(fd, buf, n, 0);
    if (got <= 0) return false;
    buf += got;
    n -= static_cast<size_t>(got);
  }
  return true;
}

// One message: the payloads of packets up to the end-of-message flag.
bool readMessage(int fd, uint8_t& type, Bytes& payload) {
  payload.clear();
  for (;;) {
    uint8_t header[8];
    if (!readAll(fd, header, 8)) return false;
    type = header[0];
    const size_t length = (size_t(header[2]) << 8) | header[3];
    if (length < 8) return false;
    Bytes part(length - 8);
    if (!readAll(fd, part.data(), part.size())) return false;
    payload.insert(payload.end(), part.begin(), part.end());
    if (header[1] & 0x01) return true;
  }
}

void sendMessage(int fd, uint8_t type, const Bytes& payload) {
  Bytes packet(8);
  packet[0] = type;
  packet[1] = 0x01;
  const size_t length = payload.size() + 8;
  packet[2] = uint8_t(length >> 8);
  packet[3] = uint8_t(length & 0xff);
  packet[6] = 1;
  packet.insert(packet.end(), payload.begin(), payload.end());
  ::send(fd, packet.data(), packet.size(), MSG_NOSIGNAL);
}

uint16_t le16(const Bytes& b, size_t at) { return uint16_t(b.at(at) | (b.at(at + 1) << 8)); }

QString ucs2(const Bytes& b, size_t offset, size_t chars) {
  if (offset + chars * 2 > b.size()) return {};
  return QString::fromUtf16(reinterpret_cast<const char16_t*>(b.data() + offset),
                            static_cast<qsizetype>(chars));
}

QString loginField(const Bytes& b, size_t pairAt) {
  return ucs2(b, le16(b, pairAt), le16(b, pairAt + 2));
}

void put16(Bytes& b, uint16_t v) {
  b.push_back(uint8_t(v & 0xff));
  b.push_back(uint8_t(v >> 8));
}

Bytes doneToken() {
  Bytes d{0xFD};
  put16(d, 0);                                 // status: final
  put16(d, 0);                                 // current command
  for (int k = 0; k < 8; ++k) d.push_back(0);  // row count (TDS 7.2 and later)
  return d;
}

Bytes errorToken(const QString& message) {
  Bytes body;
  const uint32_t number = 50000;
  for (int shift = 0; shift < 32; shift += 8) body.push_back(uint8_t(number >> shift));
  body.push_back(1);   // state
  body.push_back(16);  // severity
  put16(body, uint16_t(message.size()));
  for (QChar c : message) put16(body, c.unicode());
  body.push_back(0);                                           // server name
  body.push_back(0);                                           // procedure name
  for (int k = 0; k < 4; ++k) body.push_back(k == 0 ? 1 : 0);  // line number
  Bytes t{0xAA};
  put16(t, uint16_t(body.size()));
  t.insert(t.end(), body.begin(), body.end());
  return t;
}

Bytes loginAck(uint32_t tdsVersion) {
  const std::u16string name = u"Microsoft SQL Server";
  Bytes body;
  body.push_back(1);  // interface: SQL
  // Big-endian here, unlike in the login.
  for (int shift = 24; shift >= 0; shift -= 8) body.push_back(uint8_t(tdsVersion >> shift));
  body.push_back(uint8_t(name.size()));
  for (char16_t c : name) put16(body, uint16_t(c));
  for (uint8_t v : {16, 0, 0x10, 0x00}) body.push_back(v);
  Bytes t{0xAD};
  put16(t, uint16_t(body.size()));
  t.insert(t.end(), body.begin(), body.end());
  return t;
}

}  // namespace

FakeTdsServer::FakeTdsServer() {
  listenFd_ = ::socket(AF_INET, SOCK_STREAM, 0);
  int one = 1;
  ::setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = 0;
  ::bind(listenFd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  ::listen(listenFd_, 4);
  socklen_t len = sizeof addr;
  ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&addr), &len);
  port_ = ntohs(addr.sin_port);
  thread_ = std::thread([this] { serve(); });
}

FakeTdsServer::~FakeTdsServer() {
  stop_ = true;
  ::shutdown(listenFd_, SHUT_RDWR);
  ::close(listenFd_);
  if (thread_.joinable()) thread_.join();
}

FakeTdsServer::Login FakeTdsServer::login() const {
  std::lock_guard lock(mutex_);
  return login_;
}

QStringList FakeTdsServer::batches() const {
  std::lock_guard lock(mutex_);
  return batches_;
}

void FakeTdsServer::rejectBatchesContaining(const QString& text) {
  std::lock_guard lock(mutex_);
  rejected_.append(text);
}

void FakeTdsServer::serve() {
  while (!stop_) {
    pollfd p{listenFd_, POLLIN, 0};
    if (::poll(&p, 1, 100) <= 0) continue;
    int fd = ::accept(listenFd_, nullptr, nullptr);
    if (fd < 0) continue;
    handle(fd);
    ::close(fd);
  }
}

void FakeTdsServer::handle(int fd) {
  uint8_t type = 0;
  Bytes msg;
  uint32_t version = 0x74000004;
  while (!stop_ && readMessage(fd, type, msg)) {
    switch (type) {
      case 0x12: {  // pre-login: version, and no encryption
        Bytes r{0x00, 0x00, 0x0B, 0x00, 0x06, 0x01, 0x00, 0x11, 0x00,
                0x01, 0xFF, 0x10, 0x00, 0x07, 0xD0, 0x00, 0x00, 0x02};
        sendMessage(fd, 0x04, r);
        break;
      }
      case 0x10: {  // login
        Login l;
        version = uint32_t(msg.at(4)) | (uint32_t(msg.at(5)) << 8) | (uint32_t(msg.at(6)) << 16) |
                  (uint32_t(msg.at(7)) << 24);
        l.user = loginField(msg, 40);
        // The password is obfuscated: nibbles swapped, then xor 0xA5.
        Bytes pw(msg);
        const size_t at = le16(msg, 44), chars = le16(msg, 46);
        for (size_t k = at; k < at + chars * 2 && k < pw.size(); ++k) {
          uint8_t x = pw[k] ^ 0xA5;
          pw[k] = uint8_t((x << 4) | (x >> 4));
        }
        l.password = ucs2(pw, at, chars);
        l.app = loginField(msg, 48);
        l.server = loginField(msg, 52);
        l.database = loginField(msg, 68);
        {
          std::lock_guard lock(mutex_);
          login_ = l;
        }
        Bytes r = loginAck(version);
        Bytes d = doneToken();
        r.insert(r.end(), d.begin(), d.end());
        sendMessage(fd, 0x04, r);
        break;
      }
      case 0x01: {  // SQL batch, after its headers
        size_t skip = 0;
        if (msg.size() >= 4) {
          skip = size_t(msg[0]) | (size_t(msg[1]) << 8) | (size_t(msg[2]) << 16) |
                 (size_t(msg[3]) << 24);
          if (skip > msg.size()) skip = 0;
        }
        QString text = ucs2(msg, skip, (msg.size() - skip) / 2);
        bool reject = false;
        {
          std::lock_guard lock(mutex_);
          batches_.append(text);
          for (const auto& r : rejected_) reject = reject || text.contains(r);
        }
        if (reject) {
          Bytes r = errorToken(QStringLiteral("refused by the test server"));
          Bytes d = doneToken();
          d[1] = 0x02;  // error
          r.insert(r.end(), d.begin(), d.end());
          sendMessage(fd, 0x04, r);
        } else {
          sendMessage(fd, 0x04, doneToken());
        }
        break;
      }
      case 0x03: {  // remote procedure call: no rows, status 0
        Bytes r{0x79, 0, 0, 0, 0};
        Bytes d = doneToken();
        d[0] = 0xFE;
        r.insert(r.end(), d.begin(), d.end());
        sendMessage(fd, 0x04, r);
        break;
      }
      default:
        sendMessage(fd, 0x04, doneToken());
        break;
    }
  }
}
