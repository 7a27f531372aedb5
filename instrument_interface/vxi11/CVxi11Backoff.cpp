#include "vxi11/CVxi11Backoff.h"

#include <poll.h>

int CVxi11Backoff::NextMs() {
  const int now = pause_ms_;
  pause_ms_ = pause_ms_ < kMostMs ? pause_ms_ * 2 : kMostMs;
  return now;
}

void CVxi11Backoff::Pause() { poll(nullptr, 0, NextMs()); }

bool CVxi11Backoff::Accept(COSListenSocket* listen_socket, const std::function<bool()>& stopping, COSSocket* accepted) {
  while (!stopping()) {
    std::uint32_t status = 0;
    *accepted = COSListenSocket::Accept(listen_socket, &status);
    if (status == 0) {
      Reset();
      return true;
    }
    if (stopping()) break;
    Pause();
  }
  return false;
}
