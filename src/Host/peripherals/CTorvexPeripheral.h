// CTorvexPeripheral: the abstract base of every object of the peripheral topology (probes, cameras,
// camera heads, multiplexers), with the virtual operations the rest of the system uses, and the two
// operations over the whole topology: numbering the measuring peripherals and initialising the
// peripherals of a channel list.
//
// Objects are created by the topology factory and published as Pointer nodes under `peripherals`;
// they have no lock of their own. The topology operations hold g_TopologyLock while they call them
// (topology lock before tree lock); link requests are serialised by the link.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/CTorvexChannel.h"

namespace Torvex {

// Error values of the peripheral objects.
enum ePeripheralError : int {
  ePeripheralNotWritten = 11,       // a parameter pair was not accepted
  ePeripheralInvalidChannel = 29,   // a channel list names a channel without peripheral
  ePeripheralNoData = 48,           // a request failed or its answer cannot be used
};

class CTorvexPeripheral {
 public:
  explicit CTorvexPeripheral(const CTorvexChannel& channel);
  virtual ~CTorvexPeripheral() = default;
  CTorvexPeripheral(const CTorvexPeripheral&) = delete;
  CTorvexPeripheral& operator=(const CTorvexPeripheral&) = delete;

  // Type code: 2 pulsed probe (and camera head), 3 multiplexer, 6 pulsed camera.
  virtual int GetType() = 0;
  virtual std::uint16_t GetModel() = 0;
  virtual int GetSerialNumber() = 0;
  // The designation read from the device; "-" before it was read.
  virtual std::string GetDesignation() = 0;
  virtual bool IsInitialized() = 0;
  // Reads what the object needs from its device: 0 or an error value.
  virtual int Initialize() = 0;
  virtual bool IsMeasuring() = 0;
  // Ports of a multiplexer, heads of a camera, 0 otherwise.
  virtual std::uint8_t GetChildCount() = 0;

  CTorvexChannel GetChannel() const { return channel; }
  std::uint16_t GetMeasuringIndex() const { return measuringIndex; }

  // Numbers the measuring peripherals below `path` (under `peripherals`) depth-first from `next`, ports
  // in ascending order; returns the next free number. Takes g_TopologyLock.
  static std::uint16_t NumberMeasuringPeripherals(const std::string& path, std::uint16_t next);

  // Initialises the peripheral of every channel of `list` in order: 0, 29 for a channel without
  // peripheral, or the first failure of an Initialize. Takes g_TopologyLock.
  static int InitializeChannels(const std::vector<CTorvexChannel>& list);

  // The path of a channel below `peripherals`: its levels with "%u" joined by "/".
  static std::string PathOf(const CTorvexChannel& channel);

 protected:
  CTorvexChannel channel;
  std::uint16_t measuringIndex = 0;
};

}  // namespace Torvex
