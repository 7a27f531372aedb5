// Every row of the three command tables against the command lists of the instrument's documented
// command set, held here as independent data in the form those lists take (number ranges, pattern
// lists, the node table), and every header in its short and long form resolving to its number.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "scpi/scpi_command_table.h"
#include "scpi_support.h"
#include "tree/BoundParameterNodes.h"

namespace Torvex {
namespace {

// ---- The documented command set --------------------------------------------------------------------

const char* const kPatterns[] = {
    "*CLS", "*ESE", "*ESE?", "*ESR?", "*IDN?", "*OPC", "*OPC?", "*RST", "*SRE", "*SRE?", "*STB?", "*TRG", "*TST?",
    "*WAI", "SYSTem:ERRor[:NEXT]?", "SYSTem:VERSion?", "SYSTem:HELP:HEADers?", "SYSTem:HELP:SYNTax?",
    "STATus:OPERation[:EVENt]?", "STATus:OPERation:CONDition?", "STATus:OPERation:ENABle?",
    "STATus:OPERation:ENABle", "STATus:QUEStionable[:EVENt]?", "STATus:QUEStionable:CONDition?",
    "STATus:QUEStionable:ENABle?", "STATus:QUEStionable:ENABle", "STATus:PRESet", "ABORt",
    "[CALCulate:]AVERage#:COUNt?", "[CALCulate:]AVERage#:COUNt", "[CALCulate:]AVERage#[:STATe]?",
    "[CALCulate:]AVERage#[:STATe]", "[CALCulate:]AVERage#:TCONtrol?", "[CALCulate:]AVERage#:TCONtrol",
    "CONFigure?", "CONFigure[:MEASure]:MODE?", "CONFigure[:MEASure]:MODE", "CONFigure[:MEASure]:REJect?",
    "CONFigure[:MEASure]:REJect", "CONFigure[:MEASure]:LEVel?", "CONFigure[:MEASure]:LEVel",
    "CONFigure[:MEASure]:BANDwidth?", "CONFigure[:MEASure]:BANDwidth", "CONFigure[:MEASure]:POINts?",
    "CONFigure[:MEASure]:POINts", "CONFigure[:MEASure]:HYSTeresis?", "CONFigure[:MEASure]:HYSTeresis",
    "CONFigure:PROBe:MODE?", "CONFigure:PROBe:MODE", "CONFigure:PROBe:MATChing?", "CONFigure:PROBe:MATChing",
    "CONFigure:PROBe:TUNing?", "CONFigure:PROBe:TUNing", "CONFigure:SEARch:LEVel?", "CONFigure:SEARch:LEVel",
    "CONFigure:SEARch:FSTEp?", "CONFigure:SEARch:FSTEp", "CONFigure:SEARch:MODE?", "CONFigure:SEARch:MODE",
    "CONFigure:SEARch[:LIMit]:HIGH?", "CONFigure:SEARch[:LIMit]:HIGH", "CONFigure:SEARch[:LIMit]:LOW?",
    "CONFigure:SEARch[:LIMit]:LOW", "CONFigure:SEARch[:LIMit]:VALue?", "CONFigure:SEARch[:LIMit]:VALue",
    "CONFigure:TRACking[:LIMit]:HIGH?", "CONFigure:TRACking[:LIMit]:HIGH", "CONFigure:TRACking[:LIMit]:LOW?",
    "CONFigure:TRACking[:LIMit]:LOW", "CONFigure:TRACking:HYSTeresis?", "CONFigure:TRACking:HYSTeresis",
    "DIAGnostic:UPGRade[:INITiate]", "FETCh[:SCALar][:FLUX]?", "FETCh[:SCALar]:SIGMa?",
    "FETCh[:SCALar]:UNIFormity?", "FETCh[:SCALar]:CHANnel?", "FETCh[:SCALar]:TIMestamp?",
    "FETCh[:SCALar]:IFRequency?", "FETCh[:SCALar]:RELaxation?", "FETCh[:SCALar]:RFFRequency?",
    "FETCh[:SCALar]:SPRogress?", "FETCh:ARRay[:FLUX]?", "FETCh:ARRay:SIGMa?", "FETCh:ARRay:UNIFormity?",
    "FETCh:ARRay:CHANnel?", "FETCh:ARRay:TIMestamp?", "FETCh:ARRay:NMRSignal?", "FETCh:ARRay:FFTBuffer?",
    "FETCh:ARRay:SPECtrum?", "FETCh:ARRay:FIT?", "FORMat[:DATA]?", "FORMat[:DATA]", "INITiate[:IMMediate][:ALL]",
    "INITiate[:IMMediate]:CONTinuous?", "INITiate[:IMMediate]:CONTinuous", "INPut:CLOCk[:SOURce]?",
    "INPut:CLOCk[:SOURce]", "MEASure[:SCALar][:FLUX]?", "MEASure:ARRay[:FLUX]?", "MMEMory[:CATalog]?",
    "MMEMory:DATA?", "MMEMory:DATA", "MMEMory:DELete", "MMEMory:LOAD[:STATe]", "MMEMory:STORe[:STATe]",
    "OUTPut[:TRIGger][:STATe]?", "OUTPut[:TRIGger][:STATe]", "OUTPut[:TRIGger]:IMMediate",
    "OUTPut[:TRIGger]:SHAPe?", "OUTPut[:TRIGger]:SHAPe", "OUTPut[:TRIGger]:POLarity?", "OUTPut[:TRIGger]:POLarity",
    "OUTPut[:TRIGger]:WIDTh?", "OUTPut[:TRIGger]:WIDTh", "OUTPut[:TRIGger]:DELay?", "OUTPut[:TRIGger]:DELay",
    "READ[:SCALar][:FLUX]?", "READ:ARRay[:FLUX]?", "ROUTe:CLOSe", "ROUTe:CLOSe:STATe?", "ROUTe:CLOSe:ACTive?",
    "ROUTe:PROBe:MODel?", "ROUTe:PROBe:SERialno?", "ROUTe:PROBe:DESignation?", "ROUTe:PROBe:MINimum?",
    "ROUTe:PROBe:MAXimum?", "ROUTe:PROBe:SCAN?", "ROUTe:PROBe:HALL[:TOTal]?", "ROUTe:PROBe:HALL:X?",
    "ROUTe:PROBe:HALL:Y?", "ROUTe:PROBe:HALL:Z?", "ROUTe:PROBe:LOWLevel?", "[SENSe:]SWEep[:MODE]?",
    "[SENSe:]SWEep[:MODE]", "[SENSe:]SWEep:OFFSet:TIME?", "[SENSe:]SWEep:OFFSet:TIME", "[SENSe:]SWEep:TIME?",
    "[SENSe:]SWEep:TIME", "[SENSe:]SWEep:FREQuency?", "[SENSe:]SWEep:FREQuency", "[SOURce:]PULSe[:MODE]?",
    "[SOURce:]PULSe[:MODE]", "[SOURce:]PULSe:PERiod?", "[SOURce:]PULSe:PERiod", "[SOURce:]PULSe:WIDTh?",
    "[SOURce:]PULSe:WIDTh", "STATus:OPERation:NTRansition?", "STATus:OPERation:NTRansition",
    "STATus:OPERation:PTRansition?", "STATus:OPERation:PTRansition", "STATus:OPERation:BIT11[:EVENt]?",
    "STATus:OPERation:BIT11:CONDition?", "STATus:OPERation:BIT11:ENABle?", "STATus:OPERation:BIT11:ENABle",
    "STATus:OPERation:BIT11:NTRansition?", "STATus:OPERation:BIT11:NTRansition",
    "STATus:OPERation:BIT11:PTRansition?", "STATus:OPERation:BIT11:PTRansition",
    "STATus:OPERation:BIT12[:EVENt]?", "STATus:OPERation:BIT12:CONDition?", "STATus:OPERation:BIT12:ENABle?",
    "STATus:OPERation:BIT12:ENABle", "STATus:OPERation:BIT12:NTRansition?", "STATus:OPERation:BIT12:NTRansition",
    "STATus:OPERation:BIT12:PTRansition?", "STATus:OPERation:BIT12:PTRansition",
    "STATus:QUEStionable:NTRansition?", "STATus:QUEStionable:NTRansition", "STATus:QUEStionable:PTRansition?",
    "STATus:QUEStionable:PTRansition", "STATus:QUEStionable:BIT12[:EVENt]?",
    "STATus:QUEStionable:BIT12:CONDition?", "STATus:QUEStionable:BIT12:ENABle?",
    "STATus:QUEStionable:BIT12:ENABle", "STATus:QUEStionable:BIT12:NTRansition?",
    "STATus:QUEStionable:BIT12:NTRansition", "STATus:QUEStionable:BIT12:PTRansition?",
    "STATus:QUEStionable:BIT12:PTRansition", "SYSTem:COMMunicate:ETHernet[:ENABle]?",
    "SYSTem:COMMunicate:ETHernet[:ENABle]", "SYSTem:COMMunicate:ETHernet:IDENtifier?",
    "SYSTem:COMMunicate:ETHernet:IDENtifier", "SYSTem:COMMunicate:ETHernet:AUTO?",
    "SYSTem:COMMunicate:ETHernet:AUTO", "SYSTem:COMMunicate:ETHernet:ADDRess?",
    "SYSTem:COMMunicate:ETHernet:ADDRess", "SYSTem:COMMunicate:ETHernet:MASK?", "SYSTem:COMMunicate:ETHernet:MASK",
    "SYSTem:COMMunicate:ETHernet:BROadcast?", "SYSTem:COMMunicate:ETHernet:BROadcast",
    "SYSTem:COMMunicate:ETHernet:GATeway?", "SYSTem:COMMunicate:ETHernet:GATeway",
    "SYSTem:COMMunicate:ETHernet:DNSServer?", "SYSTem:COMMunicate:ETHernet:DNSServer",
    "SYSTem:COMMunicate:ETHernet:DOMain?", "SYSTem:COMMunicate:ETHernet:DOMain", "SYSTem:COMMunicate:ETHernet:NBNS?",
    "SYSTem:COMMunicate:ETHernet:NBNS", "SYSTem:COMMunicate:ETHernet:RESTart", "SYSTem:COMMunicate:MODBus[:ENABle]?",
    "SYSTem:COMMunicate:MODBus[:ENABle]", "SYSTem:COMMunicate:MODBus:HOSTs?", "SYSTem:COMMunicate:MODBus:HOSTs",
    "SYSTem:COMMunicate:MODBus:NCONnections?", "SYSTem:COMMunicate:MODBus:NCONnections",
    "SYSTem:COMMunicate:MODBus:F32?", "SYSTem:COMMunicate:MODBus:F32", "SYSTem:COMMunicate:USBTmc[:ENABle]?",
    "SYSTem:COMMunicate:USBTmc[:ENABle]", "SYSTem:COMMunicate:VXI11[:ENABle]?", "SYSTem:COMMunicate:VXI11[:ENABle]",
    "SYSTem:LOCK:REQuest?", "SYSTem:LOCK:RELease", "SYSTem:TEMPerature?", "SYSTem:CDATe?", "SYSTem:MDATe?",
    "TRIGger[:SEQuence1]:COUNt?", "TRIGger[:SEQuence1]:COUNt", "TRIGger[:SEQuence1]:SLOPe?",
    "TRIGger[:SEQuence1]:SLOPe", "TRIGger[:SEQuence1]:SOURce?", "TRIGger[:SEQuence1]:SOURce",
    "TRIGger[:SEQuence1]:TIMer?", "TRIGger[:SEQuence1]:TIMer", "TRIGger:SEQuence2:LEVel?", "TRIGger:SEQuence2:LEVel",
    "TRIGger:SEQuence2:SLOPe?", "TRIGger:SEQuence2:SLOPe", "UNIT?", "UNIT", "UNIT:ALL?", "UNIT:PPMReference?",
    "UNIT:PPMReference",
};
static_assert(std::size(kPatterns) == 233);

// "0, 2-7, 9" -> {0, 2, 3, 4, 5, 6, 7, 9}
std::vector<int> Numbers(const std::string& list) {
  std::vector<int> out;
  std::stringstream ss(list);
  std::string part;
  while (std::getline(ss, part, ',')) {
    const auto dash = part.find('-');
    const int a = std::stoi(part.substr(0, dash));
    const int b = dash == std::string::npos ? a : std::stoi(part.substr(dash + 1));
    for (int i = a; i <= b; ++i) out.push_back(i);
  }
  return out;
}

int NumberOf(const std::string& pattern) {
  for (int i = 0; i < 233; ++i) {
    if (pattern == kPatterns[i]) return i;
  }
  ADD_FAILURE() << "no such pattern in the test data: " << pattern;
  return -1;
}

// One expected parameter slot: type, optional, choice list, alternative type and unit classes of a
// number (default class, then the further allowed classes).
struct Slot {
  std::uint32_t type;
  bool optional;
  std::string choices;
  std::uint32_t alternative;
  std::uint32_t defaultClass;
  std::set<std::uint32_t> allowed;
};

const std::string kMmd = "MINimum|MAXimum|DEFault";
const std::set<std::uint32_t> kField = {6, 4, 3, 2};

Slot Num(std::uint32_t cls = 0, std::set<std::uint32_t> allowed = {}, bool opt = false) {
  return {1, opt, "", 0, cls, std::move(allowed)};
}
Slot Ch(std::string list, bool opt = false) { return {3, opt, std::move(list), 0, 0, {}}; }
Slot ChNum(std::string list, std::uint32_t cls = 0, std::set<std::uint32_t> allowed = {}, bool opt = false) {
  return {3, opt, std::move(list), 1, cls, std::move(allowed)};
}
Slot ChBool(std::string list) { return {3, false, std::move(list), 2, 0, {}}; }
Slot Simple(std::uint32_t type, bool opt = false) { return {type, opt, "", 0, 0, {}}; }

// The parameter slots by command number.
std::map<int, std::vector<Slot>> ExpectedSlots() {
  const std::vector<std::pair<std::string, std::vector<Slot>>> groups = {
      {"0, 2-7, 9-16, 18-20, 22-24, 26, 27, 32, 34, 35, 47, 57, 71, 75, 76, 80, 90, 92, 95, 99, 107, 119, 120, "
       "126-130, 132, 140, 146, 148, 150-152, 154, 156, 158-160, 162, 164, 166, 168, 170-172, 174, 176, 180, 184, "
       "186, 188, 190, 192, 194, 198, 201, 211-215, 218, 226, 230",
       {}},
      {"1, 8, 21, 25, 147, 149, 153, 155, 157, 161, 163, 165, 167, 169, 173, 175, 177", {Num()}},
      {"17, 181, 185, 187, 189, 191, 193, 195, 202", {Simple(5)}},
      {"28, 39, 41, 43, 45, 49, 51, 53, 55, 59, 61, 63, 65, 67, 69, 112, 114, 134, 136, 138, 142, 144, 203, 216, "
       "222, 224, 231",
       {Ch(kMmd, true)}},
      {"29, 44, 46, 70, 84-89, 204, 217", {ChNum(kMmd)}},
      {"30, 37, 93, 105, 108, 110, 178, 182, 196, 199, 205, 207, 209, 220, 228", {Ch("DEFault", true)}},
      {"31, 38, 94, 106, 179, 183, 197, 200, 206, 208, 210", {ChBool("DEFault")}},
      {"33", {Ch("EXPonential|MOVing|REPeat")}},
      {"36, 48, 133, 141", {Ch("AUTO|MANual")}},
      {"40, 50, 52, 54", {ChNum(kMmd, 7)}},
      {"42, 56, 66, 68, 139", {ChNum(kMmd, 2)}},
      {"58", {Ch("AUTO|CUSTom|MANual")}},
      {"60, 62, 64", {ChNum(kMmd, 0, kField)}},
      {"72-74, 77-79", {ChNum(kMmd, 0, {}, true)}},
      {"81-83", {ChNum(kMmd), ChNum(kMmd, 0, {}, true)}},
      {"91", {Ch("ASCii|INTeger")}},
      {"96", {Ch("INTernal|EXTernal")}},
      {"97, 116", {Num(0, kField, true), ChNum(kMmd, 0, {}, true), Simple(8, true)}},
      {"98, 117", {ChNum(kMmd), Num(0, kField, true), ChNum(kMmd, 0, {}, true), Simple(8, true)}},
      {"100, 102", {Simple(4)}},
      {"101", {Simple(4), Simple(9)}},
      {"103", {Num(), Simple(4)}},
      {"104", {Num(), Simple(4), Ch("ALL|COMMunication|MEASure|TRIGger|REFClk|UNITs")}},
      {"109", {Ch("DC|PULSe|DEFault")}},
      {"111", {Ch("NORMal|INVerted")}},
      {"113", {ChNum("MINimum|MAXimum|INFinity|DEFault", 5)}},
      {"115, 135, 137, 143, 145, 223", {ChNum(kMmd, 5)}},
      {"118, 121-125", {Simple(8)}},
      {"131", {Simple(9)}},
      {"219, 227", {Ch("POSitive|NEGative|EITHer")}},
      {"221", {Ch("IMMediate|TIMer|BUS|EXTernal|DEFault")}},
      {"225", {ChNum(kMmd, 6, kField)}},
      {"229", {Ch("T|MT|UT|NT|GAUSs|KGAUss|MGAUss|UGAUss|PPM|HZP|KHZP|MAHZP|GHZP|HZ|KHZ|MAHZ|GHZ|DEFault")}},
      {"232", {ChNum(kMmd, 0, {6, 3, 2})}},
  };
  std::map<int, std::vector<Slot>> slots;
  for (const auto& [list, s] : groups) {
    for (int n : Numbers(list)) {
      EXPECT_EQ(slots.count(n), 0u) << "command " << n << " listed twice";
      slots[n] = s;
    }
  }
  return slots;
}

// The attribute columns by command number, built from the lists of the command set.
struct Attributes {
  int query = 0;
  int locked = 0;
  int refusal = 0;
  std::string node1;
  std::string node2;
  std::string unit;
  int flux = 0;
  int status = 0;
  int generic = 0;
};

std::vector<Attributes> ExpectedAttributes() {
  std::vector<Attributes> a(233);
  for (int i = 0; i < 233; ++i) a[i].query = std::string(kPatterns[i]).back() == '?' ? 1 : 0;

  // Allowed while locked.
  const std::set<std::string> lockedQueries = {"*TST?", "MEASure[:SCALar][:FLUX]?", "MEASure:ARRay[:FLUX]?",
                                               "READ[:SCALar][:FLUX]?", "READ:ARRay[:FLUX]?", "ROUTe:PROBe:LOWLevel?"};
  const std::set<std::string> freeCommands = {"*CLS", "*ESE", "*OPC", "*SRE", "*WAI", "STATus:PRESet"};
  for (int i = 0; i < 233; ++i) {
    const std::string p = kPatterns[i];
    const bool statusSetter = p.rfind("STATus:", 0) == 0 && a[i].query == 0 &&
                              (p.ends_with(":ENABle") || p.ends_with(":NTRansition") || p.ends_with(":PTRansition"));
    if (a[i].query) a[i].locked = lockedQueries.count(p) ? 0 : 1;
    if (!a[i].query) a[i].locked = (freeCommands.count(p) || statusSetter) ? 1 : 0;
    if (statusSetter) a[i].status = 48;
  }

  // Refusal while measuring.
  for (int n : Numbers("48, 50, 52, 58, 64, 141, 143, 145")) a[n].refusal = 2;
  for (int n : Numbers("29, 31, 33, 36, 38, 40, 42, 44, 46, 54, 56, 60, 62, 66, 68, 70, 92, 96, 101-104, 106, 107, "
                       "109, 111, 113, 115, 118, 133, 135, 137, 139, 217, 219, 221, 223, 225, 227, 229")) {
    a[n].refusal = 3;
  }

  // The parameter-bound commands: header, "and query", nodes, unit, flux, setter status row, G.
  struct Bound {
    const char* pattern;
    bool andQuery;
    const char* node1;
    const char* node2;
    const char* unit;
    int flux;
    int status;
    int generic;
  };
  const Bound bound[] = {
      {"[CALCulate:]AVERage#:COUNt", true, "measure_parms/averaging/signal/count",
       "measure_parms/averaging/measurement/count", "", 0, 58, 1},
      {"[CALCulate:]AVERage#[:STATe]", true, "measure_parms/averaging/signal/active",
       "measure_parms/averaging/measurement/active", "", 0, 58, 1},
      {"[CALCulate:]AVERage#:TCONtrol", true, "measure_parms/averaging/signal/type",
       "measure_parms/averaging/measurement/type", "", 0, 58, 1},
      {"CONFigure[:MEASure]:MODE", true, "measure_parms/measurement/mode", "", "", 0, 51, 1},
      {"CONFigure[:MEASure]:REJect", true, "measure_parms/measurement/reject", "", "", 0, 51, 1},
      {"CONFigure[:MEASure]:LEVel", true, "measure_parms/measurement/level", "", "V", 0, 51, 1},
      {"CONFigure[:MEASure]:BANDwidth", true, "measure_parms/measurement/bandwidth", "", "HZ", 0, 51, 1},
      {"CONFigure[:MEASure]:POINts", true, "measure_parms/measurement/points", "", "", 0, 51, 1},
      {"CONFigure[:MEASure]:HYSTeresis", true, "measure_parms/measurement/hysteresis", "", "", 0, 51, 1},
      {"CONFigure:PROBe:MODE", true, "measure_parms/probe/matching_tuning_mode", "", "", 0, 51, 1},
      {"CONFigure:PROBe:MATChing", true, "measure_parms/probe/matching", "", "V", 0, 51, 1},
      {"CONFigure:PROBe:TUNing", true, "measure_parms/probe/tuning", "", "V", 0, 51, 1},
      {"CONFigure:SEARch:LEVel", true, "measure_parms/search/level", "", "V", 0, 51, 1},
      {"CONFigure:SEARch:FSTEp", true, "measure_parms/search/fstep", "", "Hz", 0, 51, 1},
      {"CONFigure:SEARch:MODE?", false, "measure_parms/search/mode", "", "", 0, 0, 1},
      {"CONFigure:SEARch[:LIMit]:HIGH", true, "measure_parms/search/high", "", "T", 1, 51, 0},
      {"CONFigure:SEARch[:LIMit]:LOW", true, "measure_parms/search/low", "", "T", 1, 51, 0},
      {"CONFigure:SEARch[:LIMit]:VALue", true, "measure_parms/search/value", "", "T", 1, 51, 1},
      {"CONFigure:TRACking[:LIMit]:HIGH", true, "measure_parms/tracking/max_freq", "", "HZ", 0, 51, 0},
      {"CONFigure:TRACking[:LIMit]:LOW", true, "measure_parms/tracking/min_freq", "", "HZ", 0, 51, 0},
      {"CONFigure:TRACking:HYSTeresis", true, "measure_parms/tracking/hysteresis", "", "", 0, 51, 1},
      {"FORMat[:DATA]", true, "host_if/parameters/format", "", "", 0, 59, 1},
      {"INITiate[:IMMediate]:CONTinuous", true, "trigger_parms/trigger_in/continuous", "", "", 0, 0, 0},
      {"INPut:CLOCk[:SOURce]?", false, "ref_clock_parms/mode", "", "", 0, 0, 1},
      {"OUTPut[:TRIGger][:STATe]", true, "trigger_parms/trigger_out/state", "", "", 0, 54, 0},
      {"OUTPut[:TRIGger]:SHAPe", true, "trigger_parms/trigger_out/shape", "", "", 0, 54, 0},
      {"OUTPut[:TRIGger]:POLarity", true, "trigger_parms/trigger_out/polarity", "", "", 0, 54, 0},
      {"OUTPut[:TRIGger]:WIDTh", true, "trigger_parms/trigger_out/width", "", "S", 0, 54, 0},
      {"OUTPut[:TRIGger]:DELay", true, "trigger_parms/trigger_out/delay", "", "S", 0, 54, 0},
      {"[SENSe:]SWEep[:MODE]", true, "measure_parms/sample/mode", "", "", 0, 55, 1},
      {"[SENSe:]SWEep:OFFSet:TIME", true, "measure_parms/sample/offset", "", "S", 0, 55, 1},
      {"[SENSe:]SWEep:TIME", true, "measure_parms/sample/length", "", "S", 0, 55, 1},
      {"[SENSe:]SWEep:FREQuency", true, "measure_parms/sample/rate", "", "HZ", 0, 55, 1},
      {"[SOURce:]PULSe[:MODE]", true, "measure_parms/pulse/mode", "", "", 0, 56, 1},
      {"[SOURce:]PULSe:PERiod", true, "measure_parms/pulse/period", "", "S", 0, 56, 1},
      {"[SOURce:]PULSe:WIDTh", true, "measure_parms/pulse/width", "", "S", 0, 56, 1},
      {"SYSTem:COMMunicate:ETHernet[:ENABle]?", false, "comm_parms/ethernet/enabled", "", "", 0, 0, 1},
      {"SYSTem:COMMunicate:ETHernet:IDENtifier", true, "comm_parms/ethernet/id", "", "", 0, 47, 1},
      {"SYSTem:COMMunicate:ETHernet:AUTO", true, "comm_parms/ethernet/auto_address", "", "", 0, 47, 1},
      {"SYSTem:COMMunicate:ETHernet:ADDRess?", false, "comm_parms/ethernet/ip_address", "", "", 0, 0, 1},
      {"SYSTem:COMMunicate:ETHernet:MASK", true, "comm_parms/ethernet/net_mask", "", "", 0, 47, 1},
      {"SYSTem:COMMunicate:ETHernet:BROadcast", true, "comm_parms/ethernet/broadcast", "", "", 0, 47, 1},
      {"SYSTem:COMMunicate:ETHernet:GATeway", true, "comm_parms/ethernet/gateway", "", "", 0, 47, 1},
      {"SYSTem:COMMunicate:ETHernet:DNSServer", true, "comm_parms/ethernet/dns_server", "", "", 0, 47, 1},
      {"SYSTem:COMMunicate:ETHernet:DOMain", true, "comm_parms/ethernet/domain", "", "", 0, 47, 1},
      {"SYSTem:COMMunicate:ETHernet:NBNS", true, "comm_parms/nbns/enabled", "", "", 0, 47, 1},
      {"SYSTem:COMMunicate:MODBus[:ENABle]", true, "comm_parms/modbus/enabled", "", "", 0, 47, 1},
      {"SYSTem:COMMunicate:MODBus:HOSTs", true, "comm_parms/modbus/auth_list", "", "", 0, 47, 1},
      {"SYSTem:COMMunicate:MODBus:NCONnections", true, "comm_parms/modbus/max_connections", "", "", 0, 47, 1},
      {"SYSTem:COMMunicate:MODBus:F32", true, "comm_parms/modbus/use_float32", "", "", 0, 47, 1},
      {"SYSTem:COMMunicate:USBTmc[:ENABle]?", false, "comm_parms/usbtmc/enabled", "", "", 0, 0, 1},
      {"SYSTem:COMMunicate:VXI11[:ENABle]", true, "comm_parms/vxi11/enabled", "", "", 0, 47, 1},
      {"SYSTem:TEMPerature?", false, "system/temperature/current_value", "", "CEL", 0, 0, 1},
      {"SYSTem:CDATe?", false, "system/calib_date", "", "", 0, 0, 1},
      {"SYSTem:MDATe?", false, "system/manuf_date", "", "", 0, 0, 1},
      {"TRIGger[:SEQuence1]:COUNt", true, "trigger_parms/trigger_in/count", "", "", 0, 57, 1},
      {"TRIGger[:SEQuence1]:SLOPe", true, "trigger_parms/trigger_in/slope", "", "", 0, 57, 1},
      {"TRIGger[:SEQuence1]:SOURce", true, "trigger_parms/trigger_in/source", "", "", 0, 57, 1},
      {"TRIGger[:SEQuence1]:TIMer", true, "trigger_parms/trigger_in/timer", "", "S", 0, 57, 1},
      {"TRIGger:SEQuence2:LEVel", true, "trigger_parms/trigger_out/level", "", "T", 1, 57, 0},
      {"TRIGger:SEQuence2:SLOPe", true, "trigger_parms/trigger_out/slope", "", "", 0, 57, 0},
      {"UNIT", true, "units_parms/selected", "", "", 0, 60, 1},
      {"UNIT:PPMReference", true, "units_parms/ppm_ref", "", "T", 1, 60, 0},
  };
  for (const Bound& b : bound) {
    const int n = NumberOf(b.pattern);
    if (n < 0) continue;
    std::vector<int> rows = {n};
    if (b.andQuery) rows.push_back(NumberOf(std::string(b.pattern) + "?"));
    for (int r : rows) {
      a[r].node1 = b.node1;
      a[r].node2 = b.node2;
      a[r].unit = b.unit;
      a[r].flux = b.flux;
      a[r].generic = a[r].query ? 1 : b.generic;
      a[r].status = a[r].query ? 0 : b.status;
    }
  }

  // Units and flux flags of commands without a node.
  for (const char* p : {"FETCh[:SCALar][:FLUX]?", "FETCh:ARRay[:FLUX]?", "MEASure[:SCALar][:FLUX]?",
                        "MEASure:ARRay[:FLUX]?", "ROUTe:PROBe:MINimum?", "ROUTe:PROBe:MAXimum?",
                        "ROUTe:PROBe:HALL[:TOTal]?", "ROUTe:PROBe:HALL:X?", "ROUTe:PROBe:HALL:Y?",
                        "ROUTe:PROBe:HALL:Z?"}) {
    a[NumberOf(p)].unit = "T";
    a[NumberOf(p)].flux = 1;
  }
  for (const char* p : {"READ[:SCALar][:FLUX]?", "READ:ARRay[:FLUX]?"}) a[NumberOf(p)].unit = "T";
  for (const char* p : {"FETCh[:SCALar]:SIGMa?", "FETCh:ARRay:SIGMa?"}) a[NumberOf(p)].unit = "PPM";
  for (const char* p : {"FETCh[:SCALar]:TIMestamp?", "FETCh:ARRay:TIMestamp?"}) a[NumberOf(p)].unit = "MS";
  for (const char* p : {"FETCh[:SCALar]:IFRequency?", "FETCh[:SCALar]:RFFRequency?"}) a[NumberOf(p)].unit = "HZ";
  a[NumberOf("FETCh[:SCALar]:RELaxation?")].unit = "S";
  a[NumberOf("FETCh[:SCALar]:SPRogress?")].unit = "%";

  // Status rows of commands without a node.
  a[NumberOf("INPut:CLOCk[:SOURce]")].status = 53;
  for (const char* p : {"MMEMory:DATA", "MMEMory:DELete", "MMEMory:STORe[:STATe]"}) a[NumberOf(p)].status = 50;
  a[NumberOf("MMEMory:LOAD[:STATe]")].status = 49;
  a[NumberOf("ROUTe:CLOSe")].status = 52;
  for (const char* p : {"SYSTem:COMMunicate:ETHernet[:ENABle]", "SYSTem:COMMunicate:USBTmc[:ENABle]",
                        "SYSTem:COMMunicate:ETHernet:ADDRess"}) {
    a[NumberOf(p)].status = 47;
  }
  return a;
}

CParameterNode* const* BoundPointer(const std::string& path) {
  if (path.empty()) return &g_node_none;
  for (std::size_t i = 0; i < kBoundParameterNodeCount; ++i) {
    if (path == kBoundParameterNodes[i].path) return kBoundParameterNodes[i].node;
  }
  ADD_FAILURE() << "no bound node " << path;
  return nullptr;
}

std::set<std::uint32_t> AllowedClasses(const ScpiNumericDescriptor* d) {
  std::set<std::uint32_t> out;
  if (d != nullptr && d->allowedClasses != nullptr) {
    for (const std::uint32_t* c = d->allowedClasses; *c != kScpiUnitListEnd; ++c) out.insert(*c);
  }
  return out;
}

// ---- Row by row --------------------------------------------------------------------------------------

TEST(CommandTable, PatternsInOrderWithTheEmptyEndEntry) {
  for (std::size_t i = 0; i < kScpiCommandCount; ++i) EXPECT_STREQ(kScpiCommandPatterns[i], kPatterns[i]) << i;
  EXPECT_STREQ(kScpiCommandPatterns[kScpiCommandCount], "");
  EXPECT_EQ(scpi_count_command_patterns(), 233u);
}

TEST(CommandTable, ParameterSlotsOfEveryCommand) {
  const auto expected = ExpectedSlots();
  ASSERT_EQ(expected.size(), 233u);
  for (const auto& [n, slots] : expected) {
    const ScpiParameterSpecRow& row = kScpiParameterSpecs[n];
    for (std::size_t s = 0; s < kScpiParameterSlots; ++s) {
      SCOPED_TRACE(std::string(kPatterns[n]) + " slot " + std::to_string(s));
      if (s >= slots.size()) {
        EXPECT_EQ(row[s].type, kScpiTypeNone);
        continue;
      }
      const Slot& e = slots[s];
      EXPECT_EQ(row[s].type, e.type);
      EXPECT_EQ((row[s].flags & kScpiSlotOptional) != 0, e.optional);
      EXPECT_EQ(row[s].booleanDefault, 0);
      const ScpiNumericDescriptor* number = nullptr;
      if (e.type == kScpiTypeChoice) {
        ASSERT_NE(row[s].choice, nullptr);
        EXPECT_EQ(std::string(row[s].choice->choices), e.choices);
        EXPECT_EQ(row[s].choice->defaultIndex, kScpiNoDefaultIndex);
        EXPECT_EQ(row[s].choice->alternativeType, e.alternative);
        if (e.alternative == kScpiAlternativeNumber) {
          number = row[s].choice->alternative;
          ASSERT_NE(number, nullptr);
        } else {
          EXPECT_EQ(row[s].choice->alternative, nullptr);
        }
      } else if (e.type == kScpiTypeNumber) {
        number = row[s].numeric;
        ASSERT_NE(number, nullptr);
      } else if (e.type == kScpiTypeChannelList) {
        ASSERT_NE(row[s].channelList, nullptr);
        EXPECT_EQ(row[s].channelList->flags, kScpiListRangeCheck);
        EXPECT_EQ(row[s].channelList->minDimensions, 1);
        EXPECT_EQ(row[s].channelList->maxDimensions, 6);
        EXPECT_EQ(row[s].channelList->minValue, 1);
        EXPECT_EQ(row[s].channelList->maxValue, 255);
      }
      if (number != nullptr) {
        EXPECT_EQ(number->defaultUnitClass, e.defaultClass);
        EXPECT_EQ(number->defaultExponent, 0);
        EXPECT_EQ(AllowedClasses(number), e.allowed);
      }
    }
  }
}

TEST(CommandTable, AttributeColumnsOfEveryCommand) {
  const auto expected = ExpectedAttributes();
  int queries = 0;
  int generic = 0;
  for (std::size_t n = 0; n < kScpiCommandCount; ++n) {
    SCOPED_TRACE(kPatterns[n]);
    const ScpiCommandAttributeRow& row = kScpiCommandAttributes[n];
    const Attributes& e = expected[n];
    EXPECT_EQ(static_cast<int>(row.query), e.query);
    EXPECT_EQ(static_cast<int>(row.allowedWhileLocked), e.locked);
    EXPECT_EQ(row.refusalKind, static_cast<std::uint32_t>(e.refusal));
    EXPECT_EQ(&row.nodeSuffix1, BoundPointer(e.node1));
    EXPECT_EQ(&row.nodeSuffix2, BoundPointer(e.node2));
    EXPECT_STREQ(row.unit, e.unit.c_str());
    EXPECT_EQ(row.fluxUnit, static_cast<std::uint32_t>(e.flux));
    EXPECT_EQ(static_cast<int>(row.statusRow), e.status);
    EXPECT_EQ(row.generic, static_cast<std::uint32_t>(e.generic));
    queries += row.query;
    generic += static_cast<int>(row.generic);
  }
  EXPECT_EQ(queries, 139);
  EXPECT_EQ(generic, 105);
}

TEST(CommandTable, GenericCommandsAreThoseListed) {
  const auto listed = Numbers("28-33, 35-57, 59, 61, 63-65, 67, 69, 70, 90, 91, 93, 95, 105, 108, 110, 112, 114, "
                              "132-145, 178, 180-184, 186-197, 199-207, 209, 210, 213-224, 226, 228, 229, 231");
  std::vector<int> generic;
  for (std::size_t n = 0; n < kScpiCommandCount; ++n) {
    if (kScpiCommandAttributes[n].generic) generic.push_back(static_cast<int>(n));
  }
  EXPECT_EQ(generic, listed);
  // The commands with a node whose own code runs after the generic handler.
  std::vector<int> ownCode;
  for (std::size_t n = 0; n < kScpiCommandCount; ++n) {
    const auto& row = kScpiCommandAttributes[n];
    if (&row.nodeSuffix1 != &g_node_none && !row.generic) ownCode.push_back(static_cast<int>(n));
  }
  EXPECT_EQ(ownCode, Numbers("60, 62, 66, 68, 94, 106, 109, 111, 113, 115, 225, 227, 232"));
  // The generic handler alone can execute only a command bound to a node.
  for (int n : generic) EXPECT_NE(&kScpiCommandAttributes[n].nodeSuffix1, &g_node_none) << kPatterns[n];
}

TEST(CommandTable, RowsReadTheBoundPointersAtEveryUse) {
  // The row refers to the pointer itself, so a rebinding of the tree is seen through the table.
  CParameterNode* const before = g_node_measure_parms_averaging_measurement_count;
  auto* fake = reinterpret_cast<CParameterNode*>(0x1234);
  g_node_measure_parms_averaging_measurement_count = fake;
  EXPECT_EQ(kScpiCommandAttributes[29].nodeSuffix2, fake);
  g_node_measure_parms_averaging_measurement_count = before;
  EXPECT_EQ(kScpiCommandAttributes[29].nodeSuffix2, before);
}

TEST(CommandTable, AccessorsReadTheRowOfTheRecord) {
  ScpiParsedCommand command;
  command.commandNumber = 12;  // *TST?
  EXPECT_TRUE(scpi_is_query(command));
  EXPECT_FALSE(scpi_is_allowed_while_locked(command));
  command.commandNumber = 21;  // STATus:OPERation:ENABle
  EXPECT_FALSE(scpi_is_query(command));
  EXPECT_TRUE(scpi_is_allowed_while_locked(command));
  EXPECT_EQ(scpi_status_row_after_command(command), 48);
  command.commandNumber = 7;  // *RST
  EXPECT_FALSE(scpi_is_allowed_while_locked(command));
  command.commandNumber = 250;  // outside the table
  EXPECT_FALSE(scpi_is_query(command));
  EXPECT_EQ(scpi_status_row_after_command(command), 0);
}

// ---- Every header in its short and long form ----------------------------------------------------------

// The short form: upper-case letters and literals, optional parts left out. The long form: every
// letter, optional parts included.
std::string ShortForm(const std::string& pattern) {
  std::string out;
  bool optional = false;
  for (char c : pattern) {
    if (c == '[') {
      optional = true;
    } else if (c == ']') {
      optional = false;
    } else if (!optional && c != '#' && !(c >= 'a' && c <= 'z')) {
      out += c;
    }
  }
  return out;
}

std::string LongForm(const std::string& pattern, const std::string& suffix) {
  std::string out;
  for (char c : pattern) {
    if (c == '#') {
      out += suffix;
    } else if (c != '[' && c != ']') {
      out += c;
    }
  }
  return out;
}

// A parameter text that the slots accept.
std::string SampleParameters(const std::vector<Slot>& slots) {
  std::string out;
  for (const Slot& s : slots) {
    if (s.optional) break;
    if (!out.empty()) out += ',';
    switch (s.type) {
      case 1: out += "1"; break;
      case 3: out += s.choices.substr(0, s.choices.find('|')); break;
      case 4: out += "'file'"; break;
      case 5: out += "text"; break;
      case 8: out += "(@1!2)"; break;
      case 9: out += "#13abc"; break;
      default: break;
    }
  }
  return out;
}

TEST(CommandTable, EveryHeaderResolvesToItsNumberInShortAndLongForm) {
  const auto slots = ExpectedSlots();
  for (int n = 0; n < 233; ++n) {
    const std::string pattern = kPatterns[n];
    const std::string parameters = SampleParameters(slots.at(n));
    const bool hasSuffix = pattern.find('#') != std::string::npos;
    std::string upper = LongForm(pattern, "");
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    std::vector<std::pair<std::string, std::uint32_t>> forms = {
        {ShortForm(pattern), 1}, {LongForm(pattern, ""), 1}, {upper, 1}};
    if (hasSuffix) forms.push_back({LongForm(pattern, "2"), 2});
    for (const auto& [header, suffix] : forms) {
      const std::string message = parameters.empty() ? header : header + " " + parameters;
      const auto parsed = test::ParseMessage(message);
      ASSERT_EQ(parsed.code, 0) << message;
      ASSERT_EQ(parsed.commands.size(), 1u) << message;
      EXPECT_EQ(parsed.commands[0].commandNumber, n) << message;
      EXPECT_EQ(parsed.commands[0].numericSuffix.has_value(), hasSuffix) << message;
      if (hasSuffix) {
        EXPECT_EQ(*parsed.commands[0].numericSuffix, suffix) << message;
      }
    }
  }
}

TEST(CommandTable, LongFormsGivenInPartMatchNothing) {
  // The long form without its last lower-case letter: a long form given only in part.
  for (int n = 0; n < 233; ++n) {
    const std::string longForm = LongForm(kPatterns[n], "");
    const std::size_t q = longForm.find_last_of("abcdefghijklmnopqrstuvwxyz");
    // A run of one lower-case letter without it is the short form; longer runs give a partial form.
    if (q == std::string::npos || q == 0 || !std::islower(static_cast<unsigned char>(longForm[q - 1]))) continue;
    const std::string header = longForm.substr(0, q) + longForm.substr(q + 1);
    EXPECT_EQ(test::ParseMessage(header).code, kScpiSyntax) << header;
  }
}

}  // namespace
}  // namespace Torvex
