// The frames the host and the DSP exchange: message ids, fixed lengths, the check word and the
// encodings of payload values.
//
// A frame is an array of 32-bit words: word 0 the message id, word 1 the sequence number, then the
// payload (word 2 of every reply is the DSP status word), and last the check word, the XOR of all the
// words before it. Every id has one fixed length; the reply to a request carries the request's id with
// bit 16 set. DSP_BOOTED is a reply that answers no request.
//
// Encodings: a float is one IEEE 754 single word; a double is two words, the one holding the sign and
// exponent (bits 63-32) first; a uint64 is two words, the low-order word first; a u16 array holds two
// values per word, the first in the low-order half.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>

namespace Torvex {

// Request ids.
enum eDspRequest : std::uint32_t {
  kDspPwDefaultConfiguration = 0x10,
  kDspPwProbeConnect = 0x20,
  kDspPwMeasureParms = 0x30,
  kDspInitiateSearch = 0x40,
  kDspInitiateTracking = 0x50,
  kDspInitiateManualMeasurement = 0x60,
  kDspTrigger = 0x70,
  kDspAbort = 0x80,
  kDspRequestNmrSignal = 0x90,
  kDspReleaseNmrSignal = 0xA0,
  kDspExternalReference = 0xB0,
  kDspTriggerOut = 0xC0,
  kDspQuit = 0xD0,
  kDspLlSetFrequency = 0x8010,
  kDspLlSetVoltages = 0x8020,
  kDspLlSetFieldModulation = 0x8030,
};

// The bit that turns a request id into the id of its reply.
inline constexpr std::uint32_t kDspReplyBit = 0x10000;
// The notice the DSP sends once its program runs.
inline constexpr std::uint32_t kDspBooted = 0x10001;
// Bit 31 of a reply's status word: the DSP refused or failed the request.
inline constexpr std::uint32_t kDspStatusErrorFlag = 0x80000000u;

constexpr std::uint32_t DspReplyId(std::uint32_t request) { return request | kDspReplyBit; }

struct DspMessageRow {
  std::uint32_t id;
  const char* name;
  std::uint32_t bytes;
};

inline constexpr DspMessageRow kDspRequestRows[] = {
    {kDspPwDefaultConfiguration, "PW_DEFAULT_CONFIGURATION", 44},
    {kDspPwProbeConnect, "PW_PROBE_CONNECT", 2632},
    {kDspPwMeasureParms, "PW_MEASURE_PARMS", 120},
    {kDspInitiateSearch, "INITIATE_SEARCH", 36},
    {kDspInitiateTracking, "INITIATE_TRACKING", 24},
    {kDspInitiateManualMeasurement, "INITIATE_MANUAL_MEASUREMENT", 48},
    {kDspTrigger, "TRIGGER", 32},
    {kDspAbort, "ABORT", 12},
    {kDspRequestNmrSignal, "REQUEST_NMR_SIGNAL", 12},
    {kDspReleaseNmrSignal, "RELEASE_NMR_SIGNAL", 12},
    {kDspExternalReference, "EXTERNAL_REFERENCE", 16},
    {kDspTriggerOut, "TRIGGER_OUT", 48},
    {kDspQuit, "QUIT", 12},
    {kDspLlSetFrequency, "LL_SET_FREQUENCY", 20},
    {kDspLlSetVoltages, "LL_SET_VOLTAGES", 20},
    {kDspLlSetFieldModulation, "LL_SET_FIELD_MODULATION", 28},
};

inline constexpr DspMessageRow kDspReplyRows[] = {
    {kDspBooted, "DSP_BOOTED", 36},
    {DspReplyId(kDspPwDefaultConfiguration), "PW_DEFAULT_CONFIGURATION_ACK", 20},
    {DspReplyId(kDspPwProbeConnect), "PW_PROBE_CONNECT_ACK", 20},
    {DspReplyId(kDspPwMeasureParms), "PW_MEASURE_PARMS_ACK", 20},
    {DspReplyId(kDspInitiateSearch), "RETURN_SEARCH_RESULT", 32},
    {DspReplyId(kDspInitiateTracking), "INITIATE_TRACKING_ACK", 20},
    {DspReplyId(kDspInitiateManualMeasurement), "INITIATE_MANUAL_MEASUREMENT_ACK", 20},
    {DspReplyId(kDspTrigger), "RETURN_PW_MEASUREMENT", 64},
    {DspReplyId(kDspAbort), "ABORT_ACK", 20},
    {DspReplyId(kDspRequestNmrSignal), "RETURN_NMR_SIGNAL", 104},
    {DspReplyId(kDspReleaseNmrSignal), "RELEASE_NMR_SIGNAL_ACK", 20},
    {DspReplyId(kDspExternalReference), "EXTERNAL_REFERENCE_ACK", 20},
    {DspReplyId(kDspTriggerOut), "RETURN_TRIGGER_OUT", 24},
    {DspReplyId(kDspQuit), "QUIT_ACK", 20},
    {DspReplyId(kDspLlSetFrequency), "LL_SET_FREQUENCY_ACK", 20},
    {DspReplyId(kDspLlSetVoltages), "LL_SET_VOLTAGES_ACK", 20},
    {DspReplyId(kDspLlSetFieldModulation), "RETURN_LL_SET_FIELD_MODULATION", 28},
};

inline constexpr std::size_t kDspRequestCount = std::size(kDspRequestRows);
inline constexpr std::size_t kDspReplyCount = std::size(kDspReplyRows);
static_assert(kDspRequestCount == 16, "sixteen requests");
static_assert(kDspReplyCount == 17, "one reply per request and DSP_BOOTED");

// The longest frame (PW_PROBE_CONNECT): the size of the transmit and receive buffers.
inline constexpr std::uint32_t kDspMaxFrameBytes = 2632;
inline constexpr std::uint32_t kDspMaxFrameWords = kDspMaxFrameBytes / 4;
// Room for values in each curve area of PW_PROBE_CONNECT.
inline constexpr std::uint32_t kDspCurveValues = 256;

constexpr bool DspRowsValid(const DspMessageRow* rows, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) {
    if (rows[i].bytes % 4 != 0 || rows[i].bytes < 12 || rows[i].bytes > kDspMaxFrameBytes) return false;
    for (std::size_t j = i + 1; j < count; ++j) {
      if (rows[i].id == rows[j].id) return false;
    }
  }
  return true;
}
static_assert(DspRowsValid(kDspRequestRows, kDspRequestCount), "request lengths and ids");
static_assert(DspRowsValid(kDspReplyRows, kDspReplyCount), "reply lengths and ids");

