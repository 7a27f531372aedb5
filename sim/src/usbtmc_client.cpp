#include "sim/usbtmc_client.h"

#include <algorithm>
#include <cstdio>

namespace sim {

namespace {

constexpr std::uint8_t kRecipientInterface = 0xA1;  // class request, device to host, to an interface
constexpr std::uint8_t kRecipientEndpoint = 0xA2;   // class request, device to host, to an endpoint
constexpr std::uint8_t kClearFeature = 1;
constexpr std::uint16_t kEndpointHalt = 0;
constexpr std::uint8_t kInDirection = 0x80;

std::uint32_t Le32(const std::vector<std::uint8_t>& b, std::size_t at) {
  return static_cast<std::uint32_t>(b[at]) | static_cast<std::uint32_t>(b[at + 1]) << 8 |
         static_cast<std::uint32_t>(b[at + 2]) << 16 | static_cast<std::uint32_t>(b[at + 3]) << 24;
}

UsbtmcResult Fail(UsbtmcError error, const std::string& step) {
  UsbtmcResult r;
  r.error = error;
  r.step = step;
  return r;
}

UsbtmcResult TransferFailed(UsbOutcome outcome, const std::string& step) {
  UsbtmcResult r = Fail(UsbtmcError::kTransfer, step);
  r.outcome = outcome;
  return r;
}

UsbtmcResult StatusFailed(std::uint8_t status, const std::string& step) {
  UsbtmcResult r = Fail(UsbtmcError::kStatus, step);
  r.status = status;
  return r;
}

}  // namespace

const char* UsbtmcErrorName(UsbtmcError error) {
  switch (error) {
    case UsbtmcError::kOk: return "ok";
    case UsbtmcError::kNotOpen: return "device not open";
    case UsbtmcError::kEnumeration: return "enumeration failed";
    case UsbtmcError::kNoInterface: return "no USBTMC interface";
    case UsbtmcError::kTransfer: return "transfer failed";
    case UsbtmcError::kStatus: return "USBTMC status";
    case UsbtmcError::kBadReply: return "malformed reply";
    case UsbtmcError::kNoInterruptIn: return "no interrupt-IN endpoint";
    case UsbtmcError::kInvalidArgument: return "invalid argument";
  }
  return "unknown";
}

std::string UsbtmcResult::Describe() const {
  if (ok()) return "ok";
  std::string text = step.empty() ? std::string() : step + ": ";
  text += UsbtmcErrorName(error);
  if (error == UsbtmcError::kTransfer) text += std::string(" (") + UsbOutcomeName(outcome) + ")";
  if (error == UsbtmcError::kStatus) {
    char hex[8];
    std::snprintf(hex, sizeof hex, "0x%02X", status);
    text += std::string(" ") + hex;
  }
  return text;
}

bool FindUsbtmcInterface(const std::vector<std::uint8_t>& c, UsbtmcEndpoints* found) {
  UsbtmcEndpoints current;
  bool inside = false;
  auto complete = [&current] { return current.bulk_out != 0 && current.bulk_in != 0; };
  for (std::size_t i = 0; i + 1 < c.size();) {
    const std::size_t length = c[i];
    const std::uint8_t type = c[i + 1];
    if (length < 2 || i + length > c.size()) break;
    if (type == 4 && length >= 9) {
      if (inside && complete()) break;
      // Alternate setting 0 of an application-specific interface of subclass USBTMC.
      inside = c[i + 3] == 0 && c[i + 5] == 0xFE && c[i + 6] == 3;
      current = UsbtmcEndpoints{};
      current.interface_number = c[i + 2];
      current.interface_protocol = c[i + 7];
    } else if (type == 5 && length >= 7 && inside) {
      const std::uint8_t address = c[i + 2];
      const std::uint8_t kind = c[i + 3] & 0x03;
      const auto max_packet = static_cast<std::uint16_t>(c[i + 4] | (c[i + 5] << 8));
      const std::uint8_t number = address & 0x0F;
      const bool in = (address & kInDirection) != 0;
      if (kind == 2 && !in && current.bulk_out == 0) {
        current.bulk_out = number;
        current.bulk_out_max_packet = max_packet;
      } else if (kind == 2 && in && current.bulk_in == 0) {
        current.bulk_in = number;
        current.bulk_in_max_packet = max_packet;
      } else if (kind == 3 && in && current.interrupt_in == 0) {
        current.interrupt_in = number;
      }
    }
    i += length;
  }
  if (!inside || !complete() || current.bulk_out == 0) return false;
  *found = current;
  return true;
}

UsbtmcResult UsbtmcClient::Open(std::uint8_t address) {
  open_ = false;
  srq_status_.clear();
  next_tag_ = 1;
  last_tag_ = 0;
  last_in_tag_ = 0;
  status_tag_ = 2;
  enumeration_ = bus_.Enumerate(address);
  if (enumeration_.outcome != UsbOutcome::kOk) {
    UsbtmcResult r = Fail(UsbtmcError::kEnumeration, "enumeration: " + enumeration_.failed_step);
    r.outcome = enumeration_.outcome;
    return r;
  }
  if (!FindUsbtmcInterface(enumeration_.configuration, &endpoints_)) {
    return Fail(UsbtmcError::kNoInterface, "configuration");
  }
  open_ = true;
  return {};
}

UsbtmcResult UsbtmcClient::Ready(const char* step) const {
  return open_ ? UsbtmcResult{} : Fail(UsbtmcError::kNotOpen, step);
}

std::uint32_t UsbtmcClient::Frames(std::chrono::milliseconds limit) const {
  const auto period = std::max<std::chrono::microseconds::rep>(bus_.FramePeriod().count(), 1);
  const auto us = std::chrono::duration_cast<std::chrono::microseconds>(limit).count();
  return static_cast<std::uint32_t>(std::clamp<long long>(us / period, 1, 0xFFFFFFF));
}

namespace {
constexpr std::chrono::milliseconds kSlice{10};
bool Before(std::chrono::steady_clock::time_point deadline) { return std::chrono::steady_clock::now() < deadline; }
}  // namespace

UsbTransfer UsbtmcClient::BulkIn(unsigned endpoint, std::size_t max_bytes, std::chrono::milliseconds limit) {
  UsbTransfer all;
  const std::size_t max_packet = endpoints_.bulk_in_max_packet != 0 ? endpoints_.bulk_in_max_packet : 64;
  Deadline deadline = DeadlineIn(limit);
  for (;;) {
    const UsbTransfer t = bus_.ReadIn(endpoint, max_bytes - all.data.size(), Frames(kSlice));
    if (!t.packets.empty()) deadline = DeadlineIn(limit);  // the device moves: it has the limit again
    all.data.insert(all.data.end(), t.data.begin(), t.data.end());
    all.packets.insert(all.packets.end(), t.packets.begin(), t.packets.end());
    all.naks += t.naks;
    all.toggle_errors += t.toggle_errors;
    all.outcome = t.outcome;
    const bool ended = !all.packets.empty() && (all.packets.back() < max_packet || all.data.size() >= max_bytes);
    if (t.outcome != UsbOutcome::kTimeout || ended || !Before(deadline)) return all;
  }
}

UsbTransfer UsbtmcClient::BulkOut(unsigned endpoint, const std::vector<std::uint8_t>& data,
                                  std::chrono::milliseconds limit) {
  UsbTransfer all;
  std::size_t sent = 0;
  Deadline deadline = DeadlineIn(limit);
  for (;;) {
    // Resumes after the last packet the device acknowledged (the host's toggle follows the ACKs).
    const std::vector<std::uint8_t> rest(data.begin() + static_cast<std::ptrdiff_t>(sent), data.end());
    const UsbTransfer t = bus_.WriteOut(endpoint, rest, Frames(kSlice));
    sent += t.data.size();
    if (!t.packets.empty()) deadline = DeadlineIn(limit);  // the device moves: it has the limit again
    all.packets.insert(all.packets.end(), t.packets.begin(), t.packets.end());
    all.naks += t.naks;
    all.outcome = t.outcome;
    if (t.outcome != UsbOutcome::kTimeout || sent >= data.size() || !Before(deadline)) break;
  }
  all.data.assign(data.begin(), data.begin() + static_cast<std::ptrdiff_t>(std::min(sent, data.size())));
  return all;
}

UsbTransfer UsbtmcClient::InterruptIn(unsigned endpoint, Deadline deadline) {
  for (;;) {
    const UsbTransfer t = bus_.ReadPacket(endpoint, Frames(kSlice));
    // A zero-length packet carries no notification (a device may end a full-size one with it).
    const bool empty = t.outcome == UsbOutcome::kOk && t.data.empty();
    if ((t.outcome != UsbOutcome::kTimeout && !empty) || !Before(deadline)) {
      if (!empty) return t;
      UsbTransfer none;
      none.outcome = UsbOutcome::kTimeout;
      return none;
    }
  }
}

std::uint8_t UsbtmcClient::TakeTag() {
  const std::uint8_t tag = next_tag_;
  next_tag_ = static_cast<std::uint8_t>(next_tag_ == 255 ? 1 : next_tag_ + 1);
  return tag;
}

std::vector<std::uint8_t> UsbtmcClient::Header(std::uint8_t msg_id, std::uint8_t tag, std::uint32_t transfer_size,
                                               std::uint8_t attributes, std::uint8_t term_char) const {
  return {msg_id,
          tag,
          static_cast<std::uint8_t>(~tag),
          0,
          static_cast<std::uint8_t>(transfer_size),
          static_cast<std::uint8_t>(transfer_size >> 8),
          static_cast<std::uint8_t>(transfer_size >> 16),
          static_cast<std::uint8_t>(transfer_size >> 24),
          attributes,
          term_char,
          0,
          0};
}

UsbtmcResult UsbtmcClient::SendBulkOut(const std::vector<std::uint8_t>& data, const char* step) {
  const UsbTransfer t = BulkOut(endpoints_.bulk_out, data, timeout_);
  if (t.outcome != UsbOutcome::kOk) return TransferFailed(t.outcome, step);
  return {};
}

UsbtmcResult UsbtmcClient::Write(const std::string& message, bool eom) {
  if (UsbtmcResult r = Ready("write"); !r.ok()) return r;
  if (message.empty()) return Fail(UsbtmcError::kInvalidArgument, "write: an empty message");
  const std::size_t chunk = max_transfer_ == 0 ? message.size() : max_transfer_;
  for (std::size_t offset = 0; offset < message.size(); offset += chunk) {
    const std::size_t n = std::min(chunk, message.size() - offset);
    const bool last = offset + n == message.size();
    const std::uint8_t tag = TakeTag();
    std::vector<std::uint8_t> transfer =
        Header(usbtmc::kDevDepMsgOut, tag, static_cast<std::uint32_t>(n), last && eom ? 1 : 0, 0);
    transfer.insert(transfer.end(), message.begin() + static_cast<std::ptrdiff_t>(offset),
                    message.begin() + static_cast<std::ptrdiff_t>(offset + n));
    transfer.resize((transfer.size() + 3) & ~std::size_t{3}, 0);  // alignment bytes
    last_tag_ = tag;
    if (UsbtmcResult r = SendBulkOut(transfer, "DEV_DEP_MSG_OUT"); !r.ok()) return r;
  }
  return {};
}

UsbtmcResult UsbtmcClient::WritePartial(const std::string& message, std::size_t payload_bytes) {
  if (UsbtmcResult r = Ready("write"); !r.ok()) return r;
  if (message.empty() || payload_bytes >= message.size()) {
    return Fail(UsbtmcError::kInvalidArgument, "partial write: the part must be shorter than the message");
  }
  const std::uint8_t tag = TakeTag();
  std::vector<std::uint8_t> transfer =
      Header(usbtmc::kDevDepMsgOut, tag, static_cast<std::uint32_t>(message.size()), 1, 0);
  transfer.insert(transfer.end(), message.begin(), message.begin() + static_cast<std::ptrdiff_t>(payload_bytes));
  last_tag_ = tag;
  return SendBulkOut(transfer, "DEV_DEP_MSG_OUT (partial)");
}

UsbtmcResult UsbtmcClient::RequestIn(const UsbtmcReadOptions& options) {
  if (UsbtmcResult r = Ready("read"); !r.ok()) return r;
  if (options.transfer_size == 0) return Fail(UsbtmcError::kInvalidArgument, "read: TransferSize 0");
  const std::uint8_t tag = TakeTag();
  const std::uint8_t attributes = options.term_char.has_value() ? 0x02 : 0x00;
  last_tag_ = tag;
  last_in_tag_ = tag;
  return SendBulkOut(
      Header(usbtmc::kRequestDevDepMsgIn, tag, options.transfer_size, attributes, options.term_char.value_or(0)),
      "REQUEST_DEV_DEP_MSG_IN");
}

UsbtmcResult UsbtmcClient::ReadChunk(const UsbtmcReadOptions& options, UsbtmcChunk* chunk) {
  if (UsbtmcResult r = RequestIn(options); !r.ok()) return r;
  const std::size_t max_packet = endpoints_.bulk_in_max_packet != 0 ? endpoints_.bulk_in_max_packet : 64;
  std::vector<std::uint8_t> data;
  std::size_t last_packet = 0;
  // A zero-length packet left over from the end of the previous transfer is not a header.
  for (int attempt = 0; attempt < 2 && data.empty(); ++attempt) {
    const UsbTransfer t = BulkIn(endpoints_.bulk_in, usbtmc::kHeaderSize, timeout_);
    if (t.outcome != UsbOutcome::kOk) return EndTimedOutRead(TransferFailed(t.outcome, "DEV_DEP_MSG_IN"));
    data = t.data;
    last_packet = t.packets.empty() ? 0 : t.packets.back();
  }
  if (data.size() < usbtmc::kHeaderSize) return Fail(UsbtmcError::kBadReply, "DEV_DEP_MSG_IN: short header");
  const std::uint8_t tag = data[1];
  if (data[0] != usbtmc::kDevDepMsgIn || tag != last_in_tag_ || data[2] != static_cast<std::uint8_t>(~tag)) {
    return Fail(UsbtmcError::kBadReply, "DEV_DEP_MSG_IN: wrong MsgID or bTag");
  }
  const std::uint32_t size = Le32(data, 4);
  if (size > options.transfer_size) {
    return Fail(UsbtmcError::kBadReply, "DEV_DEP_MSG_IN: TransferSize above the one asked for");
  }
  const std::size_t need = usbtmc::kHeaderSize + size;
  while (data.size() < need && last_packet == max_packet) {
    const UsbTransfer t = BulkIn(endpoints_.bulk_in, need - data.size(), timeout_);
    if (t.outcome != UsbOutcome::kOk) return EndTimedOutRead(TransferFailed(t.outcome, "DEV_DEP_MSG_IN data"));
    data.insert(data.end(), t.data.begin(), t.data.end());
    last_packet = t.packets.empty() ? 0 : t.packets.back();
  }
  if (data.size() < need) return Fail(UsbtmcError::kBadReply, "DEV_DEP_MSG_IN: fewer bytes than its TransferSize");
  chunk->transfer_size = size;
  chunk->eom = (data[8] & 0x01) != 0;
  chunk->term_char = (data[8] & 0x02) != 0;
  chunk->data.assign(data.begin() + usbtmc::kHeaderSize, data.begin() + static_cast<std::ptrdiff_t>(need));
  return {};
}

UsbtmcResult UsbtmcClient::EndTimedOutRead(UsbtmcResult timed_out) {
  if (!abort_on_timeout_ || timed_out.outcome != UsbOutcome::kTimeout) return timed_out;
  const UsbtmcResult aborted = AbortBulkIn();
  timed_out.step += aborted.ok() ? " (request aborted)" : " (request not aborted: " + aborted.Describe() + ")";
  return timed_out;
}

UsbtmcResult UsbtmcClient::Read(std::string* response, const UsbtmcReadOptions& options) {
  response->clear();
  for (;;) {
    UsbtmcChunk chunk;
    if (UsbtmcResult r = ReadChunk(options, &chunk); !r.ok()) return r;
    response->append(chunk.data);
    if (chunk.eom || (options.term_char.has_value() && chunk.term_char)) return {};
    // A device that sends nothing and no EOM would keep the loop going for ever.
    if (chunk.transfer_size == 0) return Fail(UsbtmcError::kBadReply, "DEV_DEP_MSG_IN: empty transfer without EOM");
  }
}

UsbtmcResult UsbtmcClient::Query(const std::string& message, std::string* response, const UsbtmcReadOptions& options) {
  if (UsbtmcResult r = Write(message); !r.ok()) return r;
  return Read(response, options);
}

UsbtmcResult UsbtmcClient::Trigger() {
  if (UsbtmcResult r = Ready("trigger"); !r.ok()) return r;
  const std::uint8_t tag = TakeTag();
  last_tag_ = tag;
  return SendBulkOut(Header(usbtmc::kTrigger, tag, 0, 0, 0), "TRIGGER");
}

UsbtmcResult UsbtmcClient::ClassRequest(std::uint8_t recipient, std::uint8_t request, std::uint16_t value,
                                        std::uint16_t index, std::uint16_t length, const char* step,
                                        std::vector<std::uint8_t>* reply) {
  if (UsbtmcResult r = Ready(step); !r.ok()) return r;
  const UsbTransfer t = bus_.Control(UsbSetup{recipient, request, value, index, length});
  if (t.outcome != UsbOutcome::kOk) return TransferFailed(t.outcome, step);
  if (t.data.size() != length || t.data.empty()) {
    return Fail(UsbtmcError::kBadReply, std::string(step) + ": reply of " + std::to_string(t.data.size()) + " bytes, " +
                                            std::to_string(length) + " asked");
  }
  *reply = t.data;
  UsbtmcResult r;
  r.status = t.data[0];
  return r;
}

UsbtmcResult UsbtmcClient::InterfaceRequest(std::uint8_t request, std::uint16_t value, std::uint16_t length,
                                            std::vector<std::uint8_t>* reply) {
  UsbtmcResult r =
      ClassRequest(kRecipientInterface, request, value, endpoints_.interface_number, length, "class request", reply);
  if (r.ok() && r.status != usbtmc::kStatusSuccess) return StatusFailed(r.status, "class request");
  return r;
}

UsbtmcResult UsbtmcClient::ClearHalt(std::uint8_t endpoint_address) {
  if (UsbtmcResult r = Ready("CLEAR_FEATURE(ENDPOINT_HALT)"); !r.ok()) return r;
  const UsbTransfer t = bus_.Control(UsbSetup{0x02, kClearFeature, kEndpointHalt, endpoint_address, 0});
  if (t.outcome != UsbOutcome::kOk) return TransferFailed(t.outcome, "CLEAR_FEATURE(ENDPOINT_HALT)");
  return {};
}

UsbtmcResult UsbtmcClient::DrainBulkIn(const char* step) {
  const std::size_t max_packet = endpoints_.bulk_in_max_packet != 0 ? endpoints_.bulk_in_max_packet : 64;
  const UsbTransfer t = BulkIn(endpoints_.bulk_in, max_packet * kMaxReadsToClear, timeout_);
  if (t.outcome != UsbOutcome::kOk) return TransferFailed(t.outcome, step);
  if (!t.packets.empty() && t.packets.back() == max_packet) {
    return Fail(UsbtmcError::kBadReply, std::string(step) + ": the bulk-IN FIFO did not empty");
  }
  return {};
}

UsbtmcResult UsbtmcClient::AbortBulkOut(std::uint32_t* received) {
  const std::uint8_t out_address = endpoints_.bulk_out;
  std::vector<std::uint8_t> reply;
  UsbtmcResult r = ClassRequest(kRecipientEndpoint, usbtmc::kInitiateAbortBulkOut, last_tag_, out_address, 2,
                                "INITIATE_ABORT_BULK_OUT", &reply);
  if (!r.ok()) return r;
  if (r.status != usbtmc::kStatusSuccess) return StatusFailed(r.status, "INITIATE_ABORT_BULK_OUT");
  const auto deadline = std::chrono::steady_clock::now() + timeout_;
  for (;;) {
    r = ClassRequest(kRecipientEndpoint, usbtmc::kCheckAbortBulkOutStatus, 0, out_address, 8,
                     "CHECK_ABORT_BULK_OUT_STATUS", &reply);
    if (!r.ok()) return r;
    if (r.status == usbtmc::kStatusSuccess) break;
    if (r.status != usbtmc::kStatusPending) return StatusFailed(r.status, "CHECK_ABORT_BULK_OUT_STATUS");
    if (std::chrono::steady_clock::now() > deadline) {
      return TransferFailed(UsbOutcome::kTimeout, "CHECK_ABORT_BULK_OUT_STATUS stays pending");
    }
    bus_.WaitFrames(1);
  }
  if (received != nullptr) *received = Le32(reply, 4);
  return ClearHalt(out_address);
}

UsbtmcResult UsbtmcClient::AbortBulkIn(std::uint32_t* sent) {
  const auto in_address = static_cast<std::uint8_t>(endpoints_.bulk_in | kInDirection);
  if (sent != nullptr) *sent = 0;
  std::vector<std::uint8_t> reply;
  UsbtmcResult r = ClassRequest(kRecipientEndpoint, usbtmc::kInitiateAbortBulkIn, last_in_tag_, in_address, 2,
                                "INITIATE_ABORT_BULK_IN", &reply);
  if (!r.ok()) return r;
  if (r.status == usbtmc::kStatusFailed) return r;  // no transfer in progress: nothing to abort
  if (r.status != usbtmc::kStatusSuccess) return StatusFailed(r.status, "INITIATE_ABORT_BULK_IN");
  // The device ends the bulk-IN transfer in progress with a short packet: read it out.
  if (UsbtmcResult d = DrainBulkIn("abort: reading bulk-IN out"); !d.ok()) return d;
  const auto deadline = std::chrono::steady_clock::now() + timeout_;
  for (;;) {
    r = ClassRequest(kRecipientEndpoint, usbtmc::kCheckAbortBulkInStatus, 0, in_address, 8,
                     "CHECK_ABORT_BULK_IN_STATUS", &reply);
    if (!r.ok()) return r;
    if (r.status == usbtmc::kStatusSuccess) break;
    if (r.status != usbtmc::kStatusPending) return StatusFailed(r.status, "CHECK_ABORT_BULK_IN_STATUS");
    if (std::chrono::steady_clock::now() > deadline) {
      return TransferFailed(UsbOutcome::kTimeout, "CHECK_ABORT_BULK_IN_STATUS stays pending");
    }
    if ((reply[1] & 0x01) != 0) {
      if (UsbtmcResult d = DrainBulkIn("abort: reading bulk-IN out"); !d.ok()) return d;
    } else {
      bus_.WaitFrames(1);
    }
  }
  if (sent != nullptr) *sent = Le32(reply, 4);
  return r;
}

UsbtmcResult UsbtmcClient::Clear() {
  std::vector<std::uint8_t> reply;
  UsbtmcResult r = ClassRequest(kRecipientInterface, usbtmc::kInitiateClear, 0, endpoints_.interface_number, 1,
                                "INITIATE_CLEAR", &reply);
  if (!r.ok()) return r;
  if (r.status != usbtmc::kStatusSuccess) return StatusFailed(r.status, "INITIATE_CLEAR");
  const auto deadline = std::chrono::steady_clock::now() + timeout_;
  for (;;) {
    r = ClassRequest(kRecipientInterface, usbtmc::kCheckClearStatus, 0, endpoints_.interface_number, 2,
                     "CHECK_CLEAR_STATUS", &reply);
    if (!r.ok()) return r;
    if (r.status == usbtmc::kStatusSuccess) break;
    if (r.status != usbtmc::kStatusPending) return StatusFailed(r.status, "CHECK_CLEAR_STATUS");
    if (std::chrono::steady_clock::now() > deadline) {
      return TransferFailed(UsbOutcome::kTimeout, "CHECK_CLEAR_STATUS stays pending");
    }
    if ((reply[1] & 0x01) != 0) {
      if (UsbtmcResult d = DrainBulkIn("clear: reading bulk-IN out"); !d.ok()) return d;
    } else {
      bus_.WaitFrames(1);
    }
  }
  srq_status_.clear();
  return ClearHalt(endpoints_.bulk_out);
}

UsbtmcResult UsbtmcClient::GetCapabilities(UsbtmcCapabilities* capabilities) {
  std::vector<std::uint8_t> reply;
  UsbtmcResult r = ClassRequest(kRecipientInterface, usbtmc::kGetCapabilities, 0, endpoints_.interface_number, 24,
                                "GET_CAPABILITIES", &reply);
  if (!r.ok()) return r;
  if (r.status != usbtmc::kStatusSuccess) return StatusFailed(r.status, "GET_CAPABILITIES");
  capabilities->raw = reply;
  capabilities->bcd_usbtmc = static_cast<std::uint16_t>(reply[2] | (reply[3] << 8));
  capabilities->interface_capabilities = reply[4];
  capabilities->device_capabilities = reply[5];
  capabilities->bcd_usb488 = static_cast<std::uint16_t>(reply[12] | (reply[13] << 8));
  capabilities->usb488_interface_capabilities = reply[14];
  capabilities->usb488_device_capabilities = reply[15];
  return r;
}

UsbtmcResult UsbtmcClient::ReadNotification(std::chrono::milliseconds limit, std::vector<std::uint8_t>* packet) {
  const UsbTransfer t = InterruptIn(endpoints_.interrupt_in, DeadlineIn(limit));
  if (t.outcome != UsbOutcome::kOk) return TransferFailed(t.outcome, "interrupt-IN");
  if (t.data.size() != 2) {
    return Fail(UsbtmcError::kBadReply,
                "interrupt-IN: a notification of " + std::to_string(t.data.size()) + " bytes, not 2");
  }
  *packet = t.data;
  return {};
}

UsbtmcResult UsbtmcClient::ReadStatusByte(std::uint8_t* status_byte) {
  const std::uint8_t tag = status_tag_;
  std::vector<std::uint8_t> reply;
  UsbtmcResult r = ClassRequest(kRecipientInterface, usbtmc::kReadStatusByte, tag, endpoints_.interface_number, 3,
                                "READ_STATUS_BYTE", &reply);
  if (!r.ok()) return r;
  status_tag_ = static_cast<std::uint8_t>(status_tag_ == 127 ? 2 : status_tag_ + 1);
  if (r.status != usbtmc::kStatusSuccess) return StatusFailed(r.status, "READ_STATUS_BYTE");
  if (reply[1] != tag) return Fail(UsbtmcError::kBadReply, "READ_STATUS_BYTE: reply for another bTag");
  if (endpoints_.interrupt_in == 0) {
    *status_byte = reply[2];
    return r;
  }
  const auto deadline = std::chrono::steady_clock::now() + timeout_;
  for (;;) {
    std::vector<std::uint8_t> packet;
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return TransferFailed(UsbOutcome::kTimeout, "READ_STATUS_BYTE: interrupt-IN");
    if (UsbtmcResult n = ReadNotification(left, &packet); !n.ok()) {
      n.step = "READ_STATUS_BYTE: " + n.step;
      return n;
    }
    if (packet[0] == usbtmc::kNotifySrq) {
      srq_status_.push_back(packet[1]);
      continue;
    }
    if (packet[0] != (0x80 | tag)) {
      return Fail(UsbtmcError::kBadReply, "READ_STATUS_BYTE: notification for another bTag");
    }
    *status_byte = packet[1];
    return r;
  }
}

UsbtmcResult UsbtmcClient::WaitServiceRequest(std::chrono::milliseconds limit, std::uint8_t* status_byte) {
  if (UsbtmcResult r = Ready("service request"); !r.ok()) return r;
  if (endpoints_.interrupt_in == 0) return Fail(UsbtmcError::kNoInterruptIn, "service request");
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (srq_status_.empty()) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return TransferFailed(UsbOutcome::kTimeout, "service request");
    std::vector<std::uint8_t> packet;
    if (UsbtmcResult n = ReadNotification(left, &packet); !n.ok()) {
      n.step = "service request: " + n.step;
      return n;
    }
    // A status byte reply nobody waits for any more is dropped.
    if (packet[0] == usbtmc::kNotifySrq) srq_status_.push_back(packet[1]);
  }
  *status_byte = srq_status_.front();
  srq_status_.pop_front();
  return {};
}

