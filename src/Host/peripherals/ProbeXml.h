// The probe description file "/yaffs/user/probe.xml": when it exists at start-up and loads, every
// probe takes its physical information from it instead of its own memory.
//
// LoadProbeXml runs once, on main during the peripheral start-up, and is the only writer of
// g_ProbeXmlRecord; probes read the record afterwards (under g_TopologyLock) when g_ProbeInfoSource
// is 0. Elements are recognised by name wherever they stand; a curve element's first attribute gives
// its point count (at most 128 kept), its text the points separated by ",". Text beyond 512
// characters in one element is dropped.
#pragma once

#include <cstdint>

#include <expat.h>

namespace Torvex {

struct ProbeXmlCurve {
  std::uint16_t count = 0;
  std::uint16_t points[128] = {};
};

struct ProbeXmlRecord {
  std::uint16_t StructVersion = 0;
  double MinFreq = 0;
  double MaxFreq = 0;
  double MinIF = 0;
  double MaxIF = 0;
  double FreqMultiplier = 0;
  double GyroRatio = 0;
  double PulsePeriod = 0;
  double T2 = 0;
  double SampleLength = 0;
  std::uint8_t DeadTime = 0;
  ProbeXmlCurve NoiseLevelCurve;
  ProbeXmlCurve TuningCurve;
  ProbeXmlCurve MatchingCurve;
  ProbeXmlCurve PulseWidthCurve;
  ProbeXmlCurve FreqStepCurve;
};

extern ProbeXmlRecord g_ProbeXmlRecord;

inline constexpr const char* kProbeXmlPath = "/yaffs/user/probe.xml";

// Parser user data.
struct ProbeXmlParseState {
  static constexpr std::size_t kTextCapacity = 512;
  char text[kTextCapacity + 1] = {};
  std::size_t textLength = 0;
  void* target = nullptr;
  ProbeXmlRecord* record = nullptr;
  std::uint32_t points = 0;
  const char* typeTag = nullptr;
  bool active = false;
  bool isCurve = false;
  XML_Parser parser = nullptr;
};

// True when the file can be opened for reading.
bool ProbeXmlExists();

// Reads and parses the file into g_ProbeXmlRecord: 0 when it is well-formed with StructVersion 1;
// 9 the file or the parser cannot be opened or created; 47 no memory; 10 not well-formed, an entity
// declaration, or another StructVersion: the file is then closed and deleted, and the refusal written to
// the log.
int LoadProbeXml();

// Same, from a firmware path into `record` (for tests and the fuzz target).
int LoadProbeXmlFile(const char* path, ProbeXmlRecord& record);

// The expat handlers (user data: ProbeXmlParseState).
void XMLCALL OnProbeXmlStartElement(void* data, const XML_Char* name, const XML_Char** attributes);
void XMLCALL OnProbeXmlEndElement(void* data, const XML_Char* name);
void XMLCALL OnProbeXmlCharacterData(void* data, const XML_Char* text, int length);

}  // namespace Torvex
