// The measurement results as reply text or "#6" blocks (CTorvexHostParser::FormatResultData).
#include <algorithm>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "acquisition/CIntermediateResults.h"
#include "acquisition/CTorvexHostAcquisition.h"
#include "core/CRecursiveMutex.h"
#include "host/CTorvexHost.h"
#include "host/CTorvexHostParser.h"
#include "host/HostErrors.h"
#include "host/ResponseFormatting.h"
#include "peripherals/UnitConversion.h"
#include "status/ScpiErrorTable.h"
#include "tree/BoundParameterNodes.h"

namespace Torvex {

namespace {

using Acq = CTorvexHostAcquisition;

// Little-endian bytes of the instrument's memory layout.
void PutU16(std::string& out, std::uint16_t value) {
  out.push_back(static_cast<char>(value & 0xff));
  out.push_back(static_cast<char>(value >> 8));
}
void PutU32(std::string& out, std::uint32_t value) {
  for (int k = 0; k < 4; ++k) out.push_back(static_cast<char>((value >> (8 * k)) & 0xff));
}
void PutU64(std::string& out, std::uint64_t value) {
  for (int k = 0; k < 8; ++k) out.push_back(static_cast<char>((value >> (8 * k)) & 0xff));
}
void PutFloat(std::string& out, float value) {
  std::uint32_t bits = 0;
  std::memcpy(&bits, &value, sizeof bits);
  PutU32(out, bits);
}
// A double as two 32-bit halves, the half with sign and exponent first, each little-endian.
void PutDouble(std::string& out, double value) {
  std::uint64_t bits = 0;
  std::memcpy(&bits, &value, sizeof bits);
  PutU32(out, static_cast<std::uint32_t>(bits >> 32));
  PutU32(out, static_cast<std::uint32_t>(bits & 0xffffffffu));
}

// A number as a standard output stream writes it by default.
std::string StreamText(double value) {
  std::ostringstream out;
  out << value;
  return out.str();
}

std::string Fixed(double value, std::uint32_t decimals) {
  return FormatText("%.*f", static_cast<int>(std::min<std::uint32_t>(decimals, 64)), value);
}

std::string ChannelText(const std::vector<CTorvexChannel>& channels) {
  std::string text = "(@";
  for (std::size_t k = 0; k < channels.size(); ++k) {
    if (k > 0) text += ",";
    const std::uint8_t levels = std::min(channels[k].Length(), CTorvexChannel::kMaxLevels);
    for (std::uint8_t level = 0; level < levels; ++level) {
      if (level > 0) text += "!";
      text += FormatText("%u", static_cast<unsigned>(channels[k].Level(level)));
    }
  }
  return text + ")";
}

// Appends a whole block of `data`; refused when too long or the reply is of indefinite form.
void AppendBlock(ScpiParsedCommand& command, const std::string& data) {
  std::uint8_t* room = ReserveBlock(command, data.size());
  if (room == nullptr) throw eSCPIErrorEvent{kScpiErrorDataNotAllAvailable};
  std::memcpy(room, data.data(), data.size());
}

// The elements of one intermediate array, as many as requested and available; `shortfall` tells
// whether fewer than requested were there.
std::vector<float> ReadArray(int (*getter)(float**, std::uint16_t), const IntermediateArray& array,
                             std::uint32_t requested, bool& shortfall) {
  float* data = nullptr;
  // A request of none fetches the record and takes the reader lock, so the count can be read.
  if (getter(&data, 0) != 0) throw eSCPIErrorEvent{kScpiErrorDataNotAllAvailable};
  const std::uint32_t wanted = std::min<std::uint32_t>(requested, 0xffff);
  const std::uint32_t count = std::min(wanted, array.count);
  shortfall = count < requested;
  if (count == 0) return {};
  if (getter(&data, static_cast<std::uint16_t>(count)) != 0 || data == nullptr)
    throw eSCPIErrorEvent{kScpiErrorDataNotAllAvailable};
  return std::vector<float>(data, data + count);
}

// An intermediate array without one element to answer (none measured yet, or none asked for): its
// scalars alone would be items without their data, so the query answers nothing at all; a request for
// elements reports that they are not there.
void NoArrayElements(std::uint32_t requested, CScpiStatus& status) {
  if (requested > 0) status.PushError(kScpiErrorDataNotAllAvailable, true);
}

[[noreturn]] void DataNotAllAvailable() { throw eSCPIErrorEvent{kScpiErrorDataNotAllAvailable}; }

// True when the replies are text: host_if/parameters/format is "ASCii" (read under the tree lock).
bool RepliesInText() {
  std::string format;
  if (g_node_host_if_parameters_format != g_node_none) {
    CRecursiveLockGuard lock(g_ParameterTreeLock);
    format = g_node_host_if_parameters_format->GetStringAttribute(eAttrValue);
  }
  return format == "ASCii";
}

// The request and what one result kind has produced so far.
struct ResultOutput {
  ScpiParsedCommand& command;
  CScpiStatus& status;
  bool text;               // text items, else one binary block
  std::uint32_t count;     // values requested
  std::uint32_t decimals;  // of the fixed-point texts
  std::string block;       // binary mode: the data of the block
  bool shortfall = false;  // fewer values than requested were there
};

// What a result kind leaves to the common end: the block of what it gathered (binary mode), nothing
// more (it wrote its own reply), or nothing at all (it answered nothing and reported why).
enum class eResultEnd { Block, OwnReply, Nothing };

// ---- one function per shape of result ---------------------------------------------------------------

// Field values converted to the unit UNIT selects: "%.<decimals>f <unit>" items, or doubles.
eResultEnd FormatFlux(ResultOutput& out) {
  std::string selectedName;
  if (g_node_units_parms_selected != g_node_none)
    selectedName = g_node_units_parms_selected->GetStringAttribute(eAttrValue);
  const std::uint32_t selected = FindUnit(selectedName);
  for (std::uint32_t k = 0; k < out.count; ++k) {
    double flux = 0.0;
    std::int32_t unit = 0;
    if (Acq::GetFlux(k, &flux) != 0 || Acq::GetFluxUnit(k, &unit) != 0) {
      out.shortfall = true;
      break;
    }
    const int converted = ConvertUnits(flux, static_cast<std::uint32_t>(unit), selected, 0.0);
    if (converted != kUnitOk) {
      throw eSCPIErrorEvent{converted == kUnitNoCurrentProbe ? static_cast<std::uint32_t>(kScpiErrorNoSelectedChannel)
                                                             : static_cast<std::uint32_t>(kScpiErrorFirmwareError)};
    }
    if (out.text) AppendResponse(out.command, Fixed(flux, out.decimals) + " " + selectedName, true);
    else PutDouble(out.block, flux);
  }
  return eResultEnd::Block;
}

// A series of float values (sigma, uniformity): "%.<decimals>f" items, or floats.
eResultEnd FormatFloatSeries(ResultOutput& out, int (*getter)(std::uint32_t, float*)) {
  for (std::uint32_t k = 0; k < out.count; ++k) {
    float value = 0.0f;
    if (getter(k, &value) != 0) {
      out.shortfall = true;
      break;
    }
    if (out.text) AppendResponse(out.command, Fixed(value, out.decimals), true);
    else PutFloat(out.block, value);
  }
  return eResultEnd::Block;
}

eResultEnd FormatSigma(ResultOutput& out) { return FormatFloatSeries(out, &Acq::GetSigma); }
eResultEnd FormatUniformity(ResultOutput& out) { return FormatFloatSeries(out, &Acq::GetUniformity); }

// The channels as one channel list: "(@...)" text (nothing when there is none), or one channel block.
eResultEnd FormatChannels(ResultOutput& out) {
  std::vector<CTorvexChannel> channels;
  for (std::uint32_t k = 0; k < out.count; ++k) {
    CTorvexChannel channel;
    if (Acq::GetChannel(k, &channel) != 0) {
      out.shortfall = true;
      break;
    }
    channels.push_back(channel);
  }
  if (out.text) {
    if (!channels.empty()) AppendResponse(out.command, ChannelText(channels), true);
  } else {
    const std::string whole = ChannelListToBlock(channels);
    if (whole.empty()) DataNotAllAvailable();
    AppendResponse(out.command, whole, true);
  }
  return eResultEnd::OwnReply;
}

eResultEnd FormatTimestamps(ResultOutput& out) {
  for (std::uint32_t k = 0; k < out.count; ++k) {
    std::uint64_t stamp = 0;
    if (Acq::GetTimestamp(k, &stamp) != 0) {
      out.shortfall = true;
      break;
    }
    if (out.text) AppendResponse(out.command, FormatText("%llu", static_cast<unsigned long long>(stamp)), true);
    else PutU64(out.block, stamp);
  }
  return eResultEnd::Block;
}

// One frequency in hertz (IF, RF): "%.<decimals>f HZ", or a double.
eResultEnd FormatFrequency(ResultOutput& out, int (*getter)(double*)) {
  double frequency = 0.0;
  if (getter(&frequency) != 0) DataNotAllAvailable();
  if (out.text) AppendResponse(out.command, Fixed(frequency, out.decimals) + " HZ", true);
  else PutDouble(out.block, frequency);
  return eResultEnd::Block;
}

eResultEnd FormatIfFrequency(ResultOutput& out) { return FormatFrequency(out, &Acq::GetIfFrequency); }
eResultEnd FormatRfFrequency(ResultOutput& out) { return FormatFrequency(out, &Acq::GetRfFrequency); }

eResultEnd FormatSearchProgress(ResultOutput& out) {
  std::uint16_t percent = 0;
  if (Acq::GetSearchProgress(&percent) != 0) DataNotAllAvailable();
  if (out.text) AppendResponse(out.command, StreamText(percent) + " %", true);
  else PutU16(out.block, percent);
  return eResultEnd::Block;
}

eResultEnd FormatRelaxationTime(ResultOutput& out) {
  float time = 0.0f;
  if (Acq::GetRelaxationTime(&time) != 0) DataNotAllAvailable();
  if (out.text) AppendResponse(out.command, Fixed(time, out.decimals) + " S", true);
  else PutFloat(out.block, time);
  return eResultEnd::Block;
}

// An intermediate array after its scalars (NMR signal and its sample period, FFT buffer and its
// resolution, peak spectrum and its resolution and centre frequency, fit coefficients and the
// residue): each scalar an item with its unit, then the elements joined by ","; in binary mode the
// scalars and the elements as floats.
struct ArrayScalar {
  int (*get)(float*);
  const char* unit;  // written after the scalar in text mode
};

struct IntermediateArrayRow {
  ArrayScalar scalars[2];
  std::size_t scalarCount;
  int (*elements)(float**, std::uint16_t);
  const IntermediateArray& array;
};

eResultEnd FormatIntermediateArray(ResultOutput& out, const IntermediateArrayRow& row) {
  float scalars[2] = {0.0f, 0.0f};
  for (std::size_t k = 0; k < row.scalarCount; ++k) {
    if (row.scalars[k].get(&scalars[k]) != 0) DataNotAllAvailable();
  }
  const std::vector<float> data = ReadArray(row.elements, row.array, out.count, out.shortfall);
  if (data.empty()) {
    NoArrayElements(out.count, out.status);
    return eResultEnd::Nothing;
  }
  for (std::size_t k = 0; k < row.scalarCount; ++k) {
    if (out.text) AppendResponse(out.command, StreamText(scalars[k]) + row.scalars[k].unit, true);
    else PutFloat(out.block, scalars[k]);
  }
  if (out.text) {
    AppendResponse(out.command, JoinNumbers(data.data(), data.size(), ","), true);
  } else {
    for (float value : data) PutFloat(out.block, value);
  }
  return eResultEnd::Block;
}

eResultEnd FormatNmrSignal(ResultOutput& out) {
  return FormatIntermediateArray(
      out, {{{&Acq::GetNmrSignalSamplePeriod, ""}}, 1, &Acq::GetNmrSignal, g_IntermediateResults.nmrSignal});
}
eResultEnd FormatFftBuffer(ResultOutput& out) {
  return FormatIntermediateArray(
      out, {{{&Acq::GetFftBufferResolution, " HZ"}}, 1, &Acq::GetFftBuffer, g_IntermediateResults.fftBuffer});
}
eResultEnd FormatPeakSpectrum(ResultOutput& out) {
  return FormatIntermediateArray(
      out, {{{&Acq::GetPeakSpectrumResolution, " HZ"}, {&Acq::GetPeakSpectrumCenterFrequency, " HZ"}},
            2,
            &Acq::GetPeakSpectrum,
            g_IntermediateResults.peakSpectrum});
}
eResultEnd FormatFit(ResultOutput& out) {
  return FormatIntermediateArray(
      out, {{{&Acq::GetFitResidue, ""}}, 1, &Acq::GetFitCoefficients, g_IntermediateResults.fitCoefficients});
}

// ---- the result kinds, one row each, in eResultKind order ------------------------------------------

struct ResultKindRow {
  eResultKind kind;
  eResultEnd (*format)(ResultOutput& out);
};

constexpr ResultKindRow kResultKinds[] = {
    {kResultFlux, &FormatFlux},
    {kResultSigma, &FormatSigma},
    {kResultUniformity, &FormatUniformity},
    {kResultChannel, &FormatChannels},
    {kResultTimestamp, &FormatTimestamps},
    {kResultIfFrequency, &FormatIfFrequency},
    {kResultSearchProgress, &FormatSearchProgress},
    {kResultRelaxationTime, &FormatRelaxationTime},
    {kResultRfFrequency, &FormatRfFrequency},
    {kResultNmrSignal, &FormatNmrSignal},
    {kResultFftBuffer, &FormatFftBuffer},
    {kResultPeakSpectrum, &FormatPeakSpectrum},
    {kResultFit, &FormatFit},
};

constexpr bool RowsInKindOrder() {
  for (std::size_t k = 0; k < std::size(kResultKinds); ++k) {
    if (kResultKinds[k].kind != k) return false;
  }
  return std::size(kResultKinds) == kResultKindCount;
}
static_assert(RowsInKindOrder(), "one row per result kind, at the kind's index");

}  // namespace

void CTorvexHostParser::FormatResultData(ScpiParsedCommand& command, CTorvexHost& client, std::uint32_t kind,
                                         std::uint32_t count, std::uint32_t decimals, CScpiStatus& status) {
  (void)client;
  try {
    ResultOutput out{command, status, RepliesInText(), count, decimals, {}, false};
    if (!g_AcqStarted.load()) throw eSCPIErrorEvent{kScpiErrorHardwareError};
    if (kind >= std::size(kResultKinds)) throw eSCPIErrorEvent{kScpiErrorFirmwareError};
    const eResultEnd end = kResultKinds[kind].format(out);
    if (end == eResultEnd::Nothing) return;
    // Binary mode: one block of what was available.
    if (!out.text && end == eResultEnd::Block) AppendBlock(command, out.block);
    if (out.shortfall) DataNotAllAvailable();
  } catch (const eSCPIErrorEvent& event) {
    status.PushError(event.row, true);
  }
}

}  // namespace Torvex
