// The SCPI command set, one row per command: its header pattern, its four parameter slots and every
// attribute column. kScpiCommandPatterns, kScpiParameterSpecs and kScpiCommandAttributes are all made
// from this one list at compile time, so a command's number is the same in all three.
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

// ---- The command list -----------------------------------------------------------------------------

// A command's query flag is not a column: a command is a query exactly when its pattern ends in '?'.
struct ScpiCommandDefinition {
  const char* pattern;
  ScpiParameterSpecRow slots;
  std::uint8_t allowedWhileLocked;
  ScpiRefusalKind refusalKind;
  CParameterNode* const& nodeSuffix1;
  CParameterNode* const& nodeSuffix2;
  const char* unit;
  std::uint32_t fluxUnit;
  eStatusBitRow statusRow;  // kStatusRowNone, or the settings-group row of the command's group
  std::uint32_t generic;
};

// Columns: pattern, parameter slots, allowed while locked, refusal kind while measuring,
//          node for suffix 1, node for suffix 2, reply unit, flux flag, status row, generic flag.
// The order decides which command a header selects: the first pattern that matches wins.
constexpr ScpiCommandDefinition kCommands[] = {
    /*   0 */ {"*CLS", kNoParameters, 1, kScpiRefuseNever, g_node_none, g_node_none, "", 0, kStatusRowNone, 0},
    /*   1 */ {"*ESE", kNumber, 1, kScpiRefuseNever, g_node_none, g_node_none, "", 0, kStatusRowNone, 0},
    /*   2 */ {"*ESE?", kNoParameters, 1, kScpiRefuseNever, g_node_none, g_node_none, "", 0, kStatusRowNone, 0},
    /*   3 */ {"*ESR?", kNoParameters, 1, kScpiRefuseNever, g_node_none, g_node_none, "", 0, kStatusRowNone, 0},
    /*   4 */ {"*IDN?", kNoParameters, 1, kScpiRefuseNever, g_node_none, g_node_none, "", 0, kStatusRowNone, 0},
    /*   5 */ {"*OPC", kNoParameters, 1, kScpiRefuseNever, g_node_none, g_node_none, "", 0, kStatusRowNone, 0},
    /*   6 */ {"*OPC?", kNoParameters, 1, kScpiRefuseNever, g_node_none, g_node_none, "", 0, kStatusRowNone, 0},
    /*   7 */ {"*RST", kNoParameters, 0, kScpiRefuseNever, g_node_none, g_node_none, "", 0, kStatusRowNone, 0},
    /*   8 */ {"*SRE", kNumber, 1, kScpiRefuseNever, g_node_none, g_node_none, "", 0, kStatusRowNone, 0},
    /*   9 */ {"*SRE?", kNoParameters, 1, kScpiRefuseNever, g_node_none, g_node_none, "", 0, kStatusRowNone, 0},
    /*  10 */ {"*STB?", kNoParameters, 1, kScpiRefuseNever, g_node_none, g_node_none, "", 0, kStatusRowNone, 0},
    /*  11 */ {"*TRG", kNoParameters, 0, kScpiRefuseNever, g_node_none, g_node_none, "", 0, kStatusRowNone, 0},
    /*  12 */ {"*TST?", kNoParameters, 0, kScpiRefuseNever, g_node_none, g_node_none, "", 0, kStatusRowNone, 0},
    /*  13 */ {"*WAI", kNoParameters, 1, kScpiRefuseNever, g_node_none, g_node_none, "", 0, kStatusRowNone, 0},
    /*  14 */ {"SYSTem:ERRor[:NEXT]?", kNoParameters, 1, kScpiRefuseNever, g_node_none, g_node_none, "", 0, kStatusRowNone, 0},
    /*  15 */ {"SYSTem:VERSion?", kNoParameters, 1, kScpiRefuseNever, g_node_none, g_node_none, "", 0, kStatusRowNone, 0},
    /*  16 */ {"SYSTem:HELP:HEADers?", kNoParameters, 1, kScpiRefuseNever, g_node_none, g_node_none, "", 0, kStatusRowNone, 0},
    /*  17 */ {"SYSTem:HELP:SYNTax?", kText, 1, kScpiRefuseNever, g_node_none, g_node_none, "", 0, kStatusRowNone, 0},
    /*  18 */ {"STATus:OPERation[:EVENt]?", kNoParameters, 1, kScpiRefuseNever, g_node_none, g_node_none, "", 0, kStatusRowNone, 0},
    /*  19 */ {"STATus:OPERation:CONDition?", kNoParameters, 1, kScpiRefuseNever, g_node_none, g_node_none, "", 0, kStatusRowNone, 0},
    /*  20 */ {"STATus:OPERation:ENABle?", kNoParameters, 1, kScpiRefuseNever, g_node_none, g_node_none, "", 0, kStatusRowNone, 0},
    /*  21 */ {"STATus:OPERation:ENABle", kNumber, 1, kScpiRefuseNever, g_node_none, g_node_none, "", 0, kStatusRowSettingsGroup1, 0},
    /*  22 */ {"STATus:QUEStionable[:EVENt]?", kNoParameters, 1, kScpiRefuseNever, g_node_none, g_node_none, "", 0, kStatusRowNone, 0},
    /*  23 */ {"STATus:QUEStionable:CONDition?", kNoParameters, 1, kScpiRefuseNever,
               g_node_none, g_node_none, "", 0, kStatusRowNone, 0},
    /*  24 */ {"STATus:QUEStionable:ENABle?", kNoParameters, 1, kScpiRefuseNever, g_node_none, g_node_none, "", 0, kStatusRowNone, 0},
    /*  25 */ {"STATus:QUEStionable:ENABle", kNumber, 1, kScpiRefuseNever, g_node_none, g_node_none, "", 0, kStatusRowSettingsGroup1, 0},
    /*  26 */ {"STATus:PRESet", kNoParameters, 1, kScpiRefuseNever, g_node_none, g_node_none, "", 0, kStatusRowNone, 0},
    /*  27 */ {"ABORt", kNoParameters, 0, kScpiRefuseNever, g_node_none, g_node_none, "", 0, kStatusRowNone, 0},
    /*  28 */ {"[CALCulate:]AVERage#:COUNt?", kOptionalMinMaxDef, 1, kScpiRefuseNever,
               g_node_measure_parms_averaging_signal_count, g_node_measure_parms_averaging_measurement_count, "", 0, kStatusRowNone, 1},
    /*  29 */ {"[CALCulate:]AVERage#:COUNt", kMinMaxDefOrNumber, 0, kScpiRefuseAlways,
               g_node_measure_parms_averaging_signal_count, g_node_measure_parms_averaging_measurement_count, "", 0, kStatusRowSettingsGroup11, 1},
    /*  30 */ {"[CALCulate:]AVERage#[:STATe]?", kOptionalDefault, 1, kScpiRefuseNever,
               g_node_measure_parms_averaging_signal_active, g_node_measure_parms_averaging_measurement_active, "", 0, kStatusRowNone, 1},
    /*  31 */ {"[CALCulate:]AVERage#[:STATe]", kDefaultOrBoolean, 0, kScpiRefuseAlways,
               g_node_measure_parms_averaging_signal_active, g_node_measure_parms_averaging_measurement_active, "", 0, kStatusRowSettingsGroup11, 1},
    /*  32 */ {"[CALCulate:]AVERage#:TCONtrol?", kNoParameters, 1, kScpiRefuseNever,
               g_node_measure_parms_averaging_signal_type, g_node_measure_parms_averaging_measurement_type, "", 0, kStatusRowNone, 1},
    /*  33 */ {"[CALCulate:]AVERage#:TCONtrol", kAveragingType, 0, kScpiRefuseAlways,
               g_node_measure_parms_averaging_signal_type, g_node_measure_parms_averaging_measurement_type, "", 0, kStatusRowSettingsGroup11, 1},
    /*  34 */ {"CONFigure?", kNoParameters, 1, kScpiRefuseNever, g_node_none, g_node_none, "", 0, kStatusRowNone, 0},
    /*  35 */ {"CONFigure[:MEASure]:MODE?", kNoParameters, 1, kScpiRefuseNever,
               g_node_measure_parms_measurement_mode, g_node_none, "", 0, kStatusRowNone, 1},
    /*  36 */ {"CONFigure[:MEASure]:MODE", kAutoManual, 0, kScpiRefuseAlways,
               g_node_measure_parms_measurement_mode, g_node_none, "", 0, kStatusRowSettingsGroup4, 1},
    /*  37 */ {"CONFigure[:MEASure]:REJect?", kOptionalDefault, 1, kScpiRefuseNever,
               g_node_measure_parms_measurement_reject, g_node_none, "", 0, kStatusRowNone, 1},
    /*  38 */ {"CONFigure[:MEASure]:REJect", kDefaultOrBoolean, 0, kScpiRefuseAlways,
               g_node_measure_parms_measurement_reject, g_node_none, "", 0, kStatusRowSettingsGroup4, 1},
    /*  39 */ {"CONFigure[:MEASure]:LEVel?", kOptionalMinMaxDef, 1, kScpiRefuseNever,
               g_node_measure_parms_measurement_level, g_node_none, "V", 0, kStatusRowNone, 1},
    /*  40 */ {"CONFigure[:MEASure]:LEVel", kMinMaxDefOrVolt, 0, kScpiRefuseAlways,
               g_node_measure_parms_measurement_level, g_node_none, "V", 0, kStatusRowSettingsGroup4, 1},
    /*  41 */ {"CONFigure[:MEASure]:BANDwidth?", kOptionalMinMaxDef, 1, kScpiRefuseNever,
               g_node_measure_parms_measurement_bandwidth, g_node_none, "HZ", 0, kStatusRowNone, 1},
    /*  42 */ {"CONFigure[:MEASure]:BANDwidth", kMinMaxDefOrHertz, 0, kScpiRefuseAlways,
               g_node_measure_parms_measurement_bandwidth, g_node_none, "HZ", 0, kStatusRowSettingsGroup4, 1},
    /*  43 */ {"CONFigure[:MEASure]:POINts?", kOptionalMinMaxDef, 1, kScpiRefuseNever,
               g_node_measure_parms_measurement_points, g_node_none, "", 0, kStatusRowNone, 1},
    /*  44 */ {"CONFigure[:MEASure]:POINts", kMinMaxDefOrNumber, 0, kScpiRefuseAlways,
               g_node_measure_parms_measurement_points, g_node_none, "", 0, kStatusRowSettingsGroup4, 1},
    /*  45 */ {"CONFigure[:MEASure]:HYSTeresis?", kOptionalMinMaxDef, 1, kScpiRefuseNever,
               g_node_measure_parms_measurement_hysteresis, g_node_none, "", 0, kStatusRowNone, 1},
    /*  46 */ {"CONFigure[:MEASure]:HYSTeresis", kMinMaxDefOrNumber, 0, kScpiRefuseAlways,
               g_node_measure_parms_measurement_hysteresis, g_node_none, "", 0, kStatusRowSettingsGroup4, 1},
    /*  47 */ {"CONFigure:PROBe:MODE?", kNoParameters, 1, kScpiRefuseNever,
               g_node_measure_parms_probe_matching_tuning_mode, g_node_none, "", 0, kStatusRowNone, 1},
    /*  48 */ {"CONFigure:PROBe:MODE", kAutoManual, 0, kScpiRefuseUnlessManualSearch,
               g_node_measure_parms_probe_matching_tuning_mode, g_node_none, "", 0, kStatusRowSettingsGroup4, 1},
    /*  49 */ {"CONFigure:PROBe:MATChing?", kOptionalMinMaxDef, 1, kScpiRefuseNever,
               g_node_measure_parms_probe_matching, g_node_none, "V", 0, kStatusRowNone, 1},
    /*  50 */ {"CONFigure:PROBe:MATChing", kMinMaxDefOrVolt, 0, kScpiRefuseUnlessManualSearch,
               g_node_measure_parms_probe_matching, g_node_none, "V", 0, kStatusRowSettingsGroup4, 1},
    /*  51 */ {"CONFigure:PROBe:TUNing?", kOptionalMinMaxDef, 1, kScpiRefuseNever,
               g_node_measure_parms_probe_tuning, g_node_none, "V", 0, kStatusRowNone, 1},
    /*  52 */ {"CONFigure:PROBe:TUNing", kMinMaxDefOrVolt, 0, kScpiRefuseUnlessManualSearch,
               g_node_measure_parms_probe_tuning, g_node_none, "V", 0, kStatusRowSettingsGroup4, 1},
    /*  53 */ {"CONFigure:SEARch:LEVel?", kOptionalMinMaxDef, 1, kScpiRefuseNever,
               g_node_measure_parms_search_level, g_node_none, "V", 0, kStatusRowNone, 1},
    /*  54 */ {"CONFigure:SEARch:LEVel", kMinMaxDefOrVolt, 0, kScpiRefuseAlways,
               g_node_measure_parms_search_level, g_node_none, "V", 0, kStatusRowSettingsGroup4, 1},
    /*  55 */ {"CONFigure:SEARch:FSTEp?", kOptionalMinMaxDef, 1, kScpiRefuseNever,
               g_node_measure_parms_search_fstep, g_node_none, "Hz", 0, kStatusRowNone, 1},
    /*  56 */ {"CONFigure:SEARch:FSTEp", kMinMaxDefOrHertz, 0, kScpiRefuseAlways,
               g_node_measure_parms_search_fstep, g_node_none, "Hz", 0, kStatusRowSettingsGroup4, 1},
    /*  57 */ {"CONFigure:SEARch:MODE?", kNoParameters, 1, kScpiRefuseNever,
               g_node_measure_parms_search_mode, g_node_none, "", 0, kStatusRowNone, 1},
    /*  58 */ {"CONFigure:SEARch:MODE", kSearchMode, 0, kScpiRefuseUnlessManualSearch, g_node_none, g_node_none, "", 0, kStatusRowNone, 0},
    /*  59 */ {"CONFigure:SEARch[:LIMit]:HIGH?", kOptionalMinMaxDef, 1, kScpiRefuseNever,
               g_node_measure_parms_search_high, g_node_none, "T", 1, kStatusRowNone, 1},
    /*  60 */ {"CONFigure:SEARch[:LIMit]:HIGH", kMinMaxDefOrField, 0, kScpiRefuseAlways,
               g_node_measure_parms_search_high, g_node_none, "T", 1, kStatusRowSettingsGroup4, 0},
    /*  61 */ {"CONFigure:SEARch[:LIMit]:LOW?", kOptionalMinMaxDef, 1, kScpiRefuseNever,
               g_node_measure_parms_search_low, g_node_none, "T", 1, kStatusRowNone, 1},
    /*  62 */ {"CONFigure:SEARch[:LIMit]:LOW", kMinMaxDefOrField, 0, kScpiRefuseAlways,
               g_node_measure_parms_search_low, g_node_none, "T", 1, kStatusRowSettingsGroup4, 0},
    /*  63 */ {"CONFigure:SEARch[:LIMit]:VALue?", kOptionalMinMaxDef, 1, kScpiRefuseNever,
               g_node_measure_parms_search_value, g_node_none, "T", 1, kStatusRowNone, 1},
    /*  64 */ {"CONFigure:SEARch[:LIMit]:VALue", kMinMaxDefOrField, 0, kScpiRefuseUnlessManualSearch,
               g_node_measure_parms_search_value, g_node_none, "T", 1, kStatusRowSettingsGroup4, 1},
    /*  65 */ {"CONFigure:TRACking[:LIMit]:HIGH?", kOptionalMinMaxDef, 1, kScpiRefuseNever,
               g_node_measure_parms_tracking_max_freq, g_node_none, "HZ", 0, kStatusRowNone, 1},
    /*  66 */ {"CONFigure:TRACking[:LIMit]:HIGH", kMinMaxDefOrHertz, 0, kScpiRefuseAlways,
               g_node_measure_parms_tracking_max_freq, g_node_none, "HZ", 0, kStatusRowSettingsGroup4, 0},
    /*  67 */ {"CONFigure:TRACking[:LIMit]:LOW?", kOptionalMinMaxDef, 1, kScpiRefuseNever,
               g_node_measure_parms_tracking_min_freq, g_node_none, "HZ", 0, kStatusRowNone, 1},
    /*  68 */ {"CONFigure:TRACking[:LIMit]:LOW", kMinMaxDefOrHertz, 0, kScpiRefuseAlways,
               g_node_measure_parms_tracking_min_freq, g_node_none, "HZ", 0, kStatusRowSettingsGroup4, 0},
    /*  69 */ {"CONFigure:TRACking:HYSTeresis?", kOptionalMinMaxDef, 1, kScpiRefuseNever,
               g_node_measure_parms_tracking_hysteresis, g_node_none, "", 0, kStatusRowNone, 1},
    /*  70 */ {"CONFigure:TRACking:HYSTeresis", kMinMaxDefOrNumber, 0, kScpiRefuseAlways,
               g_node_measure_parms_tracking_hysteresis, g_node_none, "", 0, kStatusRowSettingsGroup4, 1},
    /*  71 */ {"DIAGnostic:UPGRade[:INITiate]", kNoParameters, 0, kScpiRefuseNever, g_node_none, g_node_none, "", 0, kStatusRowNone, 0},
    /*  72 */ {"FETCh[:SCALar][:FLUX]?", kOptionalMinMaxDefOrNumber, 1, kScpiRefuseNever,
               g_node_none, g_node_none, "T", 1, kStatusRowNone, 0},
    /*  73 */ {"FETCh[:SCALar]:SIGMa?", kOptionalMinMaxDefOrNumber, 1, kScpiRefuseNever,
               g_node_none, g_node_none, "PPM", 0, kStatusRowNone, 0},
    /*  74 */ {"FETCh[:SCALar]:UNIFormity?", kOptionalMinMaxDefOrNumber, 1, kScpiRefuseNever,
               g_node_none, g_node_none, "", 0, kStatusRowNone, 0},
    /*  75 */ {"FETCh[:SCALar]:CHANnel?", kNoParameters, 1, kScpiRefuseNever, g_node_none, g_node_none, "", 0, kStatusRowNone, 0},
    /*  76 */ {"FETCh[:SCALar]:TIMestamp?", kNoParameters, 1, kScpiRefuseNever, g_node_none, g_node_none, "MS", 0, kStatusRowNone, 0},
    /*  77 */ {"FETCh[:SCALar]:IFRequency?", kOptionalMinMaxDefOrNumber, 1, kScpiRefuseNever,
               g_node_none, g_node_none, "HZ", 0, kStatusRowNone, 0},
    /*  78 */ {"FETCh[:SCALar]:RELaxation?", kOptionalMinMaxDefOrNumber, 1, kScpiRefuseNever,
               g_node_none, g_node_none, "S", 0, kStatusRowNone, 0},
    /*  79 */ {"FETCh[:SCALar]:RFFRequency?", kOptionalMinMaxDefOrNumber, 1, kScpiRefuseNever,
               g_node_none, g_node_none, "HZ", 0, kStatusRowNone, 0},
    /*  80 */ {"FETCh[:SCALar]:SPRogress?", kNoParameters, 1, kScpiRefuseNever, g_node_none, g_node_none, "%", 0, kStatusRowNone, 0},
    /*  81 */ {"FETCh:ARRay[:FLUX]?", kCountAndDecimals, 1, kScpiRefuseNever, g_node_none, g_node_none, "T", 1, kStatusRowNone, 0},
    /*  82 */ {"FETCh:ARRay:SIGMa?", kCountAndDecimals, 1, kScpiRefuseNever, g_node_none, g_node_none, "PPM", 0, kStatusRowNone, 0},
    /*  83 */ {"FETCh:ARRay:UNIFormity?", kCountAndDecimals, 1, kScpiRefuseNever, g_node_none, g_node_none, "", 0, kStatusRowNone, 0},
    /*  84 */ {"FETCh:ARRay:CHANnel?", kMinMaxDefOrNumber, 1, kScpiRefuseNever, g_node_none, g_node_none, "", 0, kStatusRowNone, 0},
    /*  85 */ {"FETCh:ARRay:TIMestamp?", kMinMaxDefOrNumber, 1, kScpiRefuseNever, g_node_none, g_node_none, "MS", 0, kStatusRowNone, 0},
    /*  86 */ {"FETCh:ARRay:NMRSignal?", kMinMaxDefOrNumber, 1, kScpiRefuseNever, g_node_none, g_node_none, "", 0, kStatusRowNone, 0},
    /*  87 */ {"FETCh:ARRay:FFTBuffer?", kMinMaxDefOrNumber, 1, kScpiRefuseNever, g_node_none, g_node_none, "", 0, kStatusRowNone, 0},
    /*  88 */ {"FETCh:ARRay:SPECtrum?", kMinMaxDefOrNumber, 1, kScpiRefuseNever, g_node_none, g_node_none, "", 0, kStatusRowNone, 0},
    /*  89 */ {"FETCh:ARRay:FIT?", kMinMaxDefOrNumber, 1, kScpiRefuseNever, g_node_none, g_node_none, "", 0, kStatusRowNone, 0},
    /*  90 */ {"FORMat[:DATA]?", kNoParameters, 1, kScpiRefuseNever,
               g_node_host_if_parameters_format, g_node_none, "", 0, kStatusRowNone, 1},
    /*  91 */ {"FORMat[:DATA]", kDataFormat, 0, kScpiRefuseNever,
               g_node_host_if_parameters_format, g_node_none, "", 0, kStatusRowSettingsGroup12, 1},
    /*  92 */ {"INITiate[:IMMediate][:ALL]", kNoParameters, 0, kScpiRefuseAlways, g_node_none, g_node_none, "", 0, kStatusRowNone, 0},
    /*  93 */ {"INITiate[:IMMediate]:CONTinuous?", kOptionalDefault, 1, kScpiRefuseNever,
               g_node_trigger_parms_trigger_in_continuous, g_node_none, "", 0, kStatusRowNone, 1},
    /*  94 */ {"INITiate[:IMMediate]:CONTinuous", kDefaultOrBoolean, 0, kScpiRefuseNever,
               g_node_trigger_parms_trigger_in_continuous, g_node_none, "", 0, kStatusRowNone, 0},
    /*  95 */ {"INPut:CLOCk[:SOURce]?", kNoParameters, 1, kScpiRefuseNever,
               g_node_ref_clock_parms_mode, g_node_none, "", 0, kStatusRowNone, 1},
    /*  96 */ {"INPut:CLOCk[:SOURce]", kClockSource, 0, kScpiRefuseAlways, g_node_none, g_node_none, "", 0, kStatusRowSettingsGroup6, 0},
    /*  97 */ {"MEASure[:SCALar][:FLUX]?", kMeasure, 0, kScpiRefuseNever, g_node_none, g_node_none, "T", 1, kStatusRowNone, 0},
    /*  98 */ {"MEASure:ARRay[:FLUX]?", kMeasureArray, 0, kScpiRefuseNever, g_node_none, g_node_none, "T", 1, kStatusRowNone, 0},
    /*  99 */ {"MMEMory[:CATalog]?", kNoParameters, 1, kScpiRefuseNever, g_node_none, g_node_none, "", 0, kStatusRowNone, 0},
    /* 100 */ {"MMEMory:DATA?", kQuotedString, 1, kScpiRefuseNever, g_node_none, g_node_none, "", 0, kStatusRowNone, 0},
    /* 101 */ {"MMEMory:DATA", kFileData, 0, kScpiRefuseAlways, g_node_none, g_node_none, "", 0, kStatusRowSettingsGroup3, 0},
    /* 102 */ {"MMEMory:DELete", kQuotedString, 0, kScpiRefuseAlways, g_node_none, g_node_none, "", 0, kStatusRowSettingsGroup3, 0},
    /* 103 */ {"MMEMory:LOAD[:STATe]", kLoadSettings, 0, kScpiRefuseAlways, g_node_none, g_node_none, "", 0, kStatusRowSettingsGroup2, 0},
    /* 104 */ {"MMEMory:STORe[:STATe]", kStoreSettings, 0, kScpiRefuseAlways, g_node_none, g_node_none, "", 0, kStatusRowSettingsGroup3, 0},
    /* 105 */ {"OUTPut[:TRIGger][:STATe]?", kOptionalDefault, 1, kScpiRefuseNever,
               g_node_trigger_parms_trigger_out_state, g_node_none, "", 0, kStatusRowNone, 1},
    /* 106 */ {"OUTPut[:TRIGger][:STATe]", kDefaultOrBoolean, 0, kScpiRefuseAlways,
               g_node_trigger_parms_trigger_out_state, g_node_none, "", 0, kStatusRowSettingsGroup7, 0},
    /* 107 */ {"OUTPut[:TRIGger]:IMMediate", kNoParameters, 0, kScpiRefuseAlways, g_node_none, g_node_none, "", 0, kStatusRowNone, 0},
    /* 108 */ {"OUTPut[:TRIGger]:SHAPe?", kOptionalDefault, 1, kScpiRefuseNever,
               g_node_trigger_parms_trigger_out_shape, g_node_none, "", 0, kStatusRowNone, 1},
    /* 109 */ {"OUTPut[:TRIGger]:SHAPe", kPulseShape, 0, kScpiRefuseAlways,
               g_node_trigger_parms_trigger_out_shape, g_node_none, "", 0, kStatusRowSettingsGroup7, 0},
    /* 110 */ {"OUTPut[:TRIGger]:POLarity?", kOptionalDefault, 1, kScpiRefuseNever,
               g_node_trigger_parms_trigger_out_polarity, g_node_none, "", 0, kStatusRowNone, 1},
    /* 111 */ {"OUTPut[:TRIGger]:POLarity", kPolarity, 0, kScpiRefuseAlways,
               g_node_trigger_parms_trigger_out_polarity, g_node_none, "", 0, kStatusRowSettingsGroup7, 0},
    /* 112 */ {"OUTPut[:TRIGger]:WIDTh?", kOptionalMinMaxDef, 1, kScpiRefuseNever,
               g_node_trigger_parms_trigger_out_width, g_node_none, "S", 0, kStatusRowNone, 1},
    /* 113 */ {"OUTPut[:TRIGger]:WIDTh", kMinMaxInfDefOrSecond, 0, kScpiRefuseAlways,
               g_node_trigger_parms_trigger_out_width, g_node_none, "S", 0, kStatusRowSettingsGroup7, 0},
    /* 114 */ {"OUTPut[:TRIGger]:DELay?", kOptionalMinMaxDef, 1, kScpiRefuseNever,
               g_node_trigger_parms_trigger_out_delay, g_node_none, "S", 0, kStatusRowNone, 1},
    /* 115 */ {"OUTPut[:TRIGger]:DELay", kMinMaxDefOrSecond, 0, kScpiRefuseAlways,
               g_node_trigger_parms_trigger_out_delay, g_node_none, "S", 0, kStatusRowSettingsGroup7, 0},
    /* 116 */ {"READ[:SCALar][:FLUX]?", kMeasure, 0, kScpiRefuseNever, g_node_none, g_node_none, "T", 0, kStatusRowNone, 0},
    /* 117 */ {"READ:ARRay[:FLUX]?", kMeasureArray, 0, kScpiRefuseNever, g_node_none, g_node_none, "T", 0, kStatusRowNone, 0},
    /* 118 */ {"ROUTe:CLOSe", kChannelList, 0, kScpiRefuseAlways, g_node_none, g_node_none, "", 0, kStatusRowSettingsGroup5, 0},
    /* 119 */ {"ROUTe:CLOSe:STATe?", kNoParameters, 1, kScpiRefuseNever, g_node_none, g_node_none, "", 0, kStatusRowNone, 0},
    /* 120 */ {"ROUTe:CLOSe:ACTive?", kNoParameters, 1, kScpiRefuseNever, g_node_none, g_node_none, "", 0, kStatusRowNone, 0},
    /* 121 */ {"ROUTe:PROBe:MODel?", kChannelList, 1, kScpiRefuseNever, g_node_none, g_node_none, "", 0, kStatusRowNone, 0},
    /* 122 */ {"ROUTe:PROBe:SERialno?", kChannelList, 1, kScpiRefuseNever, g_node_none, g_node_none, "", 0, kStatusRowNone, 0},
    /* 123 */ {"ROUTe:PROBe:DESignation?", kChannelList, 1, kScpiRefuseNever, g_node_none, g_node_none, "", 0, kStatusRowNone, 0},
    /* 124 */ {"ROUTe:PROBe:MINimum?", kChannelList, 1, kScpiRefuseNever, g_node_none, g_node_none, "T", 1, kStatusRowNone, 0},
    /* 125 */ {"ROUTe:PROBe:MAXimum?", kChannelList, 1, kScpiRefuseNever, g_node_none, g_node_none, "T", 1, kStatusRowNone, 0},
    /* 126 */ {"ROUTe:PROBe:SCAN?", kNoParameters, 1, kScpiRefuseNever, g_node_none, g_node_none, "", 0, kStatusRowNone, 0},
    /* 127 */ {"ROUTe:PROBe:HALL[:TOTal]?", kNoParameters, 1, kScpiRefuseNever, g_node_none, g_node_none, "T", 1, kStatusRowNone, 0},
    /* 128 */ {"ROUTe:PROBe:HALL:X?", kNoParameters, 1, kScpiRefuseNever, g_node_none, g_node_none, "T", 1, kStatusRowNone, 0},
    /* 129 */ {"ROUTe:PROBe:HALL:Y?", kNoParameters, 1, kScpiRefuseNever, g_node_none, g_node_none, "T", 1, kStatusRowNone, 0},
    /* 130 */ {"ROUTe:PROBe:HALL:Z?", kNoParameters, 1, kScpiRefuseNever, g_node_none, g_node_none, "T", 1, kStatusRowNone, 0},
    /* 131 */ {"ROUTe:PROBe:LOWLevel?", kBlock, 0, kScpiRefuseNever, g_node_none, g_node_none, "", 0, kStatusRowNone, 0},
    /* 132 */ {"[SENSe:]SWEep[:MODE]?", kNoParameters, 1, kScpiRefuseNever,
               g_node_measure_parms_sample_mode, g_node_none, "", 0, kStatusRowNone, 1},
    /* 133 */ {"[SENSe:]SWEep[:MODE]", kAutoManual, 0, kScpiRefuseAlways,
               g_node_measure_parms_sample_mode, g_node_none, "", 0, kStatusRowSettingsGroup8, 1},
    /* 134 */ {"[SENSe:]SWEep:OFFSet:TIME?", kOptionalMinMaxDef, 1, kScpiRefuseNever,
               g_node_measure_parms_sample_offset, g_node_none, "S", 0, kStatusRowNone, 1},
    /* 135 */ {"[SENSe:]SWEep:OFFSet:TIME", kMinMaxDefOrSecond, 0, kScpiRefuseAlways,
               g_node_measure_parms_sample_offset, g_node_none, "S", 0, kStatusRowSettingsGroup8, 1},
    /* 136 */ {"[SENSe:]SWEep:TIME?", kOptionalMinMaxDef, 1, kScpiRefuseNever,
               g_node_measure_parms_sample_length, g_node_none, "S", 0, kStatusRowNone, 1},
    /* 137 */ {"[SENSe:]SWEep:TIME", kMinMaxDefOrSecond, 0, kScpiRefuseAlways,
               g_node_measure_parms_sample_length, g_node_none, "S", 0, kStatusRowSettingsGroup8, 1},
    /* 138 */ {"[SENSe:]SWEep:FREQuency?", kOptionalMinMaxDef, 1, kScpiRefuseNever,
               g_node_measure_parms_sample_rate, g_node_none, "HZ", 0, kStatusRowNone, 1},
    /* 139 */ {"[SENSe:]SWEep:FREQuency", kMinMaxDefOrHertz, 0, kScpiRefuseAlways,
               g_node_measure_parms_sample_rate, g_node_none, "HZ", 0, kStatusRowSettingsGroup8, 1},
    /* 140 */ {"[SOURce:]PULSe[:MODE]?", kNoParameters, 1, kScpiRefuseNever,
               g_node_measure_parms_pulse_mode, g_node_none, "", 0, kStatusRowNone, 1},
    /* 141 */ {"[SOURce:]PULSe[:MODE]", kAutoManual, 0, kScpiRefuseUnlessManualSearch,
               g_node_measure_parms_pulse_mode, g_node_none, "", 0, kStatusRowSettingsGroup9, 1},
    /* 142 */ {"[SOURce:]PULSe:PERiod?", kOptionalMinMaxDef, 1, kScpiRefuseNever,
               g_node_measure_parms_pulse_period, g_node_none, "S", 0, kStatusRowNone, 1},
    /* 143 */ {"[SOURce:]PULSe:PERiod", kMinMaxDefOrSecond, 0, kScpiRefuseUnlessManualSearch,
               g_node_measure_parms_pulse_period, g_node_none, "S", 0, kStatusRowSettingsGroup9, 1},
    /* 144 */ {"[SOURce:]PULSe:WIDTh?", kOptionalMinMaxDef, 1, kScpiRefuseNever,
               g_node_measure_parms_pulse_width, g_node_none, "S", 0, kStatusRowNone, 1},
    /* 145 */ {"[SOURce:]PULSe:WIDTh", kMinMaxDefOrSecond, 0, kScpiRefuseUnlessManualSearch,
               g_node_measure_parms_pulse_width, g_node_none, "S", 0, kStatusRowSettingsGroup9, 1},
    /* 146 */ {"STATus:OPERation:NTRansition?", kNoParameters, 1, kScpiRefuseNever, g_node_none, g_node_none, "", 0, kStatusRowNone, 0},
    /* 147 */ {"STATus:OPERation:NTRansition", kNumber, 1, kScpiRefuseNever, g_node_none, g_node_none, "", 0, kStatusRowSettingsGroup1, 0},
    /* 148 */ {"STATus:OPERation:PTRansition?", kNoParameters, 1, kScpiRefuseNever, g_node_none, g_node_none, "", 0, kStatusRowNone, 0},
    /* 149 */ {"STATus:OPERation:PTRansition", kNumber, 1, kScpiRefuseNever, g_node_none, g_node_none, "", 0, kStatusRowSettingsGroup1, 0},
    /* 150 */ {"STATus:OPERation:BIT11[:EVENt]?", kNoParameters, 1, kScpiRefuseNever,
               g_node_none, g_node_none, "", 0, kStatusRowNone, 0},
    /* 151 */ {"STATus:OPERation:BIT11:CONDition?", kNoParameters, 1, kScpiRefuseNever,
               g_node_none, g_node_none, "", 0, kStatusRowNone, 0},
    /* 152 */ {"STATus:OPERation:BIT11:ENABle?", kNoParameters, 1, kScpiRefuseNever,
               g_node_none, g_node_none, "", 0, kStatusRowNone, 0},
    /* 153 */ {"STATus:OPERation:BIT11:ENABle", kNumber, 1, kScpiRefuseNever, g_node_none, g_node_none, "", 0, kStatusRowSettingsGroup1, 0},
    /* 154 */ {"STATus:OPERation:BIT11:NTRansition?", kNoParameters, 1, kScpiRefuseNever,
               g_node_none, g_node_none, "", 0, kStatusRowNone, 0},
    /* 155 */ {"STATus:OPERation:BIT11:NTRansition", kNumber, 1, kScpiRefuseNever, g_node_none, g_node_none, "", 0, kStatusRowSettingsGroup1, 0},
    /* 156 */ {"STATus:OPERation:BIT11:PTRansition?", kNoParameters, 1, kScpiRefuseNever,
               g_node_none, g_node_none, "", 0, kStatusRowNone, 0},
    /* 157 */ {"STATus:OPERation:BIT11:PTRansition", kNumber, 1, kScpiRefuseNever, g_node_none, g_node_none, "", 0, kStatusRowSettingsGroup1, 0},
    /* 158 */ {"STATus:OPERation:BIT12[:EVENt]?", kNoParameters, 1, kScpiRefuseNever,
               g_node_none, g_node_none, "", 0, kStatusRowNone, 0},
    /* 159 */ {"STATus:OPERation:BIT12:CONDition?", kNoParameters, 1, kScpiRefuseNever,
               g_node_none, g_node_none, "", 0, kStatusRowNone, 0},
    /* 160 */ {"STATus:OPERation:BIT12:ENABle?", kNoParameters, 1, kScpiRefuseNever,
               g_node_none, g_node_none, "", 0, kStatusRowNone, 0},
    /* 161 */ {"STATus:OPERation:BIT12:ENABle", kNumber, 1, kScpiRefuseNever, g_node_none, g_node_none, "", 0, kStatusRowSettingsGroup1, 0},
    /* 162 */ {"STATus:OPERation:BIT12:NTRansition?", kNoParameters, 1, kScpiRefuseNever,
               g_node_none, g_node_none, "", 0, kStatusRowNone, 0},
    /* 163 */ {"STATus:OPERation:BIT12:NTRansition", kNumber, 1, kScpiRefuseNever, g_node_none, g_node_none, "", 0, kStatusRowSettingsGroup1, 0},
    /* 164 */ {"STATus:OPERation:BIT12:PTRansition?", kNoParameters, 1, kScpiRefuseNever,
               g_node_none, g_node_none, "", 0, kStatusRowNone, 0},
    /* 165 */ {"STATus:OPERation:BIT12:PTRansition", kNumber, 1, kScpiRefuseNever, g_node_none, g_node_none, "", 0, kStatusRowSettingsGroup1, 0},
    /* 166 */ {"STATus:QUEStionable:NTRansition?", kNoParameters, 1, kScpiRefuseNever,
               g_node_none, g_node_none, "", 0, kStatusRowNone, 0},
    /* 167 */ {"STATus:QUEStionable:NTRansition", kNumber, 1, kScpiRefuseNever, g_node_none, g_node_none, "", 0, kStatusRowSettingsGroup1, 0},
    /* 168 */ {"STATus:QUEStionable:PTRansition?", kNoParameters, 1, kScpiRefuseNever,
               g_node_none, g_node_none, "", 0, kStatusRowNone, 0},
    /* 169 */ {"STATus:QUEStionable:PTRansition", kNumber, 1, kScpiRefuseNever, g_node_none, g_node_none, "", 0, kStatusRowSettingsGroup1, 0},
    /* 170 */ {"STATus:QUEStionable:BIT12[:EVENt]?", kNoParameters, 1, kScpiRefuseNever,
               g_node_none, g_node_none, "", 0, kStatusRowNone, 0},
    /* 171 */ {"STATus:QUEStionable:BIT12:CONDition?", kNoParameters, 1, kScpiRefuseNever,
               g_node_none, g_node_none, "", 0, kStatusRowNone, 0},
    /* 172 */ {"STATus:QUEStionable:BIT12:ENABle?", kNoParameters, 1, kScpiRefuseNever,
               g_node_none, g_node_none, "", 0, kStatusRowNone, 0},
    /* 173 */ {"STATus:QUEStionable:BIT12:ENABle", kNumber, 1, kScpiRefuseNever, g_node_none, g_node_none, "", 0, kStatusRowSettingsGroup1, 0},
    /* 174 */ {"STATus:QUEStionable:BIT12:NTRansition?", kNoParameters, 1, kScpiRefuseNever,
               g_node_none, g_node_none, "", 0, kStatusRowNone, 0},
    /* 175 */ {"STATus:QUEStionable:BIT12:NTRansition", kNumber, 1, kScpiRefuseNever,
               g_node_none, g_node_none, "", 0, kStatusRowSettingsGroup1, 0},
    /* 176 */ {"STATus:QUEStionable:BIT12:PTRansition?", kNoParameters, 1, kScpiRefuseNever,
               g_node_none, g_node_none, "", 0, kStatusRowNone, 0},
    /* 177 */ {"STATus:QUEStionable:BIT12:PTRansition", kNumber, 1, kScpiRefuseNever,
               g_node_none, g_node_none, "", 0, kStatusRowSettingsGroup1, 0},
    /* 178 */ {"SYSTem:COMMunicate:ETHernet[:ENABle]?", kOptionalDefault, 1, kScpiRefuseNever,
               g_node_comm_parms_ethernet_enabled, g_node_none, "", 0, kStatusRowNone, 1},
    /* 179 */ {"SYSTem:COMMunicate:ETHernet[:ENABle]", kDefaultOrBoolean, 0, kScpiRefuseNever,
               g_node_none, g_node_none, "", 0, kStatusRowSettingsGroup0, 0},
    /* 180 */ {"SYSTem:COMMunicate:ETHernet:IDENtifier?", kNoParameters, 1, kScpiRefuseNever,
               g_node_comm_parms_ethernet_id, g_node_none, "", 0, kStatusRowNone, 1},
    /* 181 */ {"SYSTem:COMMunicate:ETHernet:IDENtifier", kText, 0, kScpiRefuseNever,
               g_node_comm_parms_ethernet_id, g_node_none, "", 0, kStatusRowSettingsGroup0, 1},
    /* 182 */ {"SYSTem:COMMunicate:ETHernet:AUTO?", kOptionalDefault, 1, kScpiRefuseNever,
               g_node_comm_parms_ethernet_auto_address, g_node_none, "", 0, kStatusRowNone, 1},
    /* 183 */ {"SYSTem:COMMunicate:ETHernet:AUTO", kDefaultOrBoolean, 0, kScpiRefuseNever,
               g_node_comm_parms_ethernet_auto_address, g_node_none, "", 0, kStatusRowSettingsGroup0, 1},
    /* 184 */ {"SYSTem:COMMunicate:ETHernet:ADDRess?", kNoParameters, 1, kScpiRefuseNever,
               g_node_comm_parms_ethernet_ip_address, g_node_none, "", 0, kStatusRowNone, 1},
    /* 185 */ {"SYSTem:COMMunicate:ETHernet:ADDRess", kText, 0, kScpiRefuseNever, g_node_none, g_node_none, "", 0, kStatusRowSettingsGroup0, 0},
    /* 186 */ {"SYSTem:COMMunicate:ETHernet:MASK?", kNoParameters, 1, kScpiRefuseNever,
               g_node_comm_parms_ethernet_net_mask, g_node_none, "", 0, kStatusRowNone, 1},
    /* 187 */ {"SYSTem:COMMunicate:ETHernet:MASK", kText, 0, kScpiRefuseNever,
               g_node_comm_parms_ethernet_net_mask, g_node_none, "", 0, kStatusRowSettingsGroup0, 1},
    /* 188 */ {"SYSTem:COMMunicate:ETHernet:BROadcast?", kNoParameters, 1, kScpiRefuseNever,
               g_node_comm_parms_ethernet_broadcast, g_node_none, "", 0, kStatusRowNone, 1},
    /* 189 */ {"SYSTem:COMMunicate:ETHernet:BROadcast", kText, 0, kScpiRefuseNever,
               g_node_comm_parms_ethernet_broadcast, g_node_none, "", 0, kStatusRowSettingsGroup0, 1},
    /* 190 */ {"SYSTem:COMMunicate:ETHernet:GATeway?", kNoParameters, 1, kScpiRefuseNever,
               g_node_comm_parms_ethernet_gateway, g_node_none, "", 0, kStatusRowNone, 1},
    /* 191 */ {"SYSTem:COMMunicate:ETHernet:GATeway", kText, 0, kScpiRefuseNever,
               g_node_comm_parms_ethernet_gateway, g_node_none, "", 0, kStatusRowSettingsGroup0, 1},
    /* 192 */ {"SYSTem:COMMunicate:ETHernet:DNSServer?", kNoParameters, 1, kScpiRefuseNever,
               g_node_comm_parms_ethernet_dns_server, g_node_none, "", 0, kStatusRowNone, 1},
    /* 193 */ {"SYSTem:COMMunicate:ETHernet:DNSServer", kText, 0, kScpiRefuseNever,
               g_node_comm_parms_ethernet_dns_server, g_node_none, "", 0, kStatusRowSettingsGroup0, 1},
    /* 194 */ {"SYSTem:COMMunicate:ETHernet:DOMain?", kNoParameters, 1, kScpiRefuseNever,
               g_node_comm_parms_ethernet_domain, g_node_none, "", 0, kStatusRowNone, 1},
    /* 195 */ {"SYSTem:COMMunicate:ETHernet:DOMain", kText, 0, kScpiRefuseNever,
               g_node_comm_parms_ethernet_domain, g_node_none, "", 0, kStatusRowSettingsGroup0, 1},
    /* 196 */ {"SYSTem:COMMunicate:ETHernet:NBNS?", kOptionalDefault, 1, kScpiRefuseNever,
               g_node_comm_parms_nbns_enabled, g_node_none, "", 0, kStatusRowNone, 1},
    /* 197 */ {"SYSTem:COMMunicate:ETHernet:NBNS", kDefaultOrBoolean, 0, kScpiRefuseNever,
               g_node_comm_parms_nbns_enabled, g_node_none, "", 0, kStatusRowSettingsGroup0, 1},
    /* 198 */ {"SYSTem:COMMunicate:ETHernet:RESTart", kNoParameters, 0, kScpiRefuseNever,
               g_node_none, g_node_none, "", 0, kStatusRowNone, 0},
    /* 199 */ {"SYSTem:COMMunicate:MODBus[:ENABle]?", kOptionalDefault, 1, kScpiRefuseNever,
               g_node_comm_parms_modbus_enabled, g_node_none, "", 0, kStatusRowNone, 1},
    /* 200 */ {"SYSTem:COMMunicate:MODBus[:ENABle]", kDefaultOrBoolean, 0, kScpiRefuseNever,
               g_node_comm_parms_modbus_enabled, g_node_none, "", 0, kStatusRowSettingsGroup0, 1},
    /* 201 */ {"SYSTem:COMMunicate:MODBus:HOSTs?", kNoParameters, 1, kScpiRefuseNever,
               g_node_comm_parms_modbus_auth_list, g_node_none, "", 0, kStatusRowNone, 1},
    /* 202 */ {"SYSTem:COMMunicate:MODBus:HOSTs", kText, 0, kScpiRefuseNever,
               g_node_comm_parms_modbus_auth_list, g_node_none, "", 0, kStatusRowSettingsGroup0, 1},
    /* 203 */ {"SYSTem:COMMunicate:MODBus:NCONnections?", kOptionalMinMaxDef, 1, kScpiRefuseNever,
               g_node_comm_parms_modbus_max_connections, g_node_none, "", 0, kStatusRowNone, 1},
    /* 204 */ {"SYSTem:COMMunicate:MODBus:NCONnections", kMinMaxDefOrNumber, 0, kScpiRefuseNever,
               g_node_comm_parms_modbus_max_connections, g_node_none, "", 0, kStatusRowSettingsGroup0, 1},
    /* 205 */ {"SYSTem:COMMunicate:MODBus:F32?", kOptionalDefault, 1, kScpiRefuseNever,
               g_node_comm_parms_modbus_use_float32, g_node_none, "", 0, kStatusRowNone, 1},
    /* 206 */ {"SYSTem:COMMunicate:MODBus:F32", kDefaultOrBoolean, 0, kScpiRefuseNever,
               g_node_comm_parms_modbus_use_float32, g_node_none, "", 0, kStatusRowSettingsGroup0, 1},
    /* 207 */ {"SYSTem:COMMunicate:USBTmc[:ENABle]?", kOptionalDefault, 1, kScpiRefuseNever,
               g_node_comm_parms_usbtmc_enabled, g_node_none, "", 0, kStatusRowNone, 1},
    /* 208 */ {"SYSTem:COMMunicate:USBTmc[:ENABle]", kDefaultOrBoolean, 0, kScpiRefuseNever,
               g_node_none, g_node_none, "", 0, kStatusRowSettingsGroup0, 0},
    /* 209 */ {"SYSTem:COMMunicate:VXI11[:ENABle]?", kOptionalDefault, 1, kScpiRefuseNever,
               g_node_comm_parms_vxi11_enabled, g_node_none, "", 0, kStatusRowNone, 1},
    /* 210 */ {"SYSTem:COMMunicate:VXI11[:ENABle]", kDefaultOrBoolean, 0, kScpiRefuseNever,
               g_node_comm_parms_vxi11_enabled, g_node_none, "", 0, kStatusRowSettingsGroup0, 1},
    /* 211 */ {"SYSTem:LOCK:REQuest?", kNoParameters, 1, kScpiRefuseNever, g_node_none, g_node_none, "", 0, kStatusRowNone, 0},
    /* 212 */ {"SYSTem:LOCK:RELease", kNoParameters, 0, kScpiRefuseNever, g_node_none, g_node_none, "", 0, kStatusRowNone, 0},
    /* 213 */ {"SYSTem:TEMPerature?", kNoParameters, 1, kScpiRefuseNever,
               g_node_system_temperature_current_value, g_node_none, "CEL", 0, kStatusRowNone, 1},
    /* 214 */ {"SYSTem:CDATe?", kNoParameters, 1, kScpiRefuseNever, g_node_system_calib_date, g_node_none, "", 0, kStatusRowNone, 1},
    /* 215 */ {"SYSTem:MDATe?", kNoParameters, 1, kScpiRefuseNever, g_node_system_manuf_date, g_node_none, "", 0, kStatusRowNone, 1},
    /* 216 */ {"TRIGger[:SEQuence1]:COUNt?", kOptionalMinMaxDef, 1, kScpiRefuseNever,
               g_node_trigger_parms_trigger_in_count, g_node_none, "", 0, kStatusRowNone, 1},
    /* 217 */ {"TRIGger[:SEQuence1]:COUNt", kMinMaxDefOrNumber, 0, kScpiRefuseAlways,
               g_node_trigger_parms_trigger_in_count, g_node_none, "", 0, kStatusRowSettingsGroup10, 1},
    /* 218 */ {"TRIGger[:SEQuence1]:SLOPe?", kNoParameters, 1, kScpiRefuseNever,
               g_node_trigger_parms_trigger_in_slope, g_node_none, "", 0, kStatusRowNone, 1},
    /* 219 */ {"TRIGger[:SEQuence1]:SLOPe", kSlope, 0, kScpiRefuseAlways,
               g_node_trigger_parms_trigger_in_slope, g_node_none, "", 0, kStatusRowSettingsGroup10, 1},
    /* 220 */ {"TRIGger[:SEQuence1]:SOURce?", kOptionalDefault, 1, kScpiRefuseNever,
               g_node_trigger_parms_trigger_in_source, g_node_none, "", 0, kStatusRowNone, 1},
    /* 221 */ {"TRIGger[:SEQuence1]:SOURce", kTriggerSource, 0, kScpiRefuseAlways,
               g_node_trigger_parms_trigger_in_source, g_node_none, "", 0, kStatusRowSettingsGroup10, 1},
    /* 222 */ {"TRIGger[:SEQuence1]:TIMer?", kOptionalMinMaxDef, 1, kScpiRefuseNever,
               g_node_trigger_parms_trigger_in_timer, g_node_none, "S", 0, kStatusRowNone, 1},
    /* 223 */ {"TRIGger[:SEQuence1]:TIMer", kMinMaxDefOrSecond, 0, kScpiRefuseAlways,
               g_node_trigger_parms_trigger_in_timer, g_node_none, "S", 0, kStatusRowSettingsGroup10, 1},
    /* 224 */ {"TRIGger:SEQuence2:LEVel?", kOptionalMinMaxDef, 1, kScpiRefuseNever,
               g_node_trigger_parms_trigger_out_level, g_node_none, "T", 1, kStatusRowNone, 1},
    /* 225 */ {"TRIGger:SEQuence2:LEVel", kMinMaxDefOrTesla, 0, kScpiRefuseAlways,
               g_node_trigger_parms_trigger_out_level, g_node_none, "T", 1, kStatusRowSettingsGroup10, 0},
    /* 226 */ {"TRIGger:SEQuence2:SLOPe?", kNoParameters, 1, kScpiRefuseNever,
               g_node_trigger_parms_trigger_out_slope, g_node_none, "", 0, kStatusRowNone, 1},
    /* 227 */ {"TRIGger:SEQuence2:SLOPe", kSlope, 0, kScpiRefuseAlways,
               g_node_trigger_parms_trigger_out_slope, g_node_none, "", 0, kStatusRowSettingsGroup10, 0},
    /* 228 */ {"UNIT?", kOptionalDefault, 1, kScpiRefuseNever, g_node_units_parms_selected, g_node_none, "", 0, kStatusRowNone, 1},
    /* 229 */ {"UNIT", kUnitChoice, 0, kScpiRefuseAlways, g_node_units_parms_selected, g_node_none, "", 0, kStatusRowSettingsGroup13, 1},
    /* 230 */ {"UNIT:ALL?", kNoParameters, 1, kScpiRefuseNever, g_node_none, g_node_none, "", 0, kStatusRowNone, 0},
    /* 231 */ {"UNIT:PPMReference?", kOptionalMinMaxDef, 1, kScpiRefuseNever,
               g_node_units_parms_ppm_ref, g_node_none, "T", 1, kStatusRowNone, 1},
    /* 232 */ {"UNIT:PPMReference", kMinMaxDefOrPpmReference, 0, kScpiRefuseNever,
               g_node_units_parms_ppm_ref, g_node_none, "T", 1, kStatusRowSettingsGroup13, 0},
};

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
  for (const ScpiCommandDefinition& c : kCommands) n += c.generic != 0 ? 1 : 0;
  return n;
}

static_assert(std::size(kCommands) == kScpiCommandCount, "233 commands");
static_assert(CountQueries() == kScpiQueryCount, "139 queries");
static_assert(CountGeneric() == kScpiGenericCount, "105 generic commands");
static_assert(CheckCommands(), "patterns, slots and attribute columns are consistent");
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
          c.allowedWhileLocked,
          c.refusalKind,
          c.nodeSuffix1,
          c.nodeSuffix2,
          c.unit,
          c.fluxUnit,
          static_cast<std::uint8_t>(c.statusRow),
          c.generic};
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
