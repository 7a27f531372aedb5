// The peripheral-link transport: one length-prefixed frame per I2C transaction on the probe
// connector's segment.
//
// Frame: byte 0 the address byte (7-bit address << 1, bit 0 set for a frame read from a controller),
// bytes 1-2 the frame length (big-endian, the whole frame), then the content and a check byte (which
// the link protocol checks, not the transport).
//
// Callers serialise every call with the peripheral-link mutex, taken before the I2C bus lock; any
// thread, not from an ISR.
#pragma once

#include "platform/i2c.h"

// Binds the link device to `bus` (once, before the first frame).
void i2c_peripheral_set_bus(cyg_i2c_bus* bus);

// Sets the link's bit period to 1000000000 / speed_hz ns. Refuses (false, nothing changed) 0 and
// speeds above 1 GHz, whose bit period would be 0.
bool i2c_peripheral_set_speed(cyg_uint32 speed_hz);

// Sends the frame (start, frame bytes 1 to length - 1, stop) to the address of byte 0. True when every
// byte was acknowledged; false for a null frame, a length below 4 or an unbound link.
bool i2c_peripheral_send(const cyg_uint8* frame);

// Receives one frame from `address_byte`. With `caller_buffer` the frame goes into *frame, which
// holds `capacity` bytes (more than 3); otherwise into the transport's shared buffer, grown to the
// frame's length and handed back in *frame (valid until the next receive). *out_length receives the
// frame length read (0 when none was read), also on failure. True when a whole frame of more than 4
// bytes (and, with a caller buffer, not above its capacity) was received.
bool i2c_peripheral_receive(cyg_uint8 address_byte, cyg_uint8** frame, bool caller_buffer, cyg_uint32 capacity,
                            cyg_uint16* out_length);
