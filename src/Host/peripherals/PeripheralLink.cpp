// The peripheral link (see PeripheralLink.h).
#include "peripherals/PeripheralLink.h"

#include <algorithm>
#include <atomic>
#include <cstring>

#include "core/CLogger.h"
#include "drivers/board_lines.h"
#include "drivers/i2c_bus.h"
#include "drivers/i2c_peripheral.h"
#include "platform/hw_registers.h"
#include "platform/kernel.h"
#include "platform/regbus.h"

namespace Torvex::PeripheralLink {
namespace {

// The link mutex: built before main runs, held by every operation from start to end.
struct LinkMutex {
  LinkMutex() { cyg_mutex_init(&mutex); }
  ~LinkMutex() { cyg_mutex_destroy(&mutex); }
  cyg_mutex_t mutex;
};
LinkMutex g_LinkMutex;

class LinkGuard {
 public:
  LinkGuard() { cyg_mutex_lock(&g_LinkMutex.mutex); }
  ~LinkGuard() { cyg_mutex_unlock(&g_LinkMutex.mutex); }
  LinkGuard(const LinkGuard&) = delete;
  LinkGuard& operator=(const LinkGuard&) = delete;
};

// Written under g_LinkMutex only; read by the observers without it (hence atomics).
std::atomic<std::uint32_t> g_LinkSpeed{kLinkSpeedFast};
std::atomic<std::uint32_t> g_LinkGoodFrames{0};

std::uint16_t ReadU16(const std::uint8_t* p) { return static_cast<std::uint16_t>((p[0] << 8) | p[1]); }

constexpr int kFrameAttempts = 5;
constexpr int kSendCycles = 5;
constexpr int kReadyCycles = 50;
constexpr cyg_tick_count_t kReadyCycleTicks = 10;
constexpr std::uint8_t kStatusReady = 0x01;
constexpr std::uint32_t kStatusBusy = 4;

std::uint32_t ResultBits(std::uint8_t status) { return (status >> 1) & 7u; }

void ApplySpeed(std::uint32_t speed) {
  g_LinkSpeed.store(speed);
  i2c_peripheral_set_speed(speed);
}

// The bus-speed rule, for one frame read or one send cycle.
void CountFrame(bool good) {
  const std::uint32_t speed = g_LinkSpeed.load();
  if (!good) {
    g_LinkGoodFrames.store(0);
    if (speed == kLinkSpeedFast) ApplySpeed(kLinkSpeedMedium);
    else if (speed == kLinkSpeedMedium) ApplySpeed(kLinkSpeedSlow);
    return;
  }
  if (g_LinkGoodFrames.load() < kLinkGoodFramesToRaise) {
    g_LinkGoodFrames.fetch_add(1);
    return;
  }
  if (speed == kLinkSpeedSlow) ApplySpeed(kLinkSpeedMedium);
  else if (speed == kLinkSpeedMedium) ApplySpeed(kLinkSpeedFast);
}

// One frame from `addressByte` into the shared buffer (capacity 0) or `buffer`; up to 5 attempts.
// A frame of a fixed size (`exact` non-zero) must have exactly that size.
bool ReadFrameLocked(std::uint8_t addressByte, std::uint8_t* buffer, std::uint16_t capacity, std::uint16_t exact,
                     std::uint8_t** frame, std::uint16_t* length) {
  for (int attempt = 0; attempt < kFrameAttempts; ++attempt) {
    std::uint8_t* p = buffer;
    std::uint16_t got = 0;
    bool ok = i2c_peripheral_receive(addressByte, &p, buffer != nullptr, capacity, &got);
    ok = ok && p != nullptr && got > kLinkEmptyFrameSize && (exact == 0 || got == exact) && CheckFrame(p, got);
    CountFrame(ok);
    if (ok) {
      *frame = p;
      *length = got;
      return true;
    }
  }
  return false;
}

// Waits for ready: 0 or ePeripheralNoValidFrame.
std::uint32_t WaitReadyLocked(std::uint8_t* lastStatus) {
  for (int cycle = 0; cycle < kReadyCycles; ++cycle) {
    std::uint8_t buf[kLinkStatusFrameSize];
    std::uint8_t* frame = nullptr;
    std::uint16_t length = 0;
    const bool read = ReadFrameLocked(kLinkStatus, buf, sizeof buf, kLinkStatusFrameSize, &frame, &length);
    cyg_thread_delay(kReadyCycleTicks);
    if (!read) return ePeripheralNoValidFrame;
    if (lastStatus != nullptr) *lastStatus = frame[3];
    if ((frame[3] & kStatusReady) != 0) return 0;
  }
  return ePeripheralNoValidFrame;
}

// Sends a frame and judges the status read at once, up to 5 cycles: 0 (bits in *resultBits) or a
// failure kind.
std::uint32_t ExchangeLocked(const std::vector<std::uint8_t>& frame, std::uint32_t* resultBits) {
  if (const std::uint32_t kind = WaitReadyLocked(nullptr); kind != 0) return kind;
  std::uint32_t kind = ePeripheralNotSent;
  for (int cycle = 0; cycle < kSendCycles; ++cycle) {
    if (!i2c_peripheral_send(frame.data())) {
      kind = ePeripheralNotSent;
      CountFrame(false);
      continue;
    }
    std::uint8_t buf[kLinkStatusFrameSize];
    std::uint8_t* status = nullptr;
    std::uint16_t length = 0;
    if (!ReadFrameLocked(kLinkStatus, buf, sizeof buf, kLinkStatusFrameSize, &status, &length)) {
      kind = ePeripheralNoValidFrame;
      CountFrame(false);
      continue;
    }
    if (ResultBits(status[3]) == kStatusBusy) {
      kind = ePeripheralNotSent;
      CountFrame(false);
      continue;
    }
    CountFrame(true);
    if (resultBits != nullptr) *resultBits = ResultBits(status[3]);
    return 0;
  }
  return kind;
}

int ResultOf(std::uint32_t kind) { return kind == ePeripheralNoValidFrame ? eLinkNoFrame : eLinkRefused; }

// Sets the length field and appends the check byte.
void Finish(std::vector<std::uint8_t>& frame) {
  const std::size_t size = frame.size() + 1;
  frame[1] = static_cast<std::uint8_t>(size >> 8);
  frame[2] = static_cast<std::uint8_t>(size);
  std::uint8_t x = 0;
  for (std::uint8_t b : frame) x ^= b;
  frame.push_back(x);
}

std::vector<std::uint8_t> EmptyFrame(std::uint8_t addressByte) {
  std::vector<std::uint8_t> frame{addressByte, 0, 0};
  Finish(frame);
  return frame;
}

std::vector<std::uint8_t> AddressedFrame(std::uint8_t addressByte, const CTorvexChannel& path, std::uint16_t model,
                                         std::uint32_t serial, bool withCommand, std::uint8_t command,
                                         const std::uint8_t* data, std::uint16_t dataLength) {
  std::vector<std::uint8_t> frame{addressByte, 0, 0, path.Length()};
  for (std::uint8_t i = 0; i < path.Length(); ++i) frame.push_back(path.Level(i));
  frame.push_back(static_cast<std::uint8_t>(model >> 8));
  frame.push_back(static_cast<std::uint8_t>(model));
  frame.push_back(static_cast<std::uint8_t>(serial >> 16));
  frame.push_back(static_cast<std::uint8_t>(serial >> 8));
  frame.push_back(static_cast<std::uint8_t>(serial));
  if (withCommand) frame.push_back(command);
  if (data != nullptr) frame.insert(frame.end(), data, data + dataLength);
  Finish(frame);
  return frame;
}

// Exchange, then wait for ready and report the final result bits: 0 or a failure result.
int RequestLocked(const std::vector<std::uint8_t>& frame, std::uint32_t* finalBits) {
  if (const std::uint32_t kind = ExchangeLocked(frame, nullptr); kind != 0) return ResultOf(kind);
  std::uint8_t status = 0;
  if (WaitReadyLocked(&status) != 0) return eLinkNoFrame;
  *finalBits = ResultBits(status);
  return 0;
}

int SendCommandLocked(const CTorvexChannel& path, std::uint16_t model, std::uint32_t serial,
                      PeripheralLinkRequest& request, std::uint32_t* statusBits, bool withData) {
  if (withData && request.data == nullptr && request.length != 0) return eLinkRefused;
  // The frame length field is 16 bits.
  if (withData && std::size_t{request.length} + 11 + path.Length() > 0xffff) return eLinkRefused;
  const auto frame = AddressedFrame(withData ? kLinkCommandWithData : kLinkCommand, path, model, serial, true,
                                    request.command, withData ? request.data : nullptr, withData ? request.length : 0);
  std::uint32_t bits = 0;
  if (const int rc = RequestLocked(frame, &bits); rc != 0) return rc;
  if (statusBits != nullptr) *statusBits = bits;
  if (bits != 0) return eLinkRefused;
  if (withData) return 0;
  std::uint8_t* answer = nullptr;
  std::uint16_t length = 0;
  if (!ReadFrameLocked(kLinkCommandAnswer, nullptr, 0, 0, &answer, &length)) return eLinkNoFrame;
  // An answer must hold its header and check byte.
  if (length < kLinkCommandAnswerHeader + 1) return eLinkNoFrame;
  request.data = answer + kLinkCommandAnswerHeader;
  request.length = static_cast<std::uint16_t>(length - kLinkCommandAnswerHeader - 1);
  return 0;
}

int ReadIdentificationLocked(PeripheralIdentification& id) {
  if (WaitReadyLocked(nullptr) != 0) return eLinkNoFrame;
  std::uint8_t buf[kLinkIdentificationFrameSize];
  std::uint8_t* frame = nullptr;
  std::uint16_t length = 0;
  if (!ReadFrameLocked(kLinkIdentification, buf, sizeof buf, kLinkIdentificationFrameSize, &frame, &length))
    return eLinkNoFrame;
  id = DecodeIdentification(frame + 3);
  return 0;
}

}  // namespace

void Init() {
  LinkGuard guard;
  // Reset line released: GPB7 configured as an input.
  const std::uint32_t con = hw::gpio::Con(hw::gpio::Port::B);
  cyg_interrupt_disable();
  platform::regbus::Write32(con, platform::regbus::Read32(con) & ~(3u << 14));
  cyg_interrupt_enable();
  i2c_peripheral_set_bus(&board_i2c_bus);
  i2c_peripheral_set_speed(g_LinkSpeed.load());
}

void ResetControllers(bool wait) {
  LinkGuard guard;
  (void)i2c_peripheral_send(EmptyFrame(kLinkResetRequest).data());
  const std::uint32_t con = hw::gpio::Con(hw::gpio::Port::B);
  board_set_line(hw::line::kPeripheralReset, false);
  cyg_interrupt_disable();
  platform::regbus::Write32(con, (platform::regbus::Read32(con) & ~(3u << 14)) | (1u << 14));
  cyg_interrupt_enable();
  cyg_thread_delay(20);
  cyg_interrupt_disable();
  platform::regbus::Write32(con, platform::regbus::Read32(con) & ~(3u << 14));
  cyg_interrupt_enable();
  cyg_thread_delay(5);
  if (wait) {
    (void)WaitReadyLocked(nullptr);
    g_LinkGoodFrames.store(0);
    ApplySpeed(kLinkSpeedFast);
  }
}

int SendCommand(const CTorvexChannel& path, std::uint16_t model, std::uint32_t serial, PeripheralLinkRequest& request,
                std::uint32_t* statusBits) {
  LinkGuard guard;
  return SendCommandLocked(path, model, serial, request, statusBits, false);
}

int SendCommandWithData(const CTorvexChannel& path, std::uint16_t model, std::uint32_t serial,
                        PeripheralLinkRequest& request, std::uint32_t* statusBits) {
  LinkGuard guard;
  return SendCommandLocked(path, model, serial, request, statusBits, true);
}

int SelectRoute(const CTorvexChannel& path, std::uint16_t model, std::uint32_t serial) {
  LinkGuard guard;
  std::uint32_t bits = 0;
  if (const int rc = RequestLocked(AddressedFrame(kLinkSelectRoute, path, model, serial, false, 0, nullptr, 0), &bits);
      rc != 0)
    return rc;
  return bits != 0 ? eLinkRouteRefused : 0;
}

int GetActiveRoute(CTorvexChannel& path, std::uint16_t& model, std::uint32_t& serial) {
  LinkGuard guard;
  path.length = 0;
  std::uint32_t bits = 0;
  if (const int rc = RequestLocked(EmptyFrame(kLinkActiveRouteRequest), &bits); rc != 0) return rc;
  if (bits != 0) return eLinkRouteRefused;
  std::uint8_t buf[kLinkActiveRouteMaxSize];
  std::uint8_t* frame = nullptr;
  std::uint16_t length = 0;
  if (!ReadFrameLocked(kLinkActiveRouteAnswer, buf, sizeof buf, 0, &frame, &length)) return eLinkNoFrame;
  // Content: n, n levels, model (2), serial (3); n beyond the frame or the path's room is refused.
  const std::uint16_t content = static_cast<std::uint16_t>(length - 4);
  const std::uint8_t n = frame[3];
  if (n > CTorvexChannel::kMaxLevels - 1 || content != 1u + n + 5u) return eLinkNoFrame;
  for (std::uint8_t i = 0; i < n; ++i) path.AppendLevel(frame[4 + i]);
  model = ReadU16(frame + 4 + n);
  serial = (std::uint32_t{frame[6 + n]} << 16) | (std::uint32_t{frame[7 + n]} << 8) | frame[8 + n];
  return 0;
}

int ReadChangeIndicator(std::uint32_t& value) {
  LinkGuard guard;
  std::uint32_t bits = 0;
  if (RequestLocked(EmptyFrame(kLinkChangeRequest), &bits) != 0) return eLinkNoFrame;
  if (bits != 0 && bits != 2) return eLinkNoFrame;
  std::uint8_t buf[kLinkStatusFrameSize];
  std::uint8_t* frame = nullptr;
  std::uint16_t length = 0;
  if (!ReadFrameLocked(kLinkChangeAnswer, buf, sizeof buf, kLinkStatusFrameSize, &frame, &length)) return eLinkNoFrame;
  value = frame[3];
  return 0;
}

int ReadIdentification(PeripheralIdentification& id) {
  LinkGuard guard;
  return ReadIdentificationLocked(id);
}

int RequestScan(std::uint8_t& status) {
  LinkGuard guard;
  if (const std::uint32_t kind = ExchangeLocked(EmptyFrame(kLinkScanRequest), nullptr); kind != 0)
    return ResultOf(kind);
  std::uint8_t last = 0;
  if (WaitReadyLocked(&last) != 0) return eLinkNoFrame;
  status = last;
  return 0;
}

int ScanTopology(std::vector<PeripheralScanEntry>& list) {
  list.clear();
  PeripheralScanEntry entry;
  if (const int rc = ReadIdentification(entry.id); rc != 0) return rc;
  if (entry.id.version != 1) return eLinkNoData;
  switch (entry.id.type) {
    case ePeripheralProbe:
    case ePeripheralProbe2:
    case ePeripheralCamera: list.push_back(entry); return 0;
    case ePeripheralMultiplexer: {
      std::uint8_t status = 0;
      if (const int rc = RequestScan(status); rc != 0) return rc;
      return ScanMultiplexer(entry, list);
    }
    default: return 0;
  }
}

int ScanMultiplexer(PeripheralScanEntry& entry, std::vector<PeripheralScanEntry>& list) {
  if (entry.id.type == ePeripheralEmptyPort) return eLinkNoData;
  // Copy the answer at once: the next request reuses the shared buffer.
  std::vector<std::uint8_t> answer;
  {
    PeripheralLinkRequest request;
    request.command = kCmdPortList;
    if (const int rc = SendCommand(entry.path, entry.id.model, entry.id.serial, request, nullptr); rc != 0) return rc;
    answer.assign(request.data, request.data + request.length);
  }
  if (answer.size() < 2) return eLinkNoData;
  entry.portCount = answer[1];
  list.push_back(entry);

  std::vector<PeripheralScanEntry> multiplexers;
  int result = 0;
  for (std::uint8_t i = 0; i < entry.portCount; ++i) {
    const std::size_t offset = 2 + kLinkIdentificationRecordSize * i;
    if (offset + kLinkIdentificationRecordSize > answer.size()) {
      result = eLinkNoData;
      break;
    }
    PeripheralScanEntry child;
    child.id = DecodeIdentification(answer.data() + offset);
    if (child.id.type == ePeripheralEmptyPort || child.id.version != 1) continue;
    // A channel holds the connector level and at most four link levels: deeper nesting has no room.
    if (entry.path.Length() + 1 > CTorvexChannel::kMaxLevels - 1) {
      g_Logger.Printf("PeripheralLink: peripheral nested deeper than %u levels skipped\n",
                      unsigned{CTorvexChannel::kMaxLevels});
      continue;
    }
    child.path = entry.path;
    child.path.AppendLevel(static_cast<std::uint8_t>(i + 1));
    switch (child.id.type) {
      case ePeripheralProbe:
      case ePeripheralProbe2:
      case ePeripheralCamera: list.push_back(child); break;
      case ePeripheralMultiplexer: multiplexers.push_back(child); break;
      default: break;
    }
  }
  for (auto& sub : multiplexers) {
    const int rc = ScanMultiplexer(sub, list);
    if (result == 0) result = rc;
  }
  return result;
}

int ReadMemoryBlock(const CTorvexChannel& path, std::uint16_t model, std::uint32_t serial, std::uint16_t start,
                    std::uint16_t size, std::vector<std::uint8_t>& block) {
  block.clear();
  const std::uint8_t data[4] = {static_cast<std::uint8_t>(start >> 8), static_cast<std::uint8_t>(start),
                                static_cast<std::uint8_t>(size >> 8), static_cast<std::uint8_t>(size)};
  PeripheralLinkRequest request;
  request.command = kCmdMemoryBlock;
  request.data = data;
  request.length = sizeof data;
  if (SendCommandWithData(path, model, serial, request, nullptr) != 0) return eLinkNoData;
  std::size_t total = 0;
  do {
    PeripheralLinkRequest read;
    read.command = kCmdMemoryBlock;
    if (SendCommand(path, model, serial, read, nullptr) != 0) return eLinkNoData;
    if (block.empty()) {
      if (read.length < kLinkMemoryBlockHeaderSize || !CheckFrame(read.data, kLinkMemoryBlockHeaderSize))
        return eLinkNoData;
      total = ReadU16(read.data + 4);
      if (total < kLinkMemoryBlockHeaderSize) return eLinkNoData;
    } else if (read.length == 0) {
      return eLinkNoData;  // an empty part would never complete the block
    }
    const std::size_t take = std::min<std::size_t>(read.length, total - block.size());
    block.insert(block.end(), read.data, read.data + take);
  } while (block.size() < total);
  return 0;
}

int SendFrame(const std::uint8_t* frame, std::size_t size) {
  if (frame == nullptr || size < kLinkEmptyFrameSize || size > 0xffff) return eLinkRefused;
  if (ReadU16(frame + 1) != size) return eLinkRefused;
  LinkGuard guard;
  const bool sent = i2c_peripheral_send(frame);
  CountFrame(sent);
  return sent ? 0 : eLinkRefused;
}

int PollStatus(std::uint8_t* status) {
  LinkGuard guard;
  std::uint8_t last = 0;
  if (WaitReadyLocked(&last) != 0) return eLinkNoFrame;
  if (status != nullptr) *status = last;
  return 0;
}

int ReceiveFrame(std::uint8_t addressByte, const std::uint8_t** frame, std::uint16_t* length) {
  LinkGuard guard;
  std::uint8_t* p = nullptr;
  std::uint16_t got = 0;
  if (!ReadFrameLocked(addressByte, nullptr, 0, 0, &p, &got)) return eLinkNoFrame;
  if (frame != nullptr) *frame = p;
  if (length != nullptr) *length = got;
  return 0;
}

bool CheckFrame(const std::uint8_t* bytes, std::uint16_t count) {
  std::uint8_t x = 0;
  for (std::uint16_t i = 0; i < count; ++i) x ^= bytes[i];
  return x == 0;
}

PeripheralIdentification DecodeIdentification(const std::uint8_t* record) {
  PeripheralIdentification id;
  id.version = ReadU16(record);
  id.type = record[2];
  id.model = ReadU16(record + 3);
  id.serial = (std::uint32_t{record[5]} << 16) | (std::uint32_t{record[6]} << 8) | record[7];
  id.flags = (std::uint32_t{record[8]} << 24) | (std::uint32_t{record[9]} << 16) | (std::uint32_t{record[10]} << 8) |
             record[11];
  return id;
}

CTorvexChannel LinkPathOf(const CTorvexChannel& channel) {
  CTorvexChannel path;
  for (std::uint8_t i = 1; i < channel.Length(); ++i) path.AppendLevel(channel.Level(i));
  return path;
}

std::uint32_t Speed() { return g_LinkSpeed.load(); }
std::uint32_t GoodFrames() { return g_LinkGoodFrames.load(); }

}  // namespace Torvex::PeripheralLink
