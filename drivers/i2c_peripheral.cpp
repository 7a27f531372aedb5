// The peripheral-link transport (see i2c_peripheral.h).
#include "drivers/i2c_peripheral.h"

#include <cstdlib>

#include "drivers/i2c_bus.h"

namespace {

cyg_i2c_device s_link = {nullptr, 0, I2C_FLAG_PROBE_SEGMENT, I2C_DEFAULT_BIT_PERIOD_NS};
cyg_uint8* s_shared = nullptr;
cyg_uint32 s_shared_size = 0;

bool grow_shared(cyg_uint32 size) {
  if (s_shared != nullptr && s_shared_size >= size) return true;
  auto* p = static_cast<cyg_uint8*>(std::realloc(s_shared, size));
  if (p == nullptr) return false;
  s_shared = p;
  s_shared_size = size;
  return true;
}

}  // namespace

void i2c_peripheral_set_bus(cyg_i2c_bus* bus) { s_link.bus = bus; }

bool i2c_peripheral_set_speed(cyg_uint32 speed_hz) {
  if (speed_hz == 0 || speed_hz > 1000000000u) return false;
  s_link.bit_period = 1000000000u / speed_hz;
  return true;
}

bool i2c_peripheral_send(const cyg_uint8* frame) {
  if (frame == nullptr || s_link.bus == nullptr) return false;
  const cyg_uint32 length = (static_cast<cyg_uint32>(frame[1]) << 8) | frame[2];
  if (length < 4) return false;
  s_link.address = frame[0] >> 1;
  return cyg_i2c_tx(&s_link, frame + 1, length - 1) == length - 1;
}

bool i2c_peripheral_receive(cyg_uint8 address_byte, cyg_uint8** frame, bool caller_buffer, cyg_uint32 capacity,
                            cyg_uint16* out_length) {
  if (out_length != nullptr) *out_length = 0;
  if (frame == nullptr || out_length == nullptr || s_link.bus == nullptr) return false;
  cyg_uint8* buf = nullptr;
  if (caller_buffer) {
    if (capacity <= 3 || *frame == nullptr) return false;
    buf = *frame;
  } else {
    if (!grow_shared(4)) return false;
    buf = s_shared;
    *frame = buf;
  }
  s_link.address = address_byte >> 1;
  buf[0] = address_byte;

  cyg_i2c_transaction_begin(&s_link);
  cyg_uint16 length = 0;
  bool ok = false;
  if (cyg_i2c_transaction_rx(&s_link, true, buf + 1, 2, false, false) == 2) {
    length = static_cast<cyg_uint16>((buf[1] << 8) | buf[2]);
    bool room = false;
    if (length > 4) {
      if (caller_buffer) {
        room = length <= capacity;
      } else if (grow_shared(length)) {
        buf = s_shared;
        *frame = buf;
        room = true;
      }
    }
    if (room) ok = cyg_i2c_transaction_rx(&s_link, false, buf + 3, length - 3u, true, false) == length - 3u;
  }
  cyg_i2c_transaction_stop(&s_link);
  cyg_i2c_transaction_end(&s_link);
  *out_length = length;
  return ok;
}
