// The link-level operations the VXI-11 channels call, as a table of functions. The server is built
// with the table of the link manager (Vxi11LinkTableOperations()); tests give it their own.
#pragma once

#include <cstdint>

class CVxi11Connection;

// What every I/O call of a link carries: the link, whether to wait for another link's device lock and
// for how long (ms), and the time the operation itself may take (ms).
struct Vxi11LinkCall {
  std::uint32_t lid = 0;
  bool waitlock = false;
  std::uint32_t lock_timeout = 0;
  std::uint32_t io_timeout = 0;
};

// Every operation reports an internal status word (Vxi11Status.h) for the calling connection.
struct CVxi11LinkOperations {
  // Returns the new link id, 0 on failure (status set).
  std::uint32_t (*create_link)(CVxi11Connection* connection, bool lock_device, std::uint32_t lock_timeout,
                               const char* device_name, std::uint32_t* status);
  void (*destroy_link)(CVxi11Connection* connection, std::uint32_t lid, std::uint32_t* status);
  // Returns the number of bytes accepted.
  std::uint32_t (*device_write)(CVxi11Connection* connection, const Vxi11LinkCall& call, bool end, std::uint32_t length,
                                const std::uint8_t* data, std::uint32_t* status);
  // Returns the byte count stored in `data` (at most `count`); sets reason bits 1 (CHR) and 2 (END).
  std::uint32_t (*device_read)(CVxi11Connection* connection, const Vxi11LinkCall& call, bool termchar_set,
                               std::uint8_t term_char, std::uint32_t count, std::uint8_t* data, std::uint32_t* reason,
                               std::uint32_t* status);
  // Gives the reply to CVxi11Connection::SendReadStbReply and reports 0; a non-zero status means
  // nothing was given.
  void (*device_readstb)(CVxi11Connection* connection, std::uint32_t xid, const Vxi11LinkCall& call,
                         std::uint32_t* status);
  void (*device_trigger)(CVxi11Connection* connection, const Vxi11LinkCall& call, std::uint32_t* status);
  void (*device_clear)(CVxi11Connection* connection, const Vxi11LinkCall& call, std::uint32_t* status);
  void (*device_remote)(CVxi11Connection* connection, const Vxi11LinkCall& call, std::uint32_t* status);
  void (*device_local)(CVxi11Connection* connection, const Vxi11LinkCall& call, std::uint32_t* status);
  // The lock request has no I/O time: `call.io_timeout` is not used.
  void (*device_lock)(CVxi11Connection* connection, const Vxi11LinkCall& call, std::uint32_t* status);
  void (*device_unlock)(CVxi11Connection* connection, std::uint32_t lid, std::uint32_t* status);
  void (*enable_srq)(CVxi11Connection* connection, std::uint32_t lid, bool enable, std::uint32_t handle_length,
                     const std::uint8_t* handle, std::uint32_t* status);
  // From the abort channel of the connection.
  void (*device_abort)(CVxi11Connection* connection, std::uint32_t lid, std::uint32_t* status);
  // Every link of the connection goes, its lock released (the connection has ended).
  void (*drop_connection_links)(CVxi11Connection* connection);
};
