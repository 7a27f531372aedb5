// The I2C layer of the platform: bus objects with their bus lock, device descriptions, and the
// transaction calls through which the firmware talks to I2C devices.
//
// A board bus driver fills a cyg_i2c_bus with its four operations (init, transmit, receive, stop);
// cyg_i2c_bus_init creates the bus lock and calls the driver's init once. A transaction is the span
// between cyg_i2c_transaction_begin and cyg_i2c_transaction_end: the bus lock is held throughout, so
// the steps of one device's exchange (start, bytes, repeated start, stop) are never interleaved with
// another device's. cyg_i2c_tx and cyg_i2c_rx are one-call transactions (start, bytes, stop).
//
// Any thread may call these; none may be called from an ISR or DSR (the drivers sleep).
#pragma once

#include "platform/kernel.h"

struct cyg_i2c_device;

struct cyg_i2c_bus {
  cyg_mutex_t lock;  // the bus lock, held for a whole transaction
  void (*init)(cyg_i2c_bus* bus);
  // Bytes sent and acknowledged.
  cyg_uint32 (*tx)(const cyg_i2c_device* dev, cyg_bool_t send_start, const cyg_uint8* buf, cyg_uint32 count,
                   cyg_bool_t send_stop);
  // Bytes received; with `nak` the last byte is not acknowledged.
  cyg_uint32 (*rx)(const cyg_i2c_device* dev, cyg_bool_t send_start, cyg_uint8* buf, cyg_uint32 count, cyg_bool_t nak,
                   cyg_bool_t send_stop);
  void (*stop)(const cyg_i2c_device* dev);
  void* extra;  // the driver's own data
};

struct cyg_i2c_device {
  cyg_i2c_bus* bus;
  cyg_uint16 address;     // 7-bit address
  cyg_uint16 flags;       // board-specific (for example a bus segment)
  cyg_uint32 bit_period;  // nanoseconds per bit
};

// Creates the bus lock and initialises the driver. Call once per bus, before any transaction.
void cyg_i2c_bus_init(cyg_i2c_bus* bus);

void cyg_i2c_transaction_begin(const cyg_i2c_device* dev);
// Takes the bus lock only when it is free; true when taken.
cyg_bool_t cyg_i2c_transaction_begin_nb(const cyg_i2c_device* dev);
void cyg_i2c_transaction_end(const cyg_i2c_device* dev);

// Steps of a transaction (the caller holds the bus lock).
cyg_uint32 cyg_i2c_transaction_tx(const cyg_i2c_device* dev, cyg_bool_t send_start, const cyg_uint8* buf,
                                  cyg_uint32 count, cyg_bool_t send_stop);
cyg_uint32 cyg_i2c_transaction_rx(const cyg_i2c_device* dev, cyg_bool_t send_start, cyg_uint8* buf, cyg_uint32 count,
                                  cyg_bool_t nak, cyg_bool_t send_stop);
void cyg_i2c_transaction_stop(const cyg_i2c_device* dev);

// One-call transactions: start, the bytes (the last one received not acknowledged), stop.
cyg_uint32 cyg_i2c_tx(const cyg_i2c_device* dev, const cyg_uint8* buf, cyg_uint32 count);
cyg_uint32 cyg_i2c_rx(const cyg_i2c_device* dev, cyg_uint8* buf, cyg_uint32 count);
