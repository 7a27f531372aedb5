#include "peripherals/ProbeXml.h"

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <memory>
#include <new>

#include "core/CLogger.h"
#include "core/eError.h"
#include "platform/io.h"

namespace Torvex {

ProbeXmlRecord g_ProbeXmlRecord;

namespace {

constexpr std::size_t kChunkSize = 1024;
constexpr std::uint32_t kMaxPoints = 128;

enum class eTarget { Curve, U16, Double, U8 };

struct ElementRow {
  const char* name;
  const char* typeTag;
  eTarget kind;
  std::size_t offset;  // of the field in ProbeXmlRecord
};

#define PROBE_XML_ROW(field, tag, kind) \
  { #field, tag, eTarget::kind, offsetof(ProbeXmlRecord, field) }
constexpr ElementRow kElements[] = {
    PROBE_XML_ROW(StructVersion, "u16", U16),
    PROBE_XML_ROW(MinFreq, "lf", Double),
    PROBE_XML_ROW(MaxFreq, "lf", Double),
    PROBE_XML_ROW(MinIF, "lf", Double),
    PROBE_XML_ROW(MaxIF, "lf", Double),
    PROBE_XML_ROW(FreqMultiplier, "lf", Double),
    PROBE_XML_ROW(GyroRatio, "lf", Double),
    PROBE_XML_ROW(PulsePeriod, "lf", Double),
    PROBE_XML_ROW(T2, "lf", Double),
    PROBE_XML_ROW(SampleLength, "lf", Double),
    PROBE_XML_ROW(DeadTime, "u8", U8),
    PROBE_XML_ROW(NoiseLevelCurve, "hu", Curve),
    PROBE_XML_ROW(TuningCurve, "hu", Curve),
    PROBE_XML_ROW(MatchingCurve, "hu", Curve),
    PROBE_XML_ROW(PulseWidthCurve, "hu", Curve),
    PROBE_XML_ROW(FreqStepCurve, "hu", Curve),
};
#undef PROBE_XML_ROW
static_assert(std::size(kElements) == 16);

const ElementRow* FindElement(const char* name) {
  for (const ElementRow& row : kElements) {
    if (std::strcmp(row.name, name) == 0) return &row;
  }
  return nullptr;
}

// A decimal integer, saturated to [0, max]; text that is no number gives 0.
unsigned long ReadUnsigned(const char* text, unsigned long max) {
  char* end = nullptr;
  errno = 0;
  const long long value = std::strtoll(text, &end, 10);
  if (end == text || value < 0) return 0;
  if (errno == ERANGE || static_cast<unsigned long long>(value) > max) return max;
  return static_cast<unsigned long>(value);
}

// A description file has no use for entities: any entity declaration (general or parameter, internal
// or external) ends the parse as a refusal, so that nothing is ever expanded or fetched. A document type
// declaration without entities is accepted like the rest of well-formed XML.
void XMLCALL OnProbeXmlEntityDecl(void* data, const XML_Char*, int, const XML_Char*, int, const XML_Char*,
                                  const XML_Char*, const XML_Char*, const XML_Char*) {
  XML_StopParser(static_cast<ProbeXmlParseState*>(data)->parser, XML_FALSE);
}

struct ParserFree {
  void operator()(XML_Parser parser) const { XML_ParserFree(parser); }
};
struct FileClose {
  void operator()(std::FILE* file) const { std::fclose(file); }
};

}  // namespace

void XMLCALL OnProbeXmlStartElement(void* data, const XML_Char* name, const XML_Char** attributes) {
  auto* state = static_cast<ProbeXmlParseState*>(data);
  state->textLength = 0;
  state->text[0] = '\0';
  state->active = false;
  state->isCurve = false;
  state->target = nullptr;
  state->points = attributes[0] != nullptr ? static_cast<std::uint32_t>(ReadUnsigned(attributes[1], kMaxPoints)) : 0;

  const ElementRow* row = FindElement(name);
  if (row == nullptr) return;
  auto* base = reinterpret_cast<unsigned char*>(state->record);
  state->typeTag = row->typeTag;
  if (row->kind == eTarget::Curve) {
    // Only curves take a point list; their count is the first attribute, at most 128.
    auto* curve = reinterpret_cast<ProbeXmlCurve*>(base + row->offset);
    curve->count = static_cast<std::uint16_t>(state->points);
    state->target = curve->points;
    state->isCurve = true;
  } else {
    state->target = base + row->offset;
  }
  state->active = true;
}

void XMLCALL OnProbeXmlCharacterData(void* data, const XML_Char* text, int length) {
  auto* state = static_cast<ProbeXmlParseState*>(data);
  if (!state->active || length <= 0) return;
  // At most 512 characters are kept; the rest of a longer text is dropped.
  const std::size_t room = ProbeXmlParseState::kTextCapacity - state->textLength;
  const std::size_t n = std::min(room, static_cast<std::size_t>(length));
  std::memcpy(state->text + state->textLength, text, n);
  state->textLength += n;
  state->text[state->textLength] = '\0';
}

void XMLCALL OnProbeXmlEndElement(void* data, const XML_Char*) {
  auto* state = static_cast<ProbeXmlParseState*>(data);
  if (!state->active) return;
  state->text[state->textLength] = '\0';
  if (state->isCurve) {
    auto* points = static_cast<std::uint16_t*>(state->target);
    const char* piece = state->text;
    for (std::uint32_t i = 0; i < state->points && piece != nullptr; ++i) {
      points[i] = static_cast<std::uint16_t>(ReadUnsigned(piece, 0xFFFF));
      piece = std::strchr(piece, ',');
      if (piece != nullptr) ++piece;
    }
  } else if (std::strcmp(state->typeTag, "u16") == 0) {
    *static_cast<std::uint16_t*>(state->target) = static_cast<std::uint16_t>(ReadUnsigned(state->text, 0xFFFF));
  } else if (std::strcmp(state->typeTag, "u8") == 0) {
    *static_cast<std::uint8_t*>(state->target) = static_cast<std::uint8_t>(ReadUnsigned(state->text, 0xFF));
  } else if (std::strcmp(state->typeTag, "lf") == 0) {
    *static_cast<double*>(state->target) = std::strtod(state->text, nullptr);
  }
  state->textLength = 0;
  state->text[0] = '\0';
  state->active = false;
}

bool ProbeXmlExists() {
  std::FILE* file = platform::fopen(kProbeXmlPath, "rb");
  if (file == nullptr) return false;
  std::fclose(file);
  return true;
}

int LoadProbeXmlFile(const char* path, ProbeXmlRecord& record) {
  std::unique_ptr<std::FILE, FileClose> file(platform::fopen(path, "rb"));
  if (file == nullptr) return eCannotOpenFile;
  std::unique_ptr<XML_ParserStruct, ParserFree> parser(XML_ParserCreate(nullptr));
  if (parser == nullptr) return eCannotOpenFile;
  // The record is filled in a copy and taken only when the whole file was accepted.
  std::unique_ptr<ProbeXmlParseState> state(new (std::nothrow) ProbeXmlParseState);
  std::unique_ptr<ProbeXmlRecord> parsed(new (std::nothrow) ProbeXmlRecord);
  std::unique_ptr<char[]> buffer(new (std::nothrow) char[kChunkSize]);
  if (state == nullptr || parsed == nullptr || buffer == nullptr) return eUnforeseen;
  state->record = parsed.get();
  state->parser = parser.get();
  XML_SetUserData(parser.get(), state.get());
  XML_SetElementHandler(parser.get(), &OnProbeXmlStartElement, &OnProbeXmlEndElement);
  XML_SetCharacterDataHandler(parser.get(), &OnProbeXmlCharacterData);
  XML_SetEntityDeclHandler(parser.get(), &OnProbeXmlEntityDecl);

  bool accepted = true;
  for (;;) {
    const std::size_t n = std::fread(buffer.get(), 1, kChunkSize, file.get());
    if (n < kChunkSize && std::ferror(file.get())) {
      accepted = false;
      break;
    }
    const bool last = n < kChunkSize;
    if (XML_Parse(parser.get(), buffer.get(), static_cast<int>(n), last ? XML_TRUE : XML_FALSE) != XML_STATUS_OK) {
      accepted = false;
      break;
    }
    if (last) break;
  }
  parser.reset();
  if (accepted && parsed->StructVersion == 1) {
    record = *parsed;
    return eSuccess;
  }

  g_Logger.Printf(
      "THE GIVEN XML FILE IS CORRUPTED OR CONTAINS A VERSION OF PARAMETERS THAT IS NOT HANDLED BY "
      "THIS FIRMWARE!\n");
  file.reset();  // closed before it is removed
  if (platform::remove(path) != 0) std::fprintf(stderr, "%s: %s\n", "Error deleting file", std::strerror(errno));
  return eNotWellFormed;
}

int LoadProbeXml() { return LoadProbeXmlFile(kProbeXmlPath, g_ProbeXmlRecord); }

}  // namespace Torvex
