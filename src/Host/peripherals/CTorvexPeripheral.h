// CTorvexPeripheral: the abstract base of every object of the peripheral topology (probes, cameras,
// camera heads, multiplexers), with the virtual operations the rest of the system uses, and the two
// operations over the whole topology: numbering the measuring peripherals and initialising the
// peripherals of a channel list.
//
// Objects are created by the topology factory and published as Pointer nodes under `peripherals`;
// they have no lock of their own. The topology operations hold g_TopologyLock while they call them
// (topology lock before tree lock); link requests are serialised by the link.
//
// Lifetime: every object counts its references. Its creator holds the first one, which the topology
// keeps while the object is published and gives up at the teardown; a camera head holds one on its
// camera; a thread that uses an object after letting go of g_TopologyLock holds one through a
// CPeripheralReference (the acquisition). The last reference destroys the object, so a teardown while
// a measurement runs takes the object out of the topology without destroying it under the measurement.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "core/CTorvexChannel.h"

namespace Torvex {

class CParameterNode;

// Error values of the peripheral objects.
enum ePeripheralError : int {
  ePeripheralNotWritten = 11,      // a parameter pair was not accepted
  ePeripheralInvalidChannel = 29,  // a channel list names a channel without peripheral
  ePeripheralNoProbe = 30,         // nothing measuring, no answer to the change test, or no activation
  ePeripheralWrongRoute = 35,      // the hardware's route is not the selected probe
  ePeripheralNoData = 48,          // a request failed or its answer cannot be used
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

  // One more reference on this object: on an object found in the topology while g_TopologyLock is
  // held, or on one the caller holds a reference on already. Any thread.
  void Retain();
  // Gives up one reference on `object` (null: nothing); the last one destroys it. Any thread.
  static void Release(CTorvexPeripheral* object);

  // Numbers the measuring peripherals below `path` (under `peripherals`) depth-first from `next`, ports
  // in ascending order; returns the next free number. Takes g_TopologyLock.
  static std::uint16_t NumberMeasuringPeripherals(const std::string& path, std::uint16_t next);

  // Initialises the peripheral of every channel of `list` in order: 0, 29 for a channel without
  // peripheral, or the first failure of an Initialize. Takes g_TopologyLock.
  static int InitializeChannels(const std::vector<CTorvexChannel>& list);

  // The path of a channel below `peripherals`: its levels with "%u" joined by "/".
  static std::string PathOf(const CTorvexChannel& channel);

  // --- the topology (the peripherals branch and its objects), all under g_TopologyLock ------------
  // Rebuilds the topology from a new link scan and fills `list` with the measuring channels: 0 or the
  // first failure (the topology is left as it was when the scan fails).
  static int CreateTopology(std::vector<CTorvexChannel>& list);
  // Puts `object` into the Pointer node of its path below `peripherals` (null: nothing).
  static void PublishPeripheral(CTorvexPeripheral* object);
  // Gives up the topology's reference on every object below `branch` (an object nobody else holds is
  // destroyed); with `purge` also drops the selection first, removes the nodes and empties
  // g_CurrentChannelList.
  static void DeleteTopologyNodes(CParameterNode* branch, bool purge);
  // Lists the measuring channels below `node` depth-first, parents first; nodes without object are
  // skipped (their subtrees still walked).
  static void CollectMeasuringChannels(std::vector<CTorvexChannel>& list, CParameterNode* node, bool clear);
  // The object at `path` (or the channel's path) below `peripherals`, or null. The caller holds
  // g_TopologyLock for as long as it uses the object, or takes a CPeripheralReference on it before
  // letting the lock go.
  static CTorvexPeripheral* FindPeripheralByPath(const std::string& path);
  static CTorvexPeripheral* FindPeripheralByChannel(const CTorvexChannel& channel);

  // --- start-up ------------------------------------------------------------------------------------
  // Once, by main after the start-up settings are loaded: link set-up and reset, the topology
  // monitor, the first topology, and where probes take their physical information from.
  static void InitCTorvexPeripheral();

  // --- routing (parser and acquisition threads) ------------------------------------------------------
  // Selects the measuring peripheral at `path`: 0, 29 or 30; *out is the object or null.
  static int SelectChannel(const std::string& path, CTorvexPeripheral** out);
  // The selected probe, checked against the route the hardware reports: 0, 30, 35 or a link code.
  static int GetCurrentProbePath(CTorvexPeripheral** out);
  // Initialises the listed peripherals, sets the search limits and selects the first: 0, 29, 30 or
  // an Initialize result.
  static int CloseRoute(const std::vector<CTorvexChannel>& list);
  // Rescans when the topology changed, then lists the measuring channels: 0, 30 or a failure.
  static int RetrieveTopology(std::vector<CTorvexChannel>& list);
  // True when the topology changed since it was built: 0 with *changed set, or a link code.
  static int HasTopologyChanged(bool* changed);
  // Passes a raw request to the controllers: a read is its address byte (bit 0 set; further bytes are
  // not used), a write a whole frame. On 0 `bytes` holds the reply frame (reads) or nothing.
  static int LowLevelQuery(std::vector<std::uint8_t>& bytes, std::uint8_t* status);
  // True when some peripheral below `node` measures.
  static bool HasMeasuringPeripheral(CParameterNode* node);

 protected:
  CTorvexChannel channel;
  std::uint16_t measuringIndex = 0;

 private:
  std::atomic<std::uint32_t> references{1};  // the creator's
};

// The channels closed by the last successful route closing; emptied by every teardown.
extern std::vector<CTorvexChannel> g_CurrentChannelList;

// The NMR-path monitor's action for one change of state (previous to current): logs, sets status
// row 66 or 67 and, for a broken path, current_probe/nmr_path_broken. Called by the topology monitor.
void TopologyMonitorStep(std::uint32_t previous, std::uint32_t current);

}  // namespace Torvex
