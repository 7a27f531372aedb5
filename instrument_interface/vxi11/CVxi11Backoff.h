// The growing pause after a passing failure of a server loop (an accept out of descriptors, an aborted
// handshake, a failed receive): 1 ms, doubling up to 500 ms while the failures go on, back to 1 ms after
// a success. One object per loop, used by that loop's thread only.
#pragma once

#include <functional>

#include "engine/COSListenSocket.h"
#include "engine/COSSocket.h"

class CVxi11Backoff {
 public:
  static constexpr int kFirstMs = 1;
  static constexpr int kMostMs = 500;

  // The pause to make now; the next one is longer.
  int NextMs();
  // Sleeps the next pause.
  void Pause();
  void Reset() { pause_ms_ = kFirstMs; }

  // Accepts the next connection on listen_socket, pausing after each failed accept. False (and
  // nothing accepted) once `stopping` says so: it is asked before each accept and after a failure.
  bool Accept(COSListenSocket* listen_socket, const std::function<bool()>& stopping, COSSocket* accepted);

 private:
  int pause_ms_ = kFirstMs;
};
