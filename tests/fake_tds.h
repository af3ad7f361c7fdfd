// A stand-in for SQL Server on a loopback port: just enough of the TDS
// protocol for the real FreeTDS driver to log in and send statements, so a
// test can read what the driver put on the wire.
#pragma once

#include <QString>
#include <QStringList>
#include <atomic>
#include <mutex>
#include <thread>

class FakeTdsServer {
 public:
  FakeTdsServer();
  ~FakeTdsServer();
  int port() const { return port_; }

  struct Login {
    QString user;
    QString password;
    QString database;
    QString server;
    QString app;
  };
  // What the last login carried; empty until one arrived.
  Login login() const;
  QStringList batches() const;
  // Batches containing this text are answered with a server error.
  void rejectBatchesContaining(const QString& text);

 private:
  void serve();
  void handle(int fd);

  int listenFd_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::thread thread_;
  mutable std::mutex mutex_;
  Login login_;
  QStringList batches_;
  QStringList rejected_;
};
