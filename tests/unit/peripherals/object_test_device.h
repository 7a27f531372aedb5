// Test helpers of the peripheral object tests: a writer of big-endian link records, the records the
// devices answer with, and FakeDevice, a stand-in for the link that answers each command like a device
// and records every request. Answers are handed out in buffers of exactly their size, so a decoder
// that reads past an answer's end is caught under the address sanitizer.
#pragma once

#include <bit>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "peripherals/CPeripheralRequests.h"

namespace Torvex::test {

using Bytes = std::vector<std::uint8_t>;

struct RecordWriter {
  Bytes bytes;
  RecordWriter& U8(unsigned v) {
    bytes.push_back(static_cast<std::uint8_t>(v));
    return *this;
  }
  RecordWriter& U16(unsigned v) { return U8(v >> 8).U8(v); }
  RecordWriter& U32(std::uint32_t v) { return U16(v >> 16).U16(v & 0xFFFF); }
  RecordWriter& Double(double d) {
    const auto bits = std::bit_cast<std::uint64_t>(d);
    for (int i = 7; i >= 0; --i) U8(static_cast<unsigned>(bits >> (8 * i)));
    return *this;
  }
  RecordWriter& Float(float f) { return U32(std::bit_cast<std::uint32_t>(f)); }
  RecordWriter& Text(const std::string& s) {
    bytes.insert(bytes.end(), s.begin(), s.end());
    return *this;
  }
  RecordWriter& Append(const Bytes& b) {
    bytes.insert(bytes.end(), b.begin(), b.end());
    return *this;
  }
};

// The values of a physical-information record, for building and comparing.
struct InfoValues {
  double minFreq = 1e6, maxFreq = 2e6, minIF = 1e3, maxIF = 2e3, multiplier = 1.0, gyro = 42.577e6;
  double pulsePeriod = 1e-3, t2 = 2e-3, sampleLength = 256;
  std::uint8_t deadTime = 5;
  std::vector<std::uint16_t> curves[5];
  std::uint16_t version = 1;
};

inline Bytes InfoRecord(const InfoValues& v) {
  RecordWriter w;
  w.U16(v.version).Double(v.minFreq).Double(v.maxFreq).Double(v.minIF).Double(v.maxIF).Double(v.multiplier);
  w.Double(v.gyro).Double(v.pulsePeriod).Double(v.t2).Double(v.sampleLength).U8(v.deadTime);
  for (const auto& curve : v.curves) {
    w.U16(static_cast<unsigned>(curve.size()));
    for (auto p : curve) w.U16(p);
  }
  return w.bytes;
}

inline Bytes TextPair(const std::string& a, const std::string& b) {
  RecordWriter w;
  w.U16(static_cast<unsigned>(a.size())).Text(a).U16(static_cast<unsigned>(b.size())).Text(b);
  return w.bytes;
}

inline Bytes CameraLimitsRecord(double minF, double maxF, double minIF, double maxIF, double mult,
                                unsigned version = 1) {
  RecordWriter w;
  w.U16(version).Double(minF).Double(maxF).Double(minIF).Double(maxIF).Double(mult).U16(0x1234);
  return w.bytes;
}

struct HallCalibration {
  std::uint16_t offset[3] = {1000, 1000, 1000};
  float gain[3] = {0.5f, 0.5f, 0.5f};
  std::uint16_t referenceTemperature = 2000;
  float offsetDrift[3] = {2.5f, 0, 0};
  float gainDrift[3] = {0, 0, 0};
};

inline Bytes HallCalibrationRecord(const HallCalibration& c, unsigned version = 1) {
  RecordWriter w;
  w.U16(version).U16(0xBEEF);
  for (auto o : c.offset) w.U16(o);
  for (auto g : c.gain) w.Float(g);
  w.U16(c.referenceTemperature);
  for (auto d : c.offsetDrift) w.Float(d);
  for (auto d : c.gainDrift) w.Float(d);
  return w.bytes;
}

// A camera memory block: header (identity, check byte), directory of `entries` entries and the six
// sections. Offsets are filled in; the header's length and check byte are made right unless told.
struct CameraBlockSpec {
  std::uint16_t model = 0x0A0B;
  std::uint32_t serial = 0x0C0D0E;
  std::uint32_t flags = 0;
  std::string auxText = "aux";
  std::string designation = "Camera 3H";
  std::vector<std::pair<std::uint8_t, std::uint8_t>> heads = {{0x41, 0}, {0x42, 1}, {0x43, 2}};
  std::vector<InfoValues> records = std::vector<InfoValues>(3);
  unsigned entries = 6;
};

inline Bytes CameraBlock(const CameraBlockSpec& s) {
  std::vector<Bytes> sections(6);
  sections[0] = TextPair(s.auxText, s.designation);
  RecordWriter heads;
  heads.U8(static_cast<unsigned>(s.heads.size()));
  for (auto [tag, index] : s.heads) heads.U8(tag).U8(index);
  sections[1] = heads.bytes;
  sections[2] = {2, 0xAA, 0xBB};
  sections[3] = {0};
  RecordWriter descriptor;
  descriptor.U8(7).Double(1.5).Double(2.5).Double(3.5).U8(3).Text("abc").Double(4.5).U8(2).U16(10).U16(20);
  sections[4] = descriptor.bytes;
  RecordWriter set;
  set.U8(static_cast<unsigned>(s.records.size()));
  for (const auto& r : s.records) set.Append(InfoRecord(r));
  sections[5] = set.bytes;

  RecordWriter block;
  block.U16(0x1111).U16(0x2222).U16(0);  // length filled below
  for (int i = 0; i < 10; ++i) block.U8(static_cast<unsigned>(i));
  block.U16(1).U8(6).U16(s.model).U8(s.serial >> 16).U8(s.serial >> 8).U8(s.serial).U32(s.flags);
  block.U8(0);  // check byte, set below
  block.U16(s.entries);
  std::size_t offset = 31 + 3 * s.entries;
  for (unsigned i = 0; i < s.entries; ++i) {
    const std::size_t section = i < 6 ? offset : 0;
    block.U8(0x30 + i).U16(static_cast<unsigned>(section));
    if (i < 6) offset += sections[i].size();
  }
  for (const auto& section : sections) block.Append(section);
  Bytes b = block.bytes;
  b[4] = static_cast<std::uint8_t>(b.size() >> 8);
  b[5] = static_cast<std::uint8_t>(b.size());
  std::uint8_t x = 0;
  for (int i = 0; i < 28; ++i) x ^= b[i];
  b[28] = x;
  return b;
}

// Stands in for the link: answers by command, records every request. Installed for its lifetime.
class FakeDevice : public CPeripheralRequests {
 public:
  struct Answer {
    int result = 0;
    std::uint32_t status = 0;
    Bytes content;
  };
  struct Request {
    char kind;  // 'c' command, 'd' command with data, 'r' route selection
    CTorvexChannel path;
    std::uint16_t model;
    std::uint32_t serial;
    std::uint8_t command;
    Bytes data;
  };

