// The three tables of the SCPI command set, made at compile time from the row list
// (TORVEX_SCPI_COMMAND_ROWS, scpi_command_rows.h): the named parameter slots and node pairs the rows
// use, the rows as the scpi library needs them, their checks, and kScpiCommandPatterns,
// kScpiParameterSpecs and kScpiCommandAttributes.
#include "scpi/scpi_command_table.h"

#include <iterator>
#include <utility>

#include "status/ScpiStatusBitRows.h"
#include "tree/BoundParameterNodes.h"

namespace Torvex {
namespace {

// ---- Descriptors ------------------------------------------------------------------------------

// Unit classes a field value may be given in (tesla, ppm, proton hertz, hertz).
constexpr std::uint32_t kFieldClasses[] = {kScpiUnitTesla, kScpiUnitPpm, kScpiUnitProtonHertz, kScpiUnitHertz,
                                           kScpiUnitListEnd};
// The ppm reference cannot be given in ppm.
constexpr std::uint32_t kPpmReferenceClasses[] = {kScpiUnitTesla, kScpiUnitProtonHertz, kScpiUnitHertz,
                                                  kScpiUnitListEnd};

constexpr ScpiNumericDescriptor kPlainNumber{kScpiUnitNone, nullptr, 0};
constexpr ScpiNumericDescriptor kVoltNumber{kScpiUnitVolt, nullptr, 0};
constexpr ScpiNumericDescriptor kHertzNumber{kScpiUnitHertz, nullptr, 0};
constexpr ScpiNumericDescriptor kSecondNumber{kScpiUnitSecond, nullptr, 0};
constexpr ScpiNumericDescriptor kFieldNumber{kScpiUnitNone, kFieldClasses, 0};
constexpr ScpiNumericDescriptor kTeslaNumber{kScpiUnitTesla, kFieldClasses, 0};
constexpr ScpiNumericDescriptor kPpmReferenceNumber{kScpiUnitNone, kPpmReferenceClasses, 0};

constexpr const char* kMinMaxDef = "MINimum|MAXimum|DEFault";

constexpr ScpiChoiceDescriptor Choice(const char* list) {
  return {list, kScpiNoDefaultIndex, kScpiAlternativeNone, nullptr};
}
constexpr ScpiChoiceDescriptor ChoiceOrNumber(const char* list, const ScpiNumericDescriptor& number) {
  return {list, kScpiNoDefaultIndex, kScpiAlternativeNumber, &number};
}

constexpr ScpiChoiceDescriptor kMinMaxDefChoice = Choice(kMinMaxDef);
constexpr ScpiChoiceDescriptor kMinMaxDefOrPlain = ChoiceOrNumber(kMinMaxDef, kPlainNumber);
constexpr ScpiChoiceDescriptor kMinMaxDefOrVoltChoice = ChoiceOrNumber(kMinMaxDef, kVoltNumber);
constexpr ScpiChoiceDescriptor kMinMaxDefOrHertzChoice = ChoiceOrNumber(kMinMaxDef, kHertzNumber);
constexpr ScpiChoiceDescriptor kMinMaxDefOrSecondChoice = ChoiceOrNumber(kMinMaxDef, kSecondNumber);
constexpr ScpiChoiceDescriptor kMinMaxDefOrFieldChoice = ChoiceOrNumber(kMinMaxDef, kFieldNumber);
constexpr ScpiChoiceDescriptor kMinMaxDefOrTeslaChoice = ChoiceOrNumber(kMinMaxDef, kTeslaNumber);
constexpr ScpiChoiceDescriptor kMinMaxDefOrPpmReferenceChoice = ChoiceOrNumber(kMinMaxDef, kPpmReferenceNumber);
constexpr ScpiChoiceDescriptor kMinMaxInfDefOrSecondChoice =
    ChoiceOrNumber("MINimum|MAXimum|INFinity|DEFault", kSecondNumber);
constexpr ScpiChoiceDescriptor kDefaultChoice = Choice("DEFault");
constexpr ScpiChoiceDescriptor kDefaultOrBooleanChoice{"DEFault", kScpiNoDefaultIndex, kScpiAlternativeBoolean,
                                                       nullptr};
constexpr ScpiChoiceDescriptor kAveragingTypeChoice = Choice("EXPonential|MOVing|REPeat");
constexpr ScpiChoiceDescriptor kAutoManualChoice = Choice("AUTO|MANual");
constexpr ScpiChoiceDescriptor kSearchModeChoice = Choice("AUTO|CUSTom|MANual");
constexpr ScpiChoiceDescriptor kDataFormatChoice = Choice("ASCii|INTeger");
constexpr ScpiChoiceDescriptor kClockSourceChoice = Choice("INTernal|EXTernal");
constexpr ScpiChoiceDescriptor kSettingsGroupChoice = Choice("ALL|COMMunication|MEASure|TRIGger|REFClk|UNITs");
constexpr ScpiChoiceDescriptor kPulseShapeChoice = Choice("DC|PULSe|DEFault");
constexpr ScpiChoiceDescriptor kPolarityChoice = Choice("NORMal|INVerted");
constexpr ScpiChoiceDescriptor kSlopeChoice = Choice("POSitive|NEGative|EITHer");
constexpr ScpiChoiceDescriptor kTriggerSourceChoice = Choice("IMMediate|TIMer|BUS|EXTernal|DEFault");
constexpr ScpiChoiceDescriptor kUnitChoiceList =
    Choice("T|MT|UT|NT|GAUSs|KGAUss|MGAUss|UGAUss|PPM|HZP|KHZP|MAHZP|GHZP|HZ|KHZ|MAHZ|GHZ|DEFault");

// Channel addresses: range check only, 1 to 6 dimensions, values 1 to 255.
constexpr ScpiChannelListDescriptor kChannels{kScpiListRangeCheck, 1, 6, 1, 255};

// ---- Parameter slots ----------------------------------------------------------------------------

constexpr ScpiParameterSpec Number(const ScpiNumericDescriptor& d, std::uint32_t flags = 0) {
  ScpiParameterSpec s;
  s.flags = flags;
  s.type = kScpiTypeNumber;
  s.numeric = &d;
  return s;
}
constexpr ScpiParameterSpec ChoiceSlot(const ScpiChoiceDescriptor& d, std::uint32_t flags = 0) {
  ScpiParameterSpec s;
  s.flags = flags;
  s.type = kScpiTypeChoice;
  s.choice = &d;
  return s;
}
constexpr ScpiParameterSpec Plain(std::uint32_t type, std::uint32_t flags = 0) {
  ScpiParameterSpec s;
  s.flags = flags;
  s.type = type;
  return s;
}
constexpr ScpiParameterSpec ChannelListSlot(std::uint32_t flags = 0) {
  ScpiParameterSpec s;
  s.flags = flags;
  s.type = kScpiTypeChannelList;
  s.channelList = &kChannels;
  return s;
}

constexpr std::uint32_t kOpt = kScpiSlotOptional;

constexpr ScpiParameterSpecRow kNoParameters{};
constexpr ScpiParameterSpecRow kNumber{Number(kPlainNumber)};
constexpr ScpiParameterSpecRow kText{Plain(kScpiTypeText)};
constexpr ScpiParameterSpecRow kQuotedString{Plain(kScpiTypeQuotedString)};
constexpr ScpiParameterSpecRow kBlock{Plain(kScpiTypeBlock)};
constexpr ScpiParameterSpecRow kChannelList{ChannelListSlot()};
constexpr ScpiParameterSpecRow kOptionalMinMaxDef{ChoiceSlot(kMinMaxDefChoice, kOpt)};
constexpr ScpiParameterSpecRow kMinMaxDefOrNumber{ChoiceSlot(kMinMaxDefOrPlain)};
constexpr ScpiParameterSpecRow kOptionalMinMaxDefOrNumber{ChoiceSlot(kMinMaxDefOrPlain, kOpt)};
constexpr ScpiParameterSpecRow kCountAndDecimals{ChoiceSlot(kMinMaxDefOrPlain), ChoiceSlot(kMinMaxDefOrPlain, kOpt)};
constexpr ScpiParameterSpecRow kMinMaxDefOrVolt{ChoiceSlot(kMinMaxDefOrVoltChoice)};
constexpr ScpiParameterSpecRow kMinMaxDefOrHertz{ChoiceSlot(kMinMaxDefOrHertzChoice)};
constexpr ScpiParameterSpecRow kMinMaxDefOrSecond{ChoiceSlot(kMinMaxDefOrSecondChoice)};
constexpr ScpiParameterSpecRow kMinMaxDefOrField{ChoiceSlot(kMinMaxDefOrFieldChoice)};
constexpr ScpiParameterSpecRow kMinMaxDefOrTesla{ChoiceSlot(kMinMaxDefOrTeslaChoice)};
constexpr ScpiParameterSpecRow kMinMaxDefOrPpmReference{ChoiceSlot(kMinMaxDefOrPpmReferenceChoice)};
constexpr ScpiParameterSpecRow kMinMaxInfDefOrSecond{ChoiceSlot(kMinMaxInfDefOrSecondChoice)};
constexpr ScpiParameterSpecRow kOptionalDefault{ChoiceSlot(kDefaultChoice, kOpt)};
constexpr ScpiParameterSpecRow kDefaultOrBoolean{ChoiceSlot(kDefaultOrBooleanChoice)};
constexpr ScpiParameterSpecRow kAveragingType{ChoiceSlot(kAveragingTypeChoice)};
constexpr ScpiParameterSpecRow kAutoManual{ChoiceSlot(kAutoManualChoice)};
constexpr ScpiParameterSpecRow kSearchMode{ChoiceSlot(kSearchModeChoice)};
constexpr ScpiParameterSpecRow kDataFormat{ChoiceSlot(kDataFormatChoice)};
constexpr ScpiParameterSpecRow kClockSource{ChoiceSlot(kClockSourceChoice)};
constexpr ScpiParameterSpecRow kPulseShape{ChoiceSlot(kPulseShapeChoice)};
constexpr ScpiParameterSpecRow kPolarity{ChoiceSlot(kPolarityChoice)};
constexpr ScpiParameterSpecRow kSlope{ChoiceSlot(kSlopeChoice)};
constexpr ScpiParameterSpecRow kTriggerSource{ChoiceSlot(kTriggerSourceChoice)};
constexpr ScpiParameterSpecRow kUnitChoice{ChoiceSlot(kUnitChoiceList)};
// MEASure? and READ?: expected value, decimals, channel list, all optional; the array forms first
// take a count.
constexpr ScpiParameterSpecRow kMeasure{Number(kFieldNumber, kOpt), ChoiceSlot(kMinMaxDefOrPlain, kOpt),
                                        ChannelListSlot(kOpt)};
constexpr ScpiParameterSpecRow kMeasureArray{ChoiceSlot(kMinMaxDefOrPlain), Number(kFieldNumber, kOpt),
                                             ChoiceSlot(kMinMaxDefOrPlain, kOpt), ChannelListSlot(kOpt)};
// MMEMory: file name and data; settings-group number and file; number, file and group.
constexpr ScpiParameterSpecRow kFileData{Plain(kScpiTypeQuotedString), Plain(kScpiTypeBlock)};
constexpr ScpiParameterSpecRow kLoadSettings{Number(kPlainNumber), Plain(kScpiTypeQuotedString)};
constexpr ScpiParameterSpecRow kStoreSettings{Number(kPlainNumber), Plain(kScpiTypeQuotedString),
                                              ChoiceSlot(kSettingsGroupChoice)};

// ---- Bound nodes of a row -------------------------------------------------------------------------

// The node for suffix 1 and the node for suffix 2. A row names one bound pointer (the node for every
// suffix is then that one for suffix 1 and none for suffix 2) or a named pair below.
struct ScpiNodePair {
  constexpr ScpiNodePair(CParameterNode* const& node)  // implicit: a row names its single node directly
      : suffix1(node), suffix2(g_node_none) {}
  constexpr ScpiNodePair(CParameterNode* const& one, CParameterNode* const& two) : suffix1(one), suffix2(two) {}
  CParameterNode* const& suffix1;
  CParameterNode* const& suffix2;
};

// AVERage1 is the signal averaging, AVERage2 the measurement averaging.
constexpr ScpiNodePair kAveragingCountNodes{g_node_measure_parms_averaging_signal_count,
                                            g_node_measure_parms_averaging_measurement_count};
constexpr ScpiNodePair kAveragingStateNodes{g_node_measure_parms_averaging_signal_active,
                                            g_node_measure_parms_averaging_measurement_active};
constexpr ScpiNodePair kAveragingTypeNodes{g_node_measure_parms_averaging_signal_type,
                                           g_node_measure_parms_averaging_measurement_type};

// ---- The command list -----------------------------------------------------------------------------

using namespace scpi_row;

// One row of TORVEX_SCPI_COMMAND_ROWS as the scpi library needs it (the handler column is the host's).
struct ScpiCommandDefinition {
  const char* name;
  const char* pattern;
  ScpiParameterSpecRow slots;
  Lock lock;
  ScpiRefusalKind refusalKind;
  ScpiNodePair nodes;
  const char* unit;
  Flux flux;
  eStatusBitRow statusRow;
  Execution execution;
};

#define TORVEX_SCPI_COMMAND_DEFINITION(name, pattern, slots, lock, refusal, nodes, unit, flux, row, execution, \
                                       handler) \
  ScpiCommandDefinition{#name, pattern, slots, lock, refusal, nodes, unit, flux, row, execution},

constexpr ScpiCommandDefinition kCommands[] = {TORVEX_SCPI_COMMAND_ROWS(TORVEX_SCPI_COMMAND_DEFINITION)};

#undef TORVEX_SCPI_COMMAND_DEFINITION

// ---- Compile-time checks of the list --------------------------------------------------------------

constexpr std::size_t Length(const char* s) {
  std::size_t n = 0;
  while (s[n] != '\0') ++n;
  return n;
}

constexpr bool IsQuery(const char* pattern) {
  const std::size_t n = Length(pattern);
  return n > 0 && pattern[n - 1] == '?';
}

constexpr bool EndsWith(const char* text, const char* end) {
  const std::size_t n = Length(text);
  const std::size_t m = Length(end);
  if (m > n) return false;
  for (std::size_t i = 0; i < m; ++i) {
    if (text[n - m + i] != end[i]) return false;
  }
  return true;
}

// Optional parts are not nested and always closed; at most one numeric suffix.
constexpr bool IsWellFormedPattern(const char* pattern) {
  bool open = false;
  int suffixes = 0;
  for (const char* p = pattern; *p != '\0'; ++p) {
    if (*p == '[') {
      if (open) return false;
      open = true;
    } else if (*p == ']') {
      if (!open) return false;
      open = false;
    } else if (*p == '#') {
      ++suffixes;
    }
  }
  return !open && suffixes <= 1 && pattern[0] != '\0';
}

// Slots are filled from the front, and a mandatory slot never follows an optional one.
constexpr bool AreWellFormedSlots(const ScpiParameterSpecRow& slots) {
  bool ended = false;
  bool optionalSeen = false;
  for (const ScpiParameterSpec& s : slots) {
    if (s.type == kScpiTypeNone) {
      ended = true;
      continue;
    }
    if (ended) return false;
    const bool optional = (s.flags & kScpiSlotOptional) != 0;
    if (optionalSeen && !optional) return false;
    optionalSeen = optionalSeen || optional;
  }
  return true;
}

constexpr bool CheckCommands() {
  for (const ScpiCommandDefinition& c : kCommands) {
    if (!IsWellFormedPattern(c.pattern) || Length(c.pattern) >= kScpiMaxPatternLength) return false;
    if (!AreWellFormedSlots(c.slots)) return false;
    // A query is never refused while measuring and sets no settings-group row.
    if (IsQuery(c.pattern) && (c.refusalKind != kScpiRefuseNever || c.statusRow != kStatusRowNone)) return false;
    // The name says whether the command is a query.
    if (IsQuery(c.pattern) != EndsWith(c.name, "Query")) return false;
  }
  return true;
}

constexpr std::size_t CountQueries() {
  std::size_t n = 0;
  for (const ScpiCommandDefinition& c : kCommands) n += IsQuery(c.pattern) ? 1 : 0;
  return n;
}

constexpr std::size_t CountGeneric() {
  std::size_t n = 0;
  for (const ScpiCommandDefinition& c : kCommands) n += c.execution == kGeneric ? 1 : 0;
  return n;
}

static_assert(std::size(kCommands) == kScpiCommandCount, "233 commands");
static_assert(CountQueries() == kScpiQueryCount, "139 queries");
static_assert(CountGeneric() == kScpiGenericCount, "105 generic commands");
static_assert(CheckCommands(), "names, patterns, slots and attribute columns are consistent");
static_assert(kStatusBitRowCount <= 256, "a status row fits the attribute row's status column");

// ---- The three tables -----------------------------------------------------------------------------

template <std::size_t... I>
constexpr std::array<const char*, kScpiCommandCount + 1> MakePatterns(std::index_sequence<I...>) {
  return {kCommands[I].pattern..., ""};
}

template <std::size_t... I>
constexpr std::array<ScpiParameterSpecRow, kScpiCommandCount> MakeSpecs(std::index_sequence<I...>) {
  return {kCommands[I].slots...};
}

constexpr ScpiCommandAttributeRow MakeAttributes(const ScpiCommandDefinition& c) {
  return {static_cast<std::uint8_t>(IsQuery(c.pattern) ? 1 : 0),
          static_cast<std::uint8_t>(c.lock),
          c.refusalKind,
          c.nodes.suffix1,
          c.nodes.suffix2,
          c.unit,
          static_cast<std::uint32_t>(c.flux),
          static_cast<std::uint8_t>(c.statusRow),
          static_cast<std::uint32_t>(c.execution)};
}

template <std::size_t... I>
constexpr std::array<ScpiCommandAttributeRow, kScpiCommandCount> MakeAttributeRows(std::index_sequence<I...>) {
  return {MakeAttributes(kCommands[I])...};
}

}  // namespace

constexpr std::array<const char*, kScpiCommandCount + 1> kScpiCommandPatterns =
    MakePatterns(std::make_index_sequence<kScpiCommandCount>());
constexpr std::array<ScpiParameterSpecRow, kScpiCommandCount> kScpiParameterSpecs =
    MakeSpecs(std::make_index_sequence<kScpiCommandCount>());
constexpr std::array<ScpiCommandAttributeRow, kScpiCommandCount> kScpiCommandAttributes =
    MakeAttributeRows(std::make_index_sequence<kScpiCommandCount>());

std::size_t scpi_count_command_patterns() {
  std::size_t n = 0;
  while (n < kScpiCommandPatterns.size() && kScpiCommandPatterns[n][0] != '\0') ++n;
  return n;
}

}  // namespace Torvex
