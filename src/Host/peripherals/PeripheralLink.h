// PeripheralLink: the request/reply link to the controllers of the probes, multiplexers and cameras on
// the probe connector, over the I2C peripheral-link transport (drivers/i2c_peripheral.h).
//
// Frames: {address byte, 16-bit big-endian length of the whole frame, content, check byte}, the XOR
// of all bytes 0. After every request the controller reports a status byte (bit 0 ready, bits 1-3 the
// result: 0 accepted, 4 busy, anything else refused). Bad frames lower the bus clock one step
// (100000, 50000, 10000 Hz); after 20 good frames in a row every further good frame raises it one step.
//
// Every operation takes the link mutex for its whole run (the scans once per request), before the
// I2C bus lock; callers: main (start-up), the parser thread, the acquisition thread, the topology
// monitor. Results are error values: 0 success, 11 not sent / busy / refused, 12 no valid frame or
// controller never ready, 30 route refused, 48 an answer or record that cannot be used. No operation
// throws. An answer's content lies in the link's shared receive buffer and stays valid only until the
// next link operation: callers that read it hold the topology lock or copy it at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/CTorvexChannel.h"

namespace Torvex {

// Results of the link operations (values of the application's error codes).
enum ePeripheralLinkResult : int {
  eLinkRefused = 11,       // not sent, busy through every send, or refused by the controller
  eLinkNoFrame = 12,       // no valid frame, or the controller did not become ready
  eLinkRouteRefused = 30,  // route selection or active-route query refused
  eLinkNoData = 48,        // an answer or record that cannot be used
};

// Internal failure kinds of an exchange (turned into the results above before they leave the link).
enum ePeripheralErrorType : std::uint32_t {
  ePeripheralNoValidFrame = 0x10,  // becomes eLinkNoFrame
  ePeripheralNotSent = 0x20,       // becomes eLinkRefused
};

// Type codes of identifications and port records.
enum ePeripheralType : std::uint32_t {
  ePeripheralEmptyPort = 0,
  ePeripheralProbe = 1,
  ePeripheralProbe2 = 2,
  ePeripheralMultiplexer = 3,
  ePeripheralCamera = 6,
};

// Address bytes of the link (7-bit address << 1, bit 0 set for reads).
enum ePeripheralLinkAddress : std::uint8_t {
  kLinkResetRequest = 0x20,
  kLinkStatus = 0x21,
  kLinkChangeRequest = 0x22,
  kLinkChangeAnswer = 0x23,
  kLinkScanRequest = 0x24,
  kLinkIdentification = 0x25,
  kLinkSelectRoute = 0x26,
  kLinkActiveRouteRequest = 0x28,
  kLinkActiveRouteAnswer = 0x29,
  kLinkCommandWithData = 0x2a,
  kLinkCommand = 0x2c,
  kLinkCommandAnswer = 0x2d,
};

// Commands of PeripheralLinkRequest.
enum ePeripheralCommand : std::uint8_t {
  kCmdInformation = 1,      // read: information block (physical information or camera block)
  kCmdDesignation = 2,      // read: two length-prefixed texts, the second the designation
  kCmdPortList = 3,         // read: byte 0 unused, byte 1 port count, then 12-byte port records
  kCmdParameterPair = 7,    // data: two 32-bit values
  kCmdHallCalibration = 8,  // read: 48-byte Hall-sensor calibration record, version 1
  kCmdHallRaw = 9,          // read: X, Y, Z, T raw 16-bit values
  kCmdAuxWord = 11,         // read: one 16-bit value
  kCmdMemoryBlock = 12,     // data (start, size), then reads of the block's parts
  kCmdLimits = 13,          // data: count byte and 16-bit entries, low byte first
};

// Sizes of the link's fixed frames and records.
inline constexpr std::uint16_t kLinkEmptyFrameSize = 4;
inline constexpr std::uint16_t kLinkStatusFrameSize = 5;
inline constexpr std::uint16_t kLinkIdentificationFrameSize = 16;
inline constexpr std::uint16_t kLinkActiveRouteMaxSize = 15;
inline constexpr std::uint16_t kLinkCommandAnswerHeader = 9;  // address, length, six header bytes
inline constexpr std::size_t kLinkIdentificationRecordSize = 12;
inline constexpr std::size_t kLinkMemoryBlockHeaderSize = 29;

// Bus speeds in Hz.
inline constexpr std::uint32_t kLinkSpeedFast = 100000;
inline constexpr std::uint32_t kLinkSpeedMedium = 50000;
inline constexpr std::uint32_t kLinkSpeedSlow = 10000;
inline constexpr std::uint32_t kLinkGoodFramesToRaise = 20;

// A peripheral's identification (from the identification frame or a multiplexer's port record).
struct PeripheralIdentification {
  std::uint16_t version = 0;
  std::uint32_t type = 0;
  std::uint16_t model = 0;
  std::uint32_t serial = 0;  // the 24 bits received
  std::uint32_t flags = 0;
};

// A command and its data. On return from SendCommand, `data` points at the answer content (in the
// shared receive buffer) and `length` is its size.
struct PeripheralLinkRequest {
  std::uint8_t command = 0;
  const std::uint8_t* data = nullptr;
  std::uint16_t length = 0;
};

// One peripheral found by a scan: its link path (multiplexer ports, without the connector level),
// identification, and port count (multiplexers only, else 0).
struct PeripheralScanEntry {
  CTorvexChannel path;
  PeripheralIdentification id;
  std::uint8_t portCount = 0;
};

namespace PeripheralLink {

// Releases the controllers' reset line and binds the link to the board's I2C bus. Once, at the start
// of the peripherals.
void Init();

// Sends the reset request, holds the reset line low 20 ticks, releases it and waits 5 ticks; with
// `wait`, then waits for ready and sets the bus speed to 100000 Hz.
void ResetControllers(bool wait);

// Read command to the peripheral at `path` (link path) with `model` and `serial`: 0, 11, 12. On 0,
// request.data/length hold the answer content. *statusBits (may be null) receives bits 1-3 of the
// final status.
int SendCommand(const CTorvexChannel& path, std::uint16_t model, std::uint32_t serial, PeripheralLinkRequest& request,
                std::uint32_t* statusBits);
// Command with request.data/length as data; no answer read: 0, 11, 12.
int SendCommandWithData(const CTorvexChannel& path, std::uint16_t model, std::uint32_t serial,
                        PeripheralLinkRequest& request, std::uint32_t* statusBits);

// Switches the measurement path to the peripheral: 0, 11, 12, 30.
int SelectRoute(const CTorvexChannel& path, std::uint16_t model, std::uint32_t serial);
// The peripheral on the measurement path: 0, 11, 12, 30; `path` is emptied first.
int GetActiveRoute(CTorvexChannel& path, std::uint16_t& model, std::uint32_t& serial);

// The controller's change byte (non-zero after a topology change): 0 or 12.
int ReadChangeIndicator(std::uint32_t& value);
// The identification of the peripheral on the connector: 0 or 12.
int ReadIdentification(PeripheralIdentification& id);
// Asks the controllers to scan; the final status byte is stored, not judged: 0, 11, 12.
int RequestScan(std::uint8_t& status);

// Fills `list` with every peripheral found: the one on the connector, and for a multiplexer its
// direct probes and cameras in port order followed by each sub-multiplexer's subtree in port order.
// 0 or the first failure (11, 12, 48); entries found before a failure stay in the list.
int ScanTopology(std::vector<PeripheralScanEntry>& list);
// Scans the multiplexer of `entry` (its port count is set) and its subtree into `list`.
int ScanMultiplexer(PeripheralScanEntry& entry, std::vector<PeripheralScanEntry>& list);

// Reads a memory block with command 12: one data request (start, size), then read requests until the
// total length given by the block's header is reached. 0, or 48 for a failed request, a header whose
// XOR is not 0, a total below the header size, or an empty part while the block is incomplete.
int ReadMemoryBlock(const CTorvexChannel& path, std::uint16_t model, std::uint32_t serial, std::uint16_t start,
                    std::uint16_t size, std::vector<std::uint8_t>& block);

// Raw operations of the low-level query. SendFrame takes a complete request frame (address byte,
// length, content, check byte) of `size` bytes, whose length field must equal `size` (else 11).
int SendFrame(const std::uint8_t* frame, std::size_t size);
// Waits for ready; *status (may be null) receives the last status byte: 0 or 12.
int PollStatus(std::uint8_t* status);
// Reads a valid frame from `addressByte` into the shared buffer: 0 or 12.
int ReceiveFrame(std::uint8_t addressByte, const std::uint8_t** frame, std::uint16_t* length);

// True when the XOR of the first `count` bytes is 0.
bool CheckFrame(const std::uint8_t* bytes, std::uint16_t count);

// Decodes a 12-byte identification record (identification frame content or port record).
PeripheralIdentification DecodeIdentification(const std::uint8_t* record);

// Copies a peripheral's channel address into its link path: the connector level is left out.
CTorvexChannel LinkPathOf(const CTorvexChannel& channel);

// The bus speed in Hz and the count of good frames in a row (observers for tests and the log).
std::uint32_t Speed();
std::uint32_t GoodFrames();

}  // namespace PeripheralLink
}  // namespace Torvex