UsbtmcResult UsbtmcClient::RenControl(bool assert_ren) {
  std::vector<std::uint8_t> reply;
  UsbtmcResult r = ClassRequest(kRecipientInterface, usbtmc::kRenControl, assert_ren ? 1 : 0,
                                endpoints_.interface_number, 1, "REN_CONTROL", &reply);
  if (r.ok() && r.status != usbtmc::kStatusSuccess) return StatusFailed(r.status, "REN_CONTROL");
  return r;
}

UsbtmcResult UsbtmcClient::GoToLocal() {
  std::vector<std::uint8_t> reply;
  UsbtmcResult r =
      ClassRequest(kRecipientInterface, usbtmc::kGoToLocal, 0, endpoints_.interface_number, 1, "GO_TO_LOCAL", &reply);
  if (r.ok() && r.status != usbtmc::kStatusSuccess) return StatusFailed(r.status, "GO_TO_LOCAL");
  return r;
}

UsbtmcResult UsbtmcClient::LocalLockout() {
  std::vector<std::uint8_t> reply;
  UsbtmcResult r = ClassRequest(kRecipientInterface, usbtmc::kLocalLockout, 0, endpoints_.interface_number, 1,
                                "LOCAL_LOCKOUT", &reply);
  if (r.ok() && r.status != usbtmc::kStatusSuccess) return StatusFailed(r.status, "LOCAL_LOCKOUT");
  return r;
}

}  // namespace sim
