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

}  // namespace

void CTorvexHostParser::FormatResultData(ScpiParsedCommand& command, CTorvexHost& client, std::uint32_t kind,
                                         std::uint32_t count, std::uint32_t decimals, CScpiStatus& status) {
  (void)client;
  try {
    std::string format;
    if (g_node_host_if_parameters_format != g_node_none) {
      CRecursiveLockGuard lock(g_ParameterTreeLock);
      format = g_node_host_if_parameters_format->GetStringAttribute(eAttrValue);
    }
    const bool text = format == "ASCii";
    if (!g_AcqStarted.load()) throw eSCPIErrorEvent{kScpiErrorHardwareError};

    std::string block;   // binary mode: the data of the block
    bool shortfall = false;
    auto fail = [&]() { throw eSCPIErrorEvent{kScpiErrorDataNotAllAvailable}; };

    switch (kind) {
      case kResultFlux: {
        std::string selectedName;
        if (g_node_units_parms_selected != g_node_none)
          selectedName = g_node_units_parms_selected->GetStringAttribute(eAttrValue);
        const std::uint32_t selected = FindUnit(selectedName);
        for (std::uint32_t k = 0; k < count; ++k) {
          double flux = 0.0;
          std::int32_t unit = 0;
          if (Acq::GetFlux(k, &flux) != 0 || Acq::GetFluxUnit(k, &unit) != 0) {
            shortfall = true;
            break;
          }
          const int converted = ConvertUnits(flux, static_cast<std::uint32_t>(unit), selected, 0.0);
          if (converted != kUnitOk) {
            throw eSCPIErrorEvent{converted == kUnitNoCurrentProbe ? static_cast<std::uint32_t>(kScpiErrorNoSelectedChannel)
                                                                   : static_cast<std::uint32_t>(kScpiErrorFirmwareError)};
          }
          if (text)
            AppendResponse(command, Fixed(flux, decimals) + " " + selectedName, true);
          else
            PutDouble(block, flux);
        }
        break;
      }
      case kResultSigma:
      case kResultUniformity:
        for (std::uint32_t k = 0; k < count; ++k) {
          float value = 0.0f;
          const int result = kind == kResultSigma ? Acq::GetSigma(k, &value) : Acq::GetUniformity(k, &value);
          if (result != 0) {
            shortfall = true;
            break;
          }
          if (text)
            AppendResponse(command, Fixed(value, decimals), true);
          else
            PutFloat(block, value);
        }
        break;
      case kResultChannel: {
        std::vector<CTorvexChannel> channels;
        for (std::uint32_t k = 0; k < count; ++k) {
          CTorvexChannel channel;
          if (Acq::GetChannel(k, &channel) != 0) {
            shortfall = true;
            break;
          }
          channels.push_back(channel);
        }
        if (text) {
          if (!channels.empty()) AppendResponse(command, ChannelText(channels), true);
        } else {
          const std::string whole = ChannelListToBlock(channels);
          if (whole.empty()) fail();
          AppendResponse(command, whole, true);
        }
        break;
      }
      case kResultTimestamp:
        for (std::uint32_t k = 0; k < count; ++k) {
          std::uint64_t stamp = 0;
          if (Acq::GetTimestamp(k, &stamp) != 0) {
            shortfall = true;
            break;
          }
          if (text)
            AppendResponse(command, FormatText("%llu", static_cast<unsigned long long>(stamp)), true);
          else
            PutU64(block, stamp);
        }
        break;
      case kResultIfFrequency:
      case kResultRfFrequency: {
        double frequency = 0.0;
        const int result = kind == kResultIfFrequency ? Acq::GetIfFrequency(&frequency) : Acq::GetRfFrequency(&frequency);
        if (result != 0) fail();
        if (text)
          AppendResponse(command, Fixed(frequency, decimals) + " HZ", true);
        else
          PutDouble(block, frequency);
        break;
      }
      case kResultSearchProgress: {
        std::uint16_t percent = 0;
        if (Acq::GetSearchProgress(&percent) != 0) fail();
        if (text)
          AppendResponse(command, StreamText(percent) + " %", true);
        else
          PutU16(block, percent);
        break;
      }
      case kResultRelaxationTime: {
        float time = 0.0f;
        if (Acq::GetRelaxationTime(&time) != 0) fail();
        if (text)
          AppendResponse(command, Fixed(time, decimals) + " S", true);
        else
          PutFloat(block, time);
        break;
      }
      case kResultNmrSignal:
      case kResultFftBuffer:
      case kResultFit: {
        float scalar = 0.0f;
        int result = 0;
        if (kind == kResultNmrSignal) result = Acq::GetNmrSignalSamplePeriod(&scalar);
        else if (kind == kResultFftBuffer) result = Acq::GetFftBufferResolution(&scalar);
        else result = Acq::GetFitResidue(&scalar);
        if (result != 0) fail();
        const std::vector<float> data =
            kind == kResultNmrSignal ? ReadArray(&Acq::GetNmrSignal, g_IntermediateResults.nmrSignal, count, shortfall)
            : kind == kResultFftBuffer ? ReadArray(&Acq::GetFftBuffer, g_IntermediateResults.fftBuffer, count, shortfall)
                                       : ReadArray(&Acq::GetFitCoefficients, g_IntermediateResults.fitCoefficients,
                                                   count, shortfall);
        if (data.empty()) {
          NoArrayElements(count, status);
          return;
        }
        if (text) {
          AppendResponse(command, StreamText(scalar) + (kind == kResultFftBuffer ? " HZ" : ""), true);
          AppendResponse(command, JoinNumbers(data.data(), data.size(), ","), true);
        } else {
          PutFloat(block, scalar);
          for (float value : data) PutFloat(block, value);
        }
        break;
      }
      case kResultPeakSpectrum: {
        float resolution = 0.0f;
        float centre = 0.0f;
        if (Acq::GetPeakSpectrumResolution(&resolution) != 0 || Acq::GetPeakSpectrumCenterFrequency(&centre) != 0)
          fail();
        const std::vector<float> data =
            ReadArray(&Acq::GetPeakSpectrum, g_IntermediateResults.peakSpectrum, count, shortfall);
        if (data.empty()) {
          NoArrayElements(count, status);
          return;
        }
        if (text) {
          AppendResponse(command, StreamText(resolution) + " HZ", true);
          AppendResponse(command, StreamText(centre) + " HZ", true);
          AppendResponse(command, JoinNumbers(data.data(), data.size(), ","), true);
        } else {
          PutFloat(block, resolution);
          PutFloat(block, centre);
          for (float value : data) PutFloat(block, value);
        }
        break;
      }
      default:
        throw eSCPIErrorEvent{kScpiErrorFirmwareError};
    }
    // Binary mode: one block of what was available (kinds other than the channel list).
    if (!text && kind != kResultChannel) AppendBlock(command, block);
    if (shortfall) fail();
  } catch (const eSCPIErrorEvent& event) {
    status.PushError(event.row, true);
  }
}

}  // namespace Torvex