// The row of `id` in a table, or `count` when the table has none.
constexpr std::size_t FindDspRow(const DspMessageRow* rows, std::size_t count, std::uint32_t id) {
  for (std::size_t i = 0; i < count; ++i) {
    if (rows[i].id == id) return i;
  }
  return count;
}

// Length in bytes of a request or reply id; 0 for an id outside its table.
constexpr std::uint32_t DspRequestLength(std::uint32_t id) {
  const std::size_t row = FindDspRow(kDspRequestRows, kDspRequestCount, id);
  return row < kDspRequestCount ? kDspRequestRows[row].bytes : 0;
}
constexpr std::uint32_t DspReplyLength(std::uint32_t id) {
  const std::size_t row = FindDspRow(kDspReplyRows, kDspReplyCount, id);
  return row < kDspReplyCount ? kDspReplyRows[row].bytes : 0;
}
// Names of a request or reply id; null for an id outside its table.
constexpr const char* DspRequestName(std::uint32_t id) {
  const std::size_t row = FindDspRow(kDspRequestRows, kDspRequestCount, id);
  return row < kDspRequestCount ? kDspRequestRows[row].name : nullptr;
}
constexpr const char* DspReplyName(std::uint32_t id) {
  const std::size_t row = FindDspRow(kDspReplyRows, kDspReplyCount, id);
  return row < kDspReplyCount ? kDspReplyRows[row].name : nullptr;
}

static_assert(DspReplyLength(DspReplyId(kDspTrigger)) == 64);
static_assert(DspRequestLength(0x11) == 0 && DspReplyLength(0x10) == 0);

// XOR of the first count - 1 words: the check word of a frame of `count` words.
constexpr std::uint32_t XorWords(std::uint32_t count, const std::uint32_t* words) {
  std::uint32_t x = 0;
  for (std::uint32_t i = 0; i + 1 < count; ++i) x ^= words[i];
  return x;
}

// True when the XOR of all `count` words, check word included, is 0.
constexpr bool XorCheck(std::uint32_t count, const std::uint32_t* words) {
  std::uint32_t x = 0;
  for (std::uint32_t i = 0; i < count; ++i) x ^= words[i];
  return x == 0;
}

// Payload encodings.
inline std::uint32_t FloatWord(double value) { return std::bit_cast<std::uint32_t>(static_cast<float>(value)); }
inline float WordFloat(std::uint32_t word) { return std::bit_cast<float>(word); }

inline void PutDouble(std::uint32_t* words, double value) {
  const auto bits = std::bit_cast<std::uint64_t>(value);
  words[0] = static_cast<std::uint32_t>(bits >> 32);
  words[1] = static_cast<std::uint32_t>(bits);
}
inline double GetDouble(const std::uint32_t* words) {
  return std::bit_cast<double>((static_cast<std::uint64_t>(words[0]) << 32) | words[1]);
}
inline std::uint64_t GetUint64(const std::uint32_t* words) {
  return (static_cast<std::uint64_t>(words[1]) << 32) | words[0];
}

}  // namespace Torvex
