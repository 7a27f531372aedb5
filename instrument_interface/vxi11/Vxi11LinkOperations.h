// The link-level operations the VXI-11 channels call, as a table of functions. The server is built
// with the table of the link manager; tests give it their own.
#pragma once

#include <cstdint>

class CInstrumentServer;

struct CVxi11LinkOperations {
  // Returns the new link id, 0 on failure (status set).
  std::uint32_t (*create_link)(CInstrumentServer* server, bool lock_device, std::uint32_t lock_timeout,
                               const char* device_name, std::uint32_t* status);
  void (*destroy_link)(CInstrumentServer* server, std::uint32_t lid, std::uint32_t* status);
  // Returns the number of bytes accepted.
  std::uint32_t (*device_write)(CInstrumentServer* server, std::uint32_t lid, bool waitlock,
                                std::uint32_t lock_timeout, bool end, std::uint32_t io_timeout,
                                std::uint32_t length, const std::uint8_t* data, std::uint32_t* status);
  // Returns the byte count stored in `data` (at most `count`); sets reason bits 1 (CHR) and 2 (END).
  std::uint32_t (*device_read)(CInstrumentServer* server, std::uint32_t lid, bool waitlock,
                               std::uint32_t lock_timeout, bool termchar_set, std::uint8_t term_char,
                               std::uint32_t io_timeout, std::uint32_t count, std::uint8_t* data,
                               std::uint32_t* reason, std::uint32_t* status);
  // Sends the reply itself through CInstrumentServer::SendReadStbReply and reports 0; a non-zero
  // status means nothing was sent.
  void (*device_readstb)(CInstrumentServer* server, std::uint32_t xid, std::uint32_t lid, bool waitlock,
                         std::uint32_t lock_timeout, std::uint32_t io_timeout, std::uint32_t* status);
  void (*device_trigger)(CInstrumentServer* server, std::uint32_t lid, bool waitlock, std::uint32_t lock_timeout,
                         std::uint32_t io_timeout, std::uint32_t* status);
  void (*device_clear)(CInstrumentServer* server, std::uint32_t lid, bool waitlock, std::uint32_t lock_timeout,
                       std::uint32_t io_timeout, std::uint32_t* status);
  void (*device_remote)(CInstrumentServer* server, std::uint32_t lid, bool waitlock, std::uint32_t lock_timeout,
                        std::uint32_t io_timeout, std::uint32_t* status);
  void (*device_local)(CInstrumentServer* server, std::uint32_t lid, bool waitlock, std::uint32_t lock_timeout,
                       std::uint32_t io_timeout, std::uint32_t* status);
  void (*device_lock)(CInstrumentServer* server, std::uint32_t lid, bool waitlock, std::uint32_t lock_timeout,
                      std::uint32_t* status);
  void (*device_unlock)(CInstrumentServer* server, std::uint32_t lid, std::uint32_t* status);
  void (*enable_srq)(CInstrumentServer* server, std::uint32_t lid, bool enable, std::uint32_t handle_length,
                     const std::uint8_t* handle, std::uint32_t* status);
  void (*device_abort)(CInstrumentServer* server, std::uint32_t lid, std::uint32_t* status);
  // Every link of the connection goes, its lock released (the connection has ended).
  void (*drop_connection_links)(CInstrumentServer* server);
};
