// The platform's I2C transaction layer (see platform/i2c.h).
#include "platform/i2c.h"

void cyg_i2c_bus_init(cyg_i2c_bus* bus) {
  cyg_mutex_init(&bus->lock);
  if (bus->init != nullptr) bus->init(bus);
}

void cyg_i2c_transaction_begin(const cyg_i2c_device* dev) {
  // A lock wait broken by cyg_thread_release is taken again: a transaction must own the bus.
  while (!cyg_mutex_lock(&dev->bus->lock)) {
  }
}

cyg_bool_t cyg_i2c_transaction_begin_nb(const cyg_i2c_device* dev) { return cyg_mutex_trylock(&dev->bus->lock); }

void cyg_i2c_transaction_end(const cyg_i2c_device* dev) { cyg_mutex_unlock(&dev->bus->lock); }

cyg_uint32 cyg_i2c_transaction_tx(const cyg_i2c_device* dev, cyg_bool_t send_start, const cyg_uint8* buf,
                                  cyg_uint32 count, cyg_bool_t send_stop) {
  return dev->bus->tx(dev, send_start, buf, count, send_stop);
}

cyg_uint32 cyg_i2c_transaction_rx(const cyg_i2c_device* dev, cyg_bool_t send_start, cyg_uint8* buf, cyg_uint32 count,
                                  cyg_bool_t nak, cyg_bool_t send_stop) {
  return dev->bus->rx(dev, send_start, buf, count, nak, send_stop);
}

void cyg_i2c_transaction_stop(const cyg_i2c_device* dev) { dev->bus->stop(dev); }

cyg_uint32 cyg_i2c_tx(const cyg_i2c_device* dev, const cyg_uint8* buf, cyg_uint32 count) {
  cyg_i2c_transaction_begin(dev);
  const cyg_uint32 n = cyg_i2c_transaction_tx(dev, true, buf, count, true);
  cyg_i2c_transaction_end(dev);
  return n;
}

cyg_uint32 cyg_i2c_rx(const cyg_i2c_device* dev, cyg_uint8* buf, cyg_uint32 count) {
  cyg_i2c_transaction_begin(dev);
  const cyg_uint32 n = cyg_i2c_transaction_rx(dev, true, buf, count, true, true);
  cyg_i2c_transaction_end(dev);
  return n;
}