  FakeDevice() { m_Previous = CPeripheralRequests::Install(this); }
  ~FakeDevice() override { CPeripheralRequests::Install(m_Previous); }

  // The answers to a read command, handed out in order; the last one repeats.
  void Answers(std::uint8_t command, std::vector<Answer> answers) {
    m_Answers[command] = std::deque<Answer>(answers.begin(), answers.end());
  }
  void Answer1(std::uint8_t command, Bytes content) { Answers(command, {{0, 0, std::move(content)}}); }
  // The result and status of commands with data (by command), and of route selections.
  std::map<std::uint8_t, std::pair<int, std::uint32_t>> dataResults;
  int routeResult = 0;

  std::vector<Request> requests;

  int Count(char kind, std::uint8_t command = 0) const {
    int n = 0;
    for (const auto& r : requests) n += r.kind == kind && (kind == 'r' || r.command == command);
    return n;
  }

  int SendCommand(const CTorvexChannel& path, std::uint16_t model, std::uint32_t serial, PeripheralLinkRequest& request,
                  std::uint32_t* statusBits) override {
    requests.push_back({'c', path, model, serial, request.command, {}});
    auto it = m_Answers.find(request.command);
    if (it == m_Answers.end() || it->second.empty()) return 12;
    const Answer answer = it->second.front();
    if (it->second.size() > 1) it->second.pop_front();
    if (statusBits != nullptr) *statusBits = answer.status;
    if (answer.result != 0 || answer.status != 0) return answer.result != 0 ? answer.result : 11;
    // Exactly the answer's size, so reading past it is a heap overflow the sanitizer reports.
    m_Buffer.reset(new std::uint8_t[answer.content.size() + (answer.content.empty() ? 1 : 0)]);
    std::copy(answer.content.begin(), answer.content.end(), m_Buffer.get());
    request.data = m_Buffer.get();
    request.length = static_cast<std::uint16_t>(answer.content.size());
    return 0;
  }

  int SendCommandWithData(const CTorvexChannel& path, std::uint16_t model, std::uint32_t serial,
                          PeripheralLinkRequest& request, std::uint32_t* statusBits) override {
    requests.push_back({'d', path, model, serial, request.command, Bytes(request.data, request.data + request.length)});
    auto it = dataResults.find(request.command);
    const auto [result, status] = it != dataResults.end() ? it->second : std::pair<int, std::uint32_t>{0, 0};
    if (statusBits != nullptr) *statusBits = status;
    return result;
  }

  int SelectRoute(const CTorvexChannel& path, std::uint16_t model, std::uint32_t serial) override {
    requests.push_back({'r', path, model, serial, 0, {}});
    return routeResult;
  }

 private:
  CPeripheralRequests* m_Previous;
  std::map<std::uint8_t, std::deque<Answer>> m_Answers;
  std::unique_ptr<std::uint8_t[]> m_Buffer;
};

inline CTorvexChannel Channel(std::initializer_list<std::uint8_t> levels) {
  CTorvexChannel c;
  for (auto l : levels) c.AppendLevel(l);
  return c;
}

inline PeripheralIdentification Identification(std::uint32_t type, std::uint32_t flags = 0) {
  PeripheralIdentification id;
  id.version = 1;
  id.type = type;
  id.model = 0x0102;
  id.serial = 0x030405;
  id.flags = flags;
  return id;
}

}  // namespace Torvex::test
