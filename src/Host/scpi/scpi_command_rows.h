// The instrument's SCPI command set written once: TORVEX_SCPI_COMMAND_ROWS, one row per command in
// command-number order (the number is the row's index; it is fixed, and so are the patterns and
// attributes). Each row gives:
//
//   name        the command's name: kCmd<name> is its number (scpi_command_table.h);
//   pattern     the header pattern the engine matches; the first pattern that matches wins, so the
//               order decides which command a header selects;
//   parameters  the four parameter slots (a named slot row of scpi_command_table.cpp);
//   lock        kAnyClient: runs while another client holds the instrument lock; kOwnerOnly: refused then;
//   refusal     while a triggered measurement runs: kScpiRefuseNever, kScpiRefuseUnlessManualSearch
//               (refused unless the search mode is MANual) or kScpiRefuseAlways;
//   nodes       the bound node the command reads or writes (g_node_none for none); the three AVERage
//               pairs name the node for suffix 1 and the node for suffix 2;
//   unit        the unit after a query's value, and for flux rows the unit the node stores;
//   flux        kFlux: a field value converted between the stored unit and the unit UNIT selects;
//   status row  the settings-group row (eStatusBitRow) set after a change; kStatusRowNone for none;
//   execution   kGeneric: the generic parameter handler alone executes the command; kOwnCode: the
//               command's own code runs after it (it sets the node of a row with a node first);
//   handler     the host function with the command's own code; the generic rows share NoOwnCode.
//
// The scpi library makes its pattern, parameter and attribute tables and the kCmd names from this list
// (scpi_command_table.h/.cpp); the host library makes its handler table from it and defines the
// handlers (host/HostCommandHandlers.h). The columns only name things: each user expands the columns
// it needs, so the scpi library never sees a host name. A query is a row whose pattern ends in "?".
#pragma once

#include <cstdint>

namespace Torvex::scpi_row {

enum Lock : std::uint8_t { kOwnerOnly = 0, kAnyClient = 1 };
enum Flux : std::uint32_t { kNoFlux = 0, kFlux = 1 };
enum Execution : std::uint32_t { kOwnCode = 0, kGeneric = 1 };

}  // namespace Torvex::scpi_row

// X(name, pattern, parameters, lock, refusal,
//   nodes, unit, flux, status row, execution, handler)
// clang-format off
#define TORVEX_SCPI_COMMAND_ROWS(X) \
  X(Cls,                             "*CLS",                                    kNoParameters,              kAnyClient, kScpiRefuseNever,           \
      g_node_none,                                     "",    kNoFlux, kStatusRowNone,            kOwnCode, RunClearStatus)               /*   0 */ \
  X(Ese,                             "*ESE",                                    kNumber,                    kAnyClient, kScpiRefuseNever,           \
      g_node_none,                                     "",    kNoFlux, kStatusRowNone,            kOwnCode, RunStandardEventEnable)       /*   1 */ \
  X(EseQuery,                        "*ESE?",                                   kNoParameters,              kAnyClient, kScpiRefuseNever,           \
      g_node_none,                                     "",    kNoFlux, kStatusRowNone,            kOwnCode, RunStandardEventEnableQuery)  /*   2 */ \
  X(EsrQuery,                        "*ESR?",                                   kNoParameters,              kAnyClient, kScpiRefuseNever,           \
      g_node_none,                                     "",    kNoFlux, kStatusRowNone,            kOwnCode, RunStandardEventQuery)        /*   3 */ \
  X(IdnQuery,                        "*IDN?",                                   kNoParameters,              kAnyClient, kScpiRefuseNever,           \
      g_node_none,                                     "",    kNoFlux, kStatusRowNone,            kOwnCode, RunIdentify)                  /*   4 */ \
  X(Opc,                             "*OPC",                                    kNoParameters,              kAnyClient, kScpiRefuseNever,           \
      g_node_none,                                     "",    kNoFlux, kStatusRowNone,            kOwnCode, RunOperationComplete)         /*   5 */ \
  X(OpcQuery,                        "*OPC?",                                   kNoParameters,              kAnyClient, kScpiRefuseNever,           \
      g_node_none,                                     "",    kNoFlux, kStatusRowNone,            kOwnCode, RunOperationCompleteQuery)    /*   6 */ \
  X(Rst,                             "*RST",                                    kNoParameters,              kOwnerOnly, kScpiRefuseNever,           \
      g_node_none,                                     "",    kNoFlux, kStatusRowNone,            kOwnCode, RunReset)                     /*   7 */ \
  X(Sre,                             "*SRE",                                    kNumber,                    kAnyClient, kScpiRefuseNever,           \
      g_node_none,                                     "",    kNoFlux, kStatusRowNone,            kOwnCode, RunServiceRequestEnable)      /*   8 */ \
  X(SreQuery,                        "*SRE?",                                   kNoParameters,              kAnyClient, kScpiRefuseNever,           \
      g_node_none,                                     "",    kNoFlux, kStatusRowNone,            kOwnCode, RunServiceRequestEnableQuery) /*   9 */ \
  X(StbQuery,                        "*STB?",                                   kNoParameters,              kAnyClient, kScpiRefuseNever,           \
      g_node_none,                                     "",    kNoFlux, kStatusRowNone,            kOwnCode, RunStatusByteQuery)           /*  10 */ \
  X(Trg,                             "*TRG",                                    kNoParameters,              kOwnerOnly, kScpiRefuseNever,           \
      g_node_none,                                     "",    kNoFlux, kStatusRowNone,            kOwnCode, RunBusTrigger)                /*  11 */ \
  X(TstQuery,                        "*TST?",                                   kNoParameters,              kOwnerOnly, kScpiRefuseNever,           \
      g_node_none,                                     "",    kNoFlux, kStatusRowNone,            kOwnCode, RunSelfTestQuery)             /*  12 */ \
  X(Wai,                             "*WAI",                                    kNoParameters,              kAnyClient, kScpiRefuseNever,           \
      g_node_none,                                     "",    kNoFlux, kStatusRowNone,            kOwnCode, RunWait)                      /*  13 */ \
  X(ErrorQuery,                      "SYSTem:ERRor[:NEXT]?",                    kNoParameters,              kAnyClient, kScpiRefuseNever,           \
      g_node_none,                                     "",    kNoFlux, kStatusRowNone,            kOwnCode, RunErrorQuery)                /*  14 */ \
  X(VersionQuery,                    "SYSTem:VERSion?",                         kNoParameters,              kAnyClient, kScpiRefuseNever,           \
      g_node_none,                                     "",    kNoFlux, kStatusRowNone,            kOwnCode, RunVersionQuery)              /*  15 */ \
  X(HelpHeadersQuery,                "SYSTem:HELP:HEADers?",                    kNoParameters,              kAnyClient, kScpiRefuseNever,           \
      g_node_none,                                     "",    kNoFlux, kStatusRowNone,            kOwnCode, RunHelpHeaders)               /*  16 */ \
  X(HelpSyntaxQuery,                 "SYSTem:HELP:SYNTax?",                     kText,                      kAnyClient, kScpiRefuseNever,           \
      g_node_none,                                     "",    kNoFlux, kStatusRowNone,            kOwnCode, RunHelpSyntax)                /*  17 */ \
  X(OperationEventQuery,             "STATus:OPERation[:EVENt]?",               kNoParameters,              kAnyClient, kScpiRefuseNever,           \
      g_node_none,                                     "",    kNoFlux, kStatusRowNone,            kOwnCode, RunStatusRegister)            /*  18 */ \
  X(OperationConditionQuery,         "STATus:OPERation:CONDition?",             kNoParameters,              kAnyClient, kScpiRefuseNever,           \
      g_node_none,                                     "",    kNoFlux, kStatusRowNone,            kOwnCode, RunStatusRegister)            /*  19 */ \
  X(OperationEnableQuery,            "STATus:OPERation:ENABle?",                kNoParameters,              kAnyClient, kScpiRefuseNever,           \
      g_node_none,                                     "",    kNoFlux, kStatusRowNone,            kOwnCode, RunStatusRegister)            /*  20 */ \
  X(OperationEnable,                 "STATus:OPERation:ENABle",                 kNumber,                    kAnyClient, kScpiRefuseNever,           \
      g_node_none,                                     "",    kNoFlux, kStatusRowSettingsGroup1,  kOwnCode, RunStatusRegister)            /*  21 */ \
  X(QuestionableEventQuery,          "STATus:QUEStionable[:EVENt]?",            kNoParameters,              kAnyClient, kScpiRefuseNever,           \
      g_node_none,                                     "",    kNoFlux, kStatusRowNone,            kOwnCode, RunStatusRegister)            /*  22 */ \
  X(QuestionableConditionQuery,      "STATus:QUEStionable:CONDition?",          kNoParameters,              kAnyClient, kScpiRefuseNever,           \
      g_node_none,                                     "",    kNoFlux, kStatusRowNone,            kOwnCode, RunStatusRegister)            /*  23 */ \
  X(QuestionableEnableQuery,         "STATus:QUEStionable:ENABle?",             kNoParameters,              kAnyClient, kScpiRefuseNever,           \
      g_node_none,                                     "",    kNoFlux, kStatusRowNone,            kOwnCode, RunStatusRegister)            /*  24 */ \
  X(QuestionableEnable,              "STATus:QUEStionable:ENABle",              kNumber,                    kAnyClient, kScpiRefuseNever,           \
      g_node_none,                                     "",    kNoFlux, kStatusRowSettingsGroup1,  kOwnCode, RunStatusRegister)            /*  25 */ \
  X(StatusPreset,                    "STATus:PRESet",                           kNoParameters,              kAnyClient, kScpiRefuseNever,           \
      g_node_none,                                     "",    kNoFlux, kStatusRowNone,            kOwnCode, RunStatusPreset)              /*  26 */ \
  X(Abort,                           "ABORt",                                   kNoParameters,              kOwnerOnly, kScpiRefuseNever,           \
      g_node_none,                                     "",    kNoFlux, kStatusRowNone,            kOwnCode, RunAbort)                     /*  27 */ \
  X(AverageCountQuery,               "[CALCulate:]AVERage#:COUNt?",             kOptionalMinMaxDef,         kAnyClient, kScpiRefuseNever,           \
      kAveragingCountNodes,                            "",    kNoFlux, kStatusRowNone,            kGeneric, NoOwnCode)                    /*  28 */ \
  X(AverageCount,                    "[CALCulate:]AVERage#:COUNt",              kMinMaxDefOrNumber,         kOwnerOnly, kScpiRefuseAlways,          \
      kAveragingCountNodes,                            "",    kNoFlux, kStatusRowSettingsGroup11, kGeneric, NoOwnCode)                    /*  29 */ \
  X(AverageStateQuery,               "[CALCulate:]AVERage#[:STATe]?",           kOptionalDefault,           kAnyClient, kScpiRefuseNever,           \
      kAveragingStateNodes,                            "",    kNoFlux, kStatusRowNone,            kGeneric, NoOwnCode)                    /*  30 */ \
  X(AverageState,                    "[CALCulate:]AVERage#[:STATe]",            kDefaultOrBoolean,          kOwnerOnly, kScpiRefuseAlways,          \
      kAveragingStateNodes,                            "",    kNoFlux, kStatusRowSettingsGroup11, kGeneric, NoOwnCode)                    /*  31 */ \
  X(AverageTControlQuery,            "[CALCulate:]AVERage#:TCONtrol?",          kNoParameters,              kAnyClient, kScpiRefuseNever,           \
      kAveragingTypeNodes,                             "",    kNoFlux, kStatusRowNone,            kGeneric, NoOwnCode)                    /*  32 */ \
  X(AverageTControl,                 "[CALCulate:]AVERage#:TCONtrol",           kAveragingType,             kOwnerOnly, kScpiRefuseAlways,          \
      kAveragingTypeNodes,                             "",    kNoFlux, kStatusRowSettingsGroup11, kGeneric, NoOwnCode)                    /*  33 */ \
  X(ConfigureQuery,                  "CONFigure?",                              kNoParameters,              kAnyClient, kScpiRefuseNever,           \
      g_node_none,                                     "",    kNoFlux, kStatusRowNone,            kOwnCode, RunConfigureQuery)            /*  34 */ \
  X(MeasurementModeQuery,            "CONFigure[:MEASure]:MODE?",               kNoParameters,              kAnyClient, kScpiRefuseNever,           \
      g_node_measure_parms_measurement_mode,           "",    kNoFlux, kStatusRowNone,            kGeneric, NoOwnCode)                    /*  35 */ \
  X(MeasurementMode,                 "CONFigure[:MEASure]:MODE",                kAutoManual,                kOwnerOnly, kScpiRefuseAlways,          \
      g_node_measure_parms_measurement_mode,           "",    kNoFlux, kStatusRowSettingsGroup4,  kGeneric, NoOwnCode)                    /*  36 */ \
  X(MeasurementRejectQuery,          "CONFigure[:MEASure]:REJect?",             kOptionalDefault,           kAnyClient, kScpiRefuseNever,           \
      g_node_measure_parms_measurement_reject,         "",    kNoFlux, kStatusRowNone,            kGeneric, NoOwnCode)                    /*  37 */ \
  X(MeasurementReject,               "CONFigure[:MEASure]:REJect",              kDefaultOrBoolean,          kOwnerOnly, kScpiRefuseAlways,          \
      g_node_measure_parms_measurement_reject,         "",    kNoFlux, kStatusRowSettingsGroup4,  kGeneric, NoOwnCode)                    /*  38 */ \
  X(MeasurementLevelQuery,           "CONFigure[:MEASure]:LEVel?",              kOptionalMinMaxDef,         kAnyClient, kScpiRefuseNever,           \
      g_node_measure_parms_measurement_level,          "V",   kNoFlux, kStatusRowNone,            kGeneric, NoOwnCode)                    /*  39 */ \
  X(MeasurementLevel,                "CONFigure[:MEASure]:LEVel",               kMinMaxDefOrVolt,           kOwnerOnly, kScpiRefuseAlways,          \
      g_node_measure_parms_measurement_level,          "V",   kNoFlux, kStatusRowSettingsGroup4,  kGeneric, NoOwnCode)                    /*  40 */ \
  X(MeasurementBandwidthQuery,       "CONFigure[:MEASure]:BANDwidth?",          kOptionalMinMaxDef,         kAnyClient, kScpiRefuseNever,           \
      g_node_measure_parms_measurement_bandwidth,      "HZ",  kNoFlux, kStatusRowNone,            kGeneric, NoOwnCode)                    /*  41 */ \
  X(MeasurementBandwidth,            "CONFigure[:MEASure]:BANDwidth",           kMinMaxDefOrHertz,          kOwnerOnly, kScpiRefuseAlways,          \
      g_node_measure_parms_measurement_bandwidth,      "HZ",  kNoFlux, kStatusRowSettingsGroup4,  kGeneric, NoOwnCode)                    /*  42 */ \
  X(MeasurementPointsQuery,          "CONFigure[:MEASure]:POINts?",             kOptionalMinMaxDef,         kAnyClient, kScpiRefuseNever,           \
      g_node_measure_parms_measurement_points,         "",    kNoFlux, kStatusRowNone,            kGeneric, NoOwnCode)                    /*  43 */ \
  X(MeasurementPoints,               "CONFigure[:MEASure]:POINts",              kMinMaxDefOrNumber,         kOwnerOnly, kScpiRefuseAlways,          \
      g_node_measure_parms_measurement_points,         "",    kNoFlux, kStatusRowSettingsGroup4,  kGeneric, NoOwnCode)                    /*  44 */ \
  X(MeasurementHysteresisQuery,      "CONFigure[:MEASure]:HYSTeresis?",         kOptionalMinMaxDef,         kAnyClient, kScpiRefuseNever,           \
      g_node_measure_parms_measurement_hysteresis,     "",    kNoFlux, kStatusRowNone,            kGeneric, NoOwnCode)                    /*  45 */ \
  X(MeasurementHysteresis,           "CONFigure[:MEASure]:HYSTeresis",          kMinMaxDefOrNumber,         kOwnerOnly, kScpiRefuseAlways,          \
      g_node_measure_parms_measurement_hysteresis,     "",    kNoFlux, kStatusRowSettingsGroup4,  kGeneric, NoOwnCode)                    /*  46 */ \
  X(ProbeModeQuery,                  "CONFigure:PROBe:MODE?",                   kNoParameters,              kAnyClient, kScpiRefuseNever,           \
      g_node_measure_parms_probe_matching_tuning_mode, "",    kNoFlux, kStatusRowNone,            kGeneric, NoOwnCode)                    /*  47 */ \
  X(ProbeMode,                       "CONFigure:PROBe:MODE",                    kAutoManual,                kOwnerOnly, kScpiRefuseUnlessManualSearch, \
      g_node_measure_parms_probe_matching_tuning_mode, "",    kNoFlux, kStatusRowSettingsGroup4,  kGeneric, NoOwnCode)                    /*  48 */ \
  X(ProbeMatchingQuery,              "CONFigure:PROBe:MATChing?",               kOptionalMinMaxDef,         kAnyClient, kScpiRefuseNever,           \
      g_node_measure_parms_probe_matching,             "V",   kNoFlux, kStatusRowNone,            kGeneric, NoOwnCode)                    /*  49 */ \
  X(ProbeMatching,                   "CONFigure:PROBe:MATChing",                kMinMaxDefOrVolt,           kOwnerOnly, kScpiRefuseUnlessManualSearch, \
      g_node_measure_parms_probe_matching,             "V",   kNoFlux, kStatusRowSettingsGroup4,  kGeneric, NoOwnCode)                    /*  50 */ \
  X(ProbeTuningQuery,                "CONFigure:PROBe:TUNing?",                 kOptionalMinMaxDef,         kAnyClient, kScpiRefuseNever,           \
      g_node_measure_parms_probe_tuning,               "V",   kNoFlux, kStatusRowNone,            kGeneric, NoOwnCode)                    /*  51 */ \
  X(ProbeTuning,                     "CONFigure:PROBe:TUNing",                  kMinMaxDefOrVolt,           kOwnerOnly, kScpiRefuseUnlessManualSearch, \
      g_node_measure_parms_probe_tuning,               "V",   kNoFlux, kStatusRowSettingsGroup4,  kGeneric, NoOwnCode)                    /*  52 */ \
  X(SearchLevelQuery,                "CONFigure:SEARch:LEVel?",                 kOptionalMinMaxDef,         kAnyClient, kScpiRefuseNever,           \
      g_node_measure_parms_search_level,               "V",   kNoFlux, kStatusRowNone,            kGeneric, NoOwnCode)                    /*  53 */ \
  X(SearchLevel,                     "CONFigure:SEARch:LEVel",                  kMinMaxDefOrVolt,           kOwnerOnly, kScpiRefuseAlways,          \
      g_node_measure_parms_search_level,               "V",   kNoFlux, kStatusRowSettingsGroup4,  kGeneric, NoOwnCode)                    /*  54 */ \
  X(SearchStepQuery,                 "CONFigure:SEARch:FSTEp?",                 kOptionalMinMaxDef,         kAnyClient, kScpiRefuseNever,           \
      g_node_measure_parms_search_fstep,               "Hz",  kNoFlux, kStatusRowNone,            kGeneric, NoOwnCode)                    /*  55 */ \
  X(SearchStep,                      "CONFigure:SEARch:FSTEp",                  kMinMaxDefOrHertz,          kOwnerOnly, kScpiRefuseAlways,          \
      g_node_measure_parms_search_fstep,               "Hz",  kNoFlux, kStatusRowSettingsGroup4,  kGeneric, NoOwnCode)                    /*  56 */ \
  X(SearchModeQuery,                 "CONFigure:SEARch:MODE?",                  kNoParameters,              kAnyClient, kScpiRefuseNever,           \
      g_node_measure_parms_search_mode,                "",    kNoFlux, kStatusRowNone,            kGeneric, NoOwnCode)                    /*  57 */ \
  X(SearchMode,                      "CONFigure:SEARch:MODE",                   kSearchMode,                kOwnerOnly, kScpiRefuseUnlessManualSearch, \
      g_node_none,                                     "",    kNoFlux, kStatusRowNone,            kOwnCode, RunSearchMode)                /*  58 */ \
  X(SearchHighQuery,                 "CONFigure:SEARch[:LIMit]:HIGH?",          kOptionalMinMaxDef,         kAnyClient, kScpiRefuseNever,           \
      g_node_measure_parms_search_high,                "T",   kFlux,   kStatusRowNone,            kGeneric, NoOwnCode)                    /*  59 */ \
  X(SearchHigh,                      "CONFigure:SEARch[:LIMit]:HIGH",           kMinMaxDefOrField,          kOwnerOnly, kScpiRefuseAlways,          \
      g_node_measure_parms_search_high,                "T",   kFlux,   kStatusRowSettingsGroup4,  kOwnCode, RunSearchHighLimit)           /*  60 */ \
  X(SearchLowQuery,                  "CONFigure:SEARch[:LIMit]:LOW?",           kOptionalMinMaxDef,         kAnyClient, kScpiRefuseNever,           \
      g_node_measure_parms_search_low,                 "T",   kFlux,   kStatusRowNone,            kGeneric, NoOwnCode)                    /*  61 */ \
  X(SearchLow,                       "CONFigure:SEARch[:LIMit]:LOW",            kMinMaxDefOrField,          kOwnerOnly, kScpiRefuseAlways,          \
      g_node_measure_parms_search_low,                 "T",   kFlux,   kStatusRowSettingsGroup4,  kOwnCode, RunSearchLowLimit)            /*  62 */ \
  X(SearchValueQuery,                "CONFigure:SEARch[:LIMit]:VALue?",         kOptionalMinMaxDef,         kAnyClient, kScpiRefuseNever,           \
      g_node_measure_parms_search_value,               "T",   kFlux,   kStatusRowNone,            kGeneric, NoOwnCode)                    /*  63 */ \
  X(SearchValue,                     "CONFigure:SEARch[:LIMit]:VALue",          kMinMaxDefOrField,          kOwnerOnly, kScpiRefuseUnlessManualSearch, \
      g_node_measure_parms_search_value,               "T",   kFlux,   kStatusRowSettingsGroup4,  kGeneric, NoOwnCode)                    /*  64 */ \
  X(TrackingHighQuery,               "CONFigure:TRACking[:LIMit]:HIGH?",        kOptionalMinMaxDef,         kAnyClient, kScpiRefuseNever,           \
      g_node_measure_parms_tracking_max_freq,          "HZ",  kNoFlux, kStatusRowNone,            kGeneric, NoOwnCode)                    /*  65 */ \
  X(TrackingHigh,                    "CONFigure:TRACking[:LIMit]:HIGH",         kMinMaxDefOrHertz,          kOwnerOnly, kScpiRefuseAlways,          \
      g_node_measure_parms_tracking_max_freq,          "HZ",  kNoFlux, kStatusRowSettingsGroup4,  kOwnCode, RunTrackingHighLimit)         /*  66 */ \
  X(TrackingLowQuery,                "CONFigure:TRACking[:LIMit]:LOW?",         kOptionalMinMaxDef,         kAnyClient, kScpiRefuseNever,           \
      g_node_measure_parms_tracking_min_freq,          "HZ",  kNoFlux, kStatusRowNone,            kGeneric, NoOwnCode)                    /*  67 */ \
  X(TrackingLow,                     "CONFigure:TRACking[:LIMit]:LOW",          kMinMaxDefOrHertz,          kOwnerOnly, kScpiRefuseAlways,          \
      g_node_measure_parms_tracking_min_freq,          "HZ",  kNoFlux, kStatusRowSettingsGroup4,  kOwnCode, RunTrackingLowLimit)          /*  68 */ \
  X(TrackingHysteresisQuery,         "CONFigure:TRACking:HYSTeresis?",          kOptionalMinMaxDef,         kAnyClient, kScpiRefuseNever,           \
      g_node_measure_parms_tracking_hysteresis,        "",    kNoFlux, kStatusRowNone,            kGeneric, NoOwnCode)                    /*  69 */ \
  X(TrackingHysteresis,              "CONFigure:TRACking:HYSTeresis",           kMinMaxDefOrNumber,         kOwnerOnly, kScpiRefuseAlways,          \
      g_node_measure_parms_tracking_hysteresis,        "",    kNoFlux, kStatusRowSettingsGroup4,  kGeneric, NoOwnCode)                    /*  70 */ \
  X(Upgrade,                         "DIAGnostic:UPGRade[:INITiate]",           kNoParameters,              kOwnerOnly, kScpiRefuseNever,           \
      g_node_none,                                     "",    kNoFlux, kStatusRowNone,            kOwnCode, RunUpgrade)                   /*  71 */ \
  X(FetchFluxQuery,                  "FETCh[:SCALar][:FLUX]?",                  kOptionalMinMaxDefOrNumber, kAnyClient, kScpiRefuseNever,           \
      g_node_none,                                     "T",   kFlux,   kStatusRowNone,            kOwnCode, RunFetch)                     /*  72 */ \
  X(FetchSigmaQuery,                 "FETCh[:SCALar]:SIGMa?",                   kOptionalMinMaxDefOrNumber, kAnyClient, kScpiRefuseNever,           \
      g_node_none,                                     "PPM", kNoFlux, kStatusRowNone,            kOwnCode, RunFetch)                     /*  73 */ \
  X(FetchUniformityQuery,            "FETCh[:SCALar]:UNIFormity?",              kOptionalMinMaxDefOrNumber, kAnyClient, kScpiRefuseNever,           \
      g_node_none,                                     "",    kNoFlux, kStatusRowNone,            kOwnCode, RunFetch)                     /*  74 */ \
  X(FetchChannelQuery,               "FETCh[:SCALar]:CHANnel?",                 kNoParameters,              kAnyClient, kScpiRefuseNever,           \
      g_node_none,                                     "",    kNoFlux, kStatusRowNone,            kOwnCode, RunFetch)                     /*  75 */ \
  X(FetchTimestampQuery,             "FETCh[:SCALar]:TIMestamp?",               kNoParameters,              kAnyClient, kScpiRefuseNever,           \
      g_node_none,                                     "MS",  kNoFlux, kStatusRowNone,            kOwnCode, RunFetch)                     /*  76 */ \
  X(FetchIfFrequencyQuery,           "FETCh[:SCALar]:IFRequency?",              kOptionalMinMaxDefOrNumber, kAnyClient, kScpiRefuseNever,           \
      g_node_none,                                     "HZ",  kNoFlux, kStatusRowNone,            kOwnCode, RunFetch)                     /*  77 */ \
  X(FetchRelaxationQuery,            "FETCh[:SCALar]:RELaxation?",              kOptionalMinMaxDefOrNumber, kAnyClient, kScpiRefuseNever,           \
      g_node_none,                                     "S",   kNoFlux, kStatusRowNone,            kOwnCode, RunFetch)                     /*  78 */ \
  X(FetchRfFrequencyQuery,           "FETCh[:SCALar]:RFFRequency?",             kOptionalMinMaxDefOrNumber, kAnyClient, kScpiRefuseNever,           \
      g_node_none,                                     "HZ",  kNoFlux, kStatusRowNone,            kOwnCode, RunFetch)                     /*  79 */ \
  X(FetchSearchProgressQuery,        "FETCh[:SCALar]:SPRogress?",               kNoParameters,              kAnyClient, kScpiRefuseNever,           \
      g_node_none,                                     "%",   kNoFlux, kStatusRowNone,            kOwnCode, RunFetch)                     /*  80 */ \
  X(FetchArrayFluxQuery,             "FETCh:ARRay[:FLUX]?",                     kCountAndDecimals,          kAnyClient, kScpiRefuseNever,           \
      g_node_none,                                     "T",   kFlux,   kStatusRowNone,            kOwnCode, RunFetch)                     /*  81 */ \
  X(FetchArraySigmaQuery,            "FETCh:ARRay:SIGMa?",                      kCountAndDecimals,          kAnyClient, kScpiRefuseNever,           \
      g_node_none,                                     "PPM", kNoFlux, kStatusRowNone,            kOwnCode, RunFetch)                     /*  82 */ \
  X(FetchArrayUniformityQuery,       "FETCh:ARRay:UNIFormity?",                 kCountAndDecimals,          kAnyClient, kScpiRefuseNever,           \
      g_node_none,                                     "",    kNoFlux, kStatusRowNone,            kOwnCode, RunFetch)                     /*  83 */ \
  X(FetchArrayChannelQuery,          "FETCh:ARRay:CHANnel?",                    kMinMaxDefOrNumber,         kAnyClient, kScpiRefuseNever,           \
      g_node_none,                                     "",    kNoFlux, kStatusRowNone,            kOwnCode, RunFetch)                     /*  84 */ \
  X(FetchArrayTimestampQuery,        "FETCh:ARRay:TIMestamp?",                  kMinMaxDefOrNumber,         kAnyClient, kScpiRefuseNever,           \
      g_node_none,                                     "MS",  kNoFlux, kStatusRowNone,            kOwnCode, RunFetch)                     /*  85 */ \
  X(FetchArrayNmrSignalQuery,        "FETCh:ARRay:NMRSignal?",                  kMinMaxDefOrNumber,         kAnyClient, kScpiRefuseNever,           \
      g_node_none,                                     "",    kNoFlux, kStatusRowNone,            kOwnCode, RunFetch)                     /*  86 */ \
  X(FetchArrayFftBufferQuery,        "FETCh:ARRay:FFTBuffer?",                  kMinMaxDefOrNumber,         kAnyClient, kScpiRefuseNever,           \
      g_node_none,                                     "",    kNoFlux, kStatusRowNone,            kOwnCode, RunFetch)                     /*  87 */ \
  X(FetchArraySpectrumQuery,         "FETCh:ARRay:SPECtrum?",                   kMinMaxDefOrNumber,         kAnyClient, kScpiRefuseNever,           \
      g_node_none,                                     "",    kNoFlux, kStatusRowNone,            kOwnCode, RunFetch)                     /*  88 */ \
  X(FetchArrayFitQuery,              "FETCh:ARRay:FIT?",                        kMinMaxDefOrNumber,         kAnyClient, kScpiRefuseNever,           \
      g_node_none,                                     "",    kNoFlux, kStatusRowNone,            kOwnCode, RunFetch)                     /*  89 */ \
  X(FormatQuery,                     "FORMat[:DATA]?",                          kNoParameters,              kAnyClient, kScpiRefuseNever,           \
      g_node_host_if_parameters_format,                "",    kNoFlux, kStatusRowNone,            kGeneric, NoOwnCode)                    /*  90 */ \
  X(Format,                          "FORMat[:DATA]",                           kDataFormat,                kOwnerOnly, kScpiRefuseNever,           \
      g_node_host_if_parameters_format,                "",    kNoFlux, kStatusRowSettingsGroup12, kGeneric, NoOwnCode)                    /*  91 */ \
  X(Initiate,                        "INITiate[:IMMediate][:ALL]",              kNoParameters,              kOwnerOnly, kScpiRefuseAlways,          \
      g_node_none,                                     "",    kNoFlux, kStatusRowNone,            kOwnCode, RunInitiate)                  /*  92 */ \
  X(InitiateContinuousQuery,         "INITiate[:IMMediate]:CONTinuous?",        kOptionalDefault,           kAnyClient, kScpiRefuseNever,           \
      g_node_trigger_parms_trigger_in_continuous,      "",    kNoFlux, kStatusRowNone,            kGeneric, NoOwnCode)                    /*  93 */ \
  X(InitiateContinuous,              "INITiate[:IMMediate]:CONTinuous",         kDefaultOrBoolean,          kOwnerOnly, kScpiRefuseNever,           \
      g_node_trigger_parms_trigger_in_continuous,      "",    kNoFlux, kStatusRowNone,            kOwnCode, RunInitiateContinuous)        /*  94 */ \
  X(ClockSourceQuery,                "INPut:CLOCk[:SOURce]?",                   kNoParameters,              kAnyClient, kScpiRefuseNever,           \
      g_node_ref_clock_parms_mode,                     "",    kNoFlux, kStatusRowNone,            kGeneric, NoOwnCode)                    /*  95 */ \
  X(ClockSource,                     "INPut:CLOCk[:SOURce]",                    kClockSource,               kOwnerOnly, kScpiRefuseAlways,          \
      g_node_none,                                     "",    kNoFlux, kStatusRowSettingsGroup6,  kOwnCode, RunReferenceClock)            /*  96 */ \
  X(MeasureQuery,                    "MEASure[:SCALar][:FLUX]?",                kMeasure,                   kOwnerOnly, kScpiRefuseNever,           \
      g_node_none,                                     "T",   kFlux,   kStatusRowNone,            kOwnCode, RunMeasure)                   /*  97 */ \
  X(MeasureArrayQuery,               "MEASure:ARRay[:FLUX]?",                   kMeasureArray,              kOwnerOnly, kScpiRefuseNever,           \
      g_node_none,                                     "T",   kFlux,   kStatusRowNone,            kOwnCode, RunMeasureArray)              /*  98 */ \
  X(MemoryCatalogQuery,              "MMEMory[:CATalog]?",                      kNoParameters,              kAnyClient, kScpiRefuseNever,           \
      g_node_none,                                     "",    kNoFlux, kStatusRowNone,            kOwnCode, RunCatalog)                   /*  99 */ \
  X(MemoryDataQuery,                 "MMEMory:DATA?",                           kQuotedString,              kAnyClient, kScpiRefuseNever,           \
      g_node_none,                                     "",    kNoFlux, kStatusRowNone,            kOwnCode, RunFileDataQuery)             /* 100 */ \
  X(MemoryData,                      "MMEMory:DATA",                            kFileData,                  kOwnerOnly, kScpiRefuseAlways,          \
      g_node_none,                                     "",    kNoFlux, kStatusRowSettingsGroup3,  kOwnCode, RunFileData)                  /* 101 */ \
  X(MemoryDelete,                    "MMEMory:DELete",                          kQuotedString,              kOwnerOnly, kScpiRefuseAlways,          \
      g_node_none,                                     "",    kNoFlux, kStatusRowSettingsGroup3,  kOwnCode, RunFileDelete)                /* 102 */ \
  X(MemoryLoad,                      "MMEMory:LOAD[:STATe]",                    kLoadSettings,              kOwnerOnly, kScpiRefuseAlways,          \
      g_node_none,                                     "",    kNoFlux, kStatusRowSettingsGroup2,  kOwnCode, RunLoadSettings)              /* 103 */ \
  X(MemoryStore,                     "MMEMory:STORe[:STATe]",                   kStoreSettings,             kOwnerOnly, kScpiRefuseAlways,          \
      g_node_none,                                     "",    kNoFlux, kStatusRowSettingsGroup3,  kOwnCode, RunStoreSettings)             /* 104 */ \
  X(OutputStateQuery,                "OUTPut[:TRIGger][:STATe]?",               kOptionalDefault,           kAnyClient, kScpiRefuseNever,           \
      g_node_trigger_parms_trigger_out_state,          "",    kNoFlux, kStatusRowNone,            kGeneric, NoOwnCode)                    /* 105 */ \
  X(OutputState,                     "OUTPut[:TRIGger][:STATe]",                kDefaultOrBoolean,          kOwnerOnly, kScpiRefuseAlways,          \
      g_node_trigger_parms_trigger_out_state,          "",    kNoFlux, kStatusRowSettingsGroup7,  kOwnCode, RunTriggerOutput)             /* 106 */ \
  X(OutputImmediate,                 "OUTPut[:TRIGger]:IMMediate",              kNoParameters,              kOwnerOnly, kScpiRefuseAlways,          \
      g_node_none,                                     "",    kNoFlux, kStatusRowNone,            kOwnCode, RunTriggerOutputPulse)        /* 107 */ \
  X(OutputShapeQuery,                "OUTPut[:TRIGger]:SHAPe?",                 kOptionalDefault,           kAnyClient, kScpiRefuseNever,           \
      g_node_trigger_parms_trigger_out_shape,          "",    kNoFlux, kStatusRowNone,            kGeneric, NoOwnCode)                    /* 108 */ \
  X(OutputShape,                     "OUTPut[:TRIGger]:SHAPe",                  kPulseShape,                kOwnerOnly, kScpiRefuseAlways,          \
      g_node_trigger_parms_trigger_out_shape,          "",    kNoFlux, kStatusRowSettingsGroup7,  kOwnCode, RunTriggerOutput)             /* 109 */ \
  X(OutputPolarityQuery,             "OUTPut[:TRIGger]:POLarity?",              kOptionalDefault,           kAnyClient, kScpiRefuseNever,           \
      g_node_trigger_parms_trigger_out_polarity,       "",    kNoFlux, kStatusRowNone,            kGeneric, NoOwnCode)                    /* 110 */ \
  X(OutputPolarity,                  "OUTPut[:TRIGger]:POLarity",               kPolarity,                  kOwnerOnly, kScpiRefuseAlways,          \
      g_node_trigger_parms_trigger_out_polarity,       "",    kNoFlux, kStatusRowSettingsGroup7,  kOwnCode, RunTriggerOutput)             /* 111 */ \
  X(OutputWidthQuery,                "OUTPut[:TRIGger]:WIDTh?",                 kOptionalMinMaxDef,         kAnyClient, kScpiRefuseNever,           \
      g_node_trigger_parms_trigger_out_width,          "S",   kNoFlux, kStatusRowNone,            kGeneric, NoOwnCode)                    /* 112 */ \
  X(OutputWidth,                     "OUTPut[:TRIGger]:WIDTh",                  kMinMaxInfDefOrSecond,      kOwnerOnly, kScpiRefuseAlways,          \
      g_node_trigger_parms_trigger_out_width,          "S",   kNoFlux, kStatusRowSettingsGroup7,  kOwnCode, RunTriggerOutput)             /* 113 */ \
  X(OutputDelayQuery,                "OUTPut[:TRIGger]:DELay?",                 kOptionalMinMaxDef,         kAnyClient, kScpiRefuseNever,           \
      g_node_trigger_parms_trigger_out_delay,          "S",   kNoFlux, kStatusRowNone,            kGeneric, NoOwnCode)                    /* 114 */ \
  X(OutputDelay,                     "OUTPut[:TRIGger]:DELay",                  kMinMaxDefOrSecond,         kOwnerOnly, kScpiRefuseAlways,          \
      g_node_trigger_parms_trigger_out_delay,          "S",   kNoFlux, kStatusRowSettingsGroup7,  kOwnCode, RunTriggerOutput)             /* 115 */ \
  X(ReadQuery,                       "READ[:SCALar][:FLUX]?",                   kMeasure,                   kOwnerOnly, kScpiRefuseNever,           \
      g_node_none,                                     "T",   kNoFlux, kStatusRowNone,            kOwnCode, RunRead)                      /* 116 */ \
  X(ReadArrayQuery,                  "READ:ARRay[:FLUX]?",                      kMeasureArray,              kOwnerOnly, kScpiRefuseNever,           \
      g_node_none,                                     "T",   kNoFlux, kStatusRowNone,            kOwnCode, RunReadArray)                 /* 117 */ \
  X(RouteClose,                      "ROUTe:CLOSe",                             kChannelList,               kOwnerOnly, kScpiRefuseAlways,          \
      g_node_none,                                     "",    kNoFlux, kStatusRowSettingsGroup5,  kOwnCode, RunRouteClose)                /* 118 */ \
  X(RouteCloseStateQuery,            "ROUTe:CLOSe:STATe?",                      kNoParameters,              kAnyClient, kScpiRefuseNever,           \
      g_node_none,                                     "",    kNoFlux, kStatusRowNone,            kOwnCode, RunRouteCloseState)           /* 119 */ \
  X(RouteCloseActiveQuery,           "ROUTe:CLOSe:ACTive?",                     kNoParameters,              kAnyClient, kScpiRefuseNever,           \
      g_node_none,                                     "",    kNoFlux, kStatusRowNone,            kOwnCode, RunRouteCloseActive)          /* 120 */ \
  X(RouteProbeModelQuery,            "ROUTe:PROBe:MODel?",                      kChannelList,               kAnyClient, kScpiRefuseNever,           \
      g_node_none,                                     "",    kNoFlux, kStatusRowNone,            kOwnCode, RunProbeInfo)                 /* 121 */ \
  X(RouteProbeSerialQuery,           "ROUTe:PROBe:SERialno?",                   kChannelList,               kAnyClient, kScpiRefuseNever,           \
      g_node_none,                                     "",    kNoFlux, kStatusRowNone,            kOwnCode, RunProbeInfo)                 /* 122 */ \
  X(RouteProbeDesignationQuery,      "ROUTe:PROBe:DESignation?",                kChannelList,               kAnyClient, kScpiRefuseNever,           \
      g_node_none,                                     "",    kNoFlux, kStatusRowNone,            kOwnCode, RunProbeInfo)                 /* 123 */ \
  X(RouteProbeMinimumQuery,          "ROUTe:PROBe:MINimum?",                    kChannelList,               kAnyClient, kScpiRefuseNever,           \
      g_node_none,                                     "T",   kFlux,   kStatusRowNone,            kOwnCode, RunProbeInfo)                 /* 124 */ \
  X(RouteProbeMaximumQuery,          "ROUTe:PROBe:MAXimum?",                    kChannelList,               kAnyClient, kScpiRefuseNever,           \
      g_node_none,                                     "T",   kFlux,   kStatusRowNone,            kOwnCode, RunProbeInfo)                 /* 125 */ \
  X(RouteProbeScanQuery,             "ROUTe:PROBe:SCAN?",                       kNoParameters,              kAnyClient, kScpiRefuseNever,           \
      g_node_none,                                     "",    kNoFlux, kStatusRowNone,            kOwnCode, RunProbeScan)                 /* 126 */ \
  X(RouteHallTotalQuery,             "ROUTe:PROBe:HALL[:TOTal]?",               kNoParameters,              kAnyClient, kScpiRefuseNever,           \
      g_node_none,                                     "T",   kFlux,   kStatusRowNone,            kOwnCode, RunProbeHall)                 /* 127 */ \
  X(RouteHallXQuery,                 "ROUTe:PROBe:HALL:X?",                     kNoParameters,              kAnyClient, kScpiRefuseNever,           \
      g_node_none,                                     "T",   kFlux,   kStatusRowNone,            kOwnCode, RunProbeHall)                 /* 128 */ \
  X(RouteHallYQuery,                 "ROUTe:PROBe:HALL:Y?",                     kNoParameters,              kAnyClient, kScpiRefuseNever,           \
      g_node_none,                                     "T",   kFlux,   kStatusRowNone,            kOwnCode, RunProbeHall)                 /* 129 */ \
  X(RouteHallZQuery,                 "ROUTe:PROBe:HALL:Z?",                     kNoParameters,              kAnyClient, kScpiRefuseNever,           \
      g_node_none,                                     "T",   kFlux,   kStatusRowNone,            kOwnCode, RunProbeHall)                 /* 130 */ \
  X(RouteLowLevelQuery,              "ROUTe:PROBe:LOWLevel?",                   kBlock,                     kOwnerOnly, kScpiRefuseNever,           \
      g_node_none,                                     "",    kNoFlux, kStatusRowNone,            kOwnCode, RunLowLevel)                  /* 131 */ \
  X(SweepModeQuery,                  "[SENSe:]SWEep[:MODE]?",                   kNoParameters,              kAnyClient, kScpiRefuseNever,           \
      g_node_measure_parms_sample_mode,                "",    kNoFlux, kStatusRowNone,            kGeneric, NoOwnCode)                    /* 132 */ \
  X(SweepMode,                       "[SENSe:]SWEep[:MODE]",                    kAutoManual,                kOwnerOnly, kScpiRefuseAlways,          \
      g_node_measure_parms_sample_mode,                "",    kNoFlux, kStatusRowSettingsGroup8,  kGeneric, NoOwnCode)                    /* 133 */ \
  X(SweepOffsetQuery,                "[SENSe:]SWEep:OFFSet:TIME?",              kOptionalMinMaxDef,         kAnyClient, kScpiRefuseNever,           \
      g_node_measure_parms_sample_offset,              "S",   kNoFlux, kStatusRowNone,            kGeneric, NoOwnCode)                    /* 134 */ \
  X(SweepOffset,                     "[SENSe:]SWEep:OFFSet:TIME",               kMinMaxDefOrSecond,         kOwnerOnly, kScpiRefuseAlways,          \
      g_node_measure_parms_sample_offset,              "S",   kNoFlux, kStatusRowSettingsGroup8,  kGeneric, NoOwnCode)                    /* 135 */ \
  X(SweepTimeQuery,                  "[SENSe:]SWEep:TIME?",                     kOptionalMinMaxDef,         kAnyClient, kScpiRefuseNever,           \
      g_node_measure_parms_sample_length,              "S",   kNoFlux, kStatusRowNone,            kGeneric, NoOwnCode)                    /* 136 */ \
  X(SweepTime,                       "[SENSe:]SWEep:TIME",                      kMinMaxDefOrSecond,         kOwnerOnly, kScpiRefuseAlways,          \
      g_node_measure_parms_sample_length,              "S",   kNoFlux, kStatusRowSettingsGroup8,  kGeneric, NoOwnCode)                    /* 137 */ \
  X(SweepFrequencyQuery,             "[SENSe:]SWEep:FREQuency?",                kOptionalMinMaxDef,         kAnyClient, kScpiRefuseNever,           \
      g_node_measure_parms_sample_rate,                "HZ",  kNoFlux, kStatusRowNone,            kGeneric, NoOwnCode)                    /* 138 */ \
  X(SweepFrequency,                  "[SENSe:]SWEep:FREQuency",                 kMinMaxDefOrHertz,          kOwnerOnly, kScpiRefuseAlways,          \
      g_node_measure_parms_sample_rate,                "HZ",  kNoFlux, kStatusRowSettingsGroup8,  kGeneric, NoOwnCode)                    /* 139 */ \
  X(PulseModeQuery,                  "[SOURce:]PULSe[:MODE]?",                  kNoParameters,              kAnyClient, kScpiRefuseNever,           \
      g_node_measure_parms_pulse_mode,                 "",    kNoFlux, kStatusRowNone,            kGeneric, NoOwnCode)                    /* 140 */ \
  X(PulseMode,                       "[SOURce:]PULSe[:MODE]",                   kAutoManual,                kOwnerOnly, kScpiRefuseUnlessManualSearch, \
      g_node_measure_parms_pulse_mode,                 "",    kNoFlux, kStatusRowSettingsGroup9,  kGeneric, NoOwnCode)                    /* 141 */ \
  X(PulsePeriodQuery,                "[SOURce:]PULSe:PERiod?",                  kOptionalMinMaxDef,         kAnyClient, kScpiRefuseNever,           \
      g_node_measure_parms_pulse_period,               "S",   kNoFlux, kStatusRowNone,            kGeneric, NoOwnCode)                    /* 142 */ \
  X(PulsePeriod,                     "[SOURce:]PULSe:PERiod",                   kMinMaxDefOrSecond,         kOwnerOnly, kScpiRefuseUnlessManualSearch, \
      g_node_measure_parms_pulse_period,               "S",   kNoFlux, kStatusRowSettingsGroup9,  kGeneric, NoOwnCode)                    /* 143 */ \
  X(PulseWidthQuery,                 "[SOURce:]PULSe:WIDTh?",                   kOptionalMinMaxDef,         kAnyClient, kScpiRefuseNever,           \
      g_node_measure_parms_pulse_width,                "S",   kNoFlux, kStatusRowNone,            kGeneric, NoOwnCode)                    /* 144 */ \
  X(PulseWidth,                      "[SOURce:]PULSe:WIDTh",                    kMinMaxDefOrSecond,         kOwnerOnly, kScpiRefuseUnlessManualSearch, \
      g_node_measure_parms_pulse_width,                "S",   kNoFlux, kStatusRowSettingsGroup9,  kGeneric, NoOwnCode)                    /* 145 */ \
  X(OperationNegativeQuery,          "STATus:OPERation:NTRansition?",           kNoParameters,              kAnyClient, kScpiRefuseNever,           \
      g_node_none,                                     "",    kNoFlux, kStatusRowNone,            kOwnCode, RunStatusRegister)            /* 146 */ \
  X(OperationNegative,               "STATus:OPERation:NTRansition",            kNumber,                    kAnyClient, kScpiRefuseNever,           \
      g_node_none,                                     "",    kNoFlux, kStatusRowSettingsGroup1,  kOwnCode, RunStatusRegister)            /* 147 */ \
  X(OperationPositiveQuery,          "STATus:OPERation:PTRansition?",           kNoParameters,              kAnyClient, kScpiRefuseNever,           \
      g_node_none,                                     "",    kNoFlux, kStatusRowNone,            kOwnCode, RunStatusRegister)            /* 148 */ \
  X(OperationPositive,               "STATus:OPERation:PTRansition",            kNumber,                    kAnyClient, kScpiRefuseNever,           \
      g_node_none,                                     "",    kNoFlux, kStatusRowSettingsGroup1,  kOwnCode, RunStatusRegister)            /* 149 */ \
  X(OperationBit11EventQuery,        "STATus:OPERation:BIT11[:EVENt]?",         kNoParameters,              kAnyClient, kScpiRefuseNever,           \
      g_node_none,                                     "",    kNoFlux, kStatusRowNone,            kOwnCode, RunStatusRegister)            /* 150 */ \
  X(OperationBit11ConditionQuery,    "STATus:OPERation:BIT11:CONDition?",       kNoParameters,              kAnyClient, kScpiRefuseNever,           \
      g_node_none,                                     "",    kNoFlux, kStatusRowNone,            kOwnCode, RunStatusRegister)            /* 151 */ \
  X(OperationBit11EnableQuery,       "STATus:OPERation:BIT11:ENABle?",          kNoParameters,              kAnyClient, kScpiRefuseNever,           \
      g_node_none,                                     "",    kNoFlux, kStatusRowNone,            kOwnCode, RunStatusRegister)            /* 152 */ \
  X(OperationBit11Enable,            "STATus:OPERation:BIT11:ENABle",           kNumber,                    kAnyClient, kScpiRefuseNever,           \
      g_node_none,                                     "",    kNoFlux, kStatusRowSettingsGroup1,  kOwnCode, RunStatusRegister)            /* 153 */ \
  X(OperationBit11NegativeQuery,     "STATus:OPERation:BIT11:NTRansition?",     kNoParameters,              kAnyClient, kScpiRefuseNever,           \
      g_node_none,                                     "",    kNoFlux, kStatusRowNone,            kOwnCode, RunStatusRegister)            /* 154 */ \
  X(OperationBit11Negative,          "STATus:OPERation:BIT11:NTRansition",      kNumber,                    kAnyClient, kScpiRefuseNever,           \
      g_node_none,                                     "",    kNoFlux, kStatusRowSettingsGroup1,  kOwnCode, RunStatusRegister)            /* 155 */ \
  X(OperationBit11PositiveQuery,     "STATus:OPERation:BIT11:PTRansition?",     kNoParameters,              kAnyClient, kScpiRefuseNever,           \
      g_node_none,                                     "",    kNoFlux, kStatusRowNone,            kOwnCode, RunStatusRegister)            /* 156 */ \
  X(OperationBit11Positive,          "STATus:OPERation:BIT11:PTRansition",      kNumber,                    kAnyClient, kScpiRefuseNever,           \
      g_node_none,                                     "",    kNoFlux, kStatusRowSettingsGroup1,  kOwnCode, RunStatusRegister)            /* 157 */ \
  X(OperationBit12EventQuery,        "STATus:OPERation:BIT12[:EVENt]?",         kNoParameters,              kAnyClient, kScpiRefuseNever,           \
      g_node_none,                                     "",    kNoFlux, kStatusRowNone,            kOwnCode, RunStatusRegister)            /* 158 */ \
  X(OperationBit12ConditionQuery,    "STATus:OPERation:BIT12:CONDition?",       kNoParameters,              kAnyClient, kScpiRefuseNever,           \
      g_node_none,                                     "",    kNoFlux, kStatusRowNone,            kOwnCode, RunStatusRegister)            /* 159 */ \
  X(OperationBit12EnableQuery,       "STATus:OPERation:BIT12:ENABle?",          kNoParameters,              kAnyClient, kScpiRefuseNever,           \
      g_node_none,                                     "",    kNoFlux, kStatusRowNone,            kOwnCode, RunStatusRegister)            /* 160 */ \
  X(OperationBit12Enable,            "STATus:OPERation:BIT12:ENABle",           kNumber,                    kAnyClient, kScpiRefuseNever,           \
      g_node_none,                                     "",    kNoFlux, kStatusRowSettingsGroup1,  kOwnCode, RunStatusRegister)            /* 161 */ \
  X(OperationBit12NegativeQuery,     "STATus:OPERation:BIT12:NTRansition?",     kNoParameters,              kAnyClient, kScpiRefuseNever,           \
      g_node_none,                                     "",    kNoFlux, kStatusRowNone,            kOwnCode, RunStatusRegister)            /* 162 */ \
  X(OperationBit12Negative,          "STATus:OPERation:BIT12:NTRansition",      kNumber,                    kAnyClient, kScpiRefuseNever,           \
      g_node_none,                                     "",    kNoFlux, kStatusRowSettingsGroup1,  kOwnCode, RunStatusRegister)            /* 163 */ \
  X(OperationBit12PositiveQuery,     "STATus:OPERation:BIT12:PTRansition?",     kNoParameters,              kAnyClient, kScpiRefuseNever,           \
      g_node_none,                                     "",    kNoFlux, kStatusRowNone,            kOwnCode, RunStatusRegister)            /* 164 */ \
  X(OperationBit12Positive,          "STATus:OPERation:BIT12:PTRansition",      kNumber,                    kAnyClient, kScpiRefuseNever,           \
      g_node_none,                                     "",    kNoFlux, kStatusRowSettingsGroup1,  kOwnCode, RunStatusRegister)            /* 165 */ \
  X(QuestionableNegativeQuery,       "STATus:QUEStionable:NTRansition?",        kNoParameters,              kAnyClient, kScpiRefuseNever,           \
      g_node_none,                                     "",    kNoFlux, kStatusRowNone,            kOwnCode, RunStatusRegister)            /* 166 */ \
  X(QuestionableNegative,            "STATus:QUEStionable:NTRansition",         kNumber,                    kAnyClient, kScpiRefuseNever,           \
      g_node_none,                                     "",    kNoFlux, kStatusRowSettingsGroup1,  kOwnCode, RunStatusRegister)            /* 167 */ \
  X(QuestionablePositiveQuery,       "STATus:QUEStionable:PTRansition?",        kNoParameters,              kAnyClient, kScpiRefuseNever,           \
      g_node_none,                                     "",    kNoFlux, kStatusRowNone,            kOwnCode, RunStatusRegister)            /* 168 */ \
  X(QuestionablePositive,            "STATus:QUEStionable:PTRansition",         kNumber,                    kAnyClient, kScpiRefuseNever,           \
      g_node_none,                                     "",    kNoFlux, kStatusRowSettingsGroup1,  kOwnCode, RunStatusRegister)            /* 169 */ \
  X(QuestionableBit12EventQuery,     "STATus:QUEStionable:BIT12[:EVENt]?",      kNoParameters,              kAnyClient, kScpiRefuseNever,           \
      g_node_none,                                     "",    kNoFlux, kStatusRowNone,            kOwnCode, RunStatusRegister)            /* 170 */ \
  X(QuestionableBit12ConditionQuery, "STATus:QUEStionable:BIT12:CONDition?",    kNoParameters,              kAnyClient, kScpiRefuseNever,           \
      g_node_none,                                     "",    kNoFlux, kStatusRowNone,            kOwnCode, RunStatusRegister)            /* 171 */ \
  X(QuestionableBit12EnableQuery,    "STATus:QUEStionable:BIT12:ENABle?",       kNoParameters,              kAnyClient, kScpiRefuseNever,           \
      g_node_none,                                     "",    kNoFlux, kStatusRowNone,            kOwnCode, RunStatusRegister)            /* 172 */ \
  X(QuestionableBit12Enable,         "STATus:QUEStionable:BIT12:ENABle",        kNumber,                    kAnyClient, kScpiRefuseNever,           \
      g_node_none,                                     "",    kNoFlux, kStatusRowSettingsGroup1,  kOwnCode, RunStatusRegister)            /* 173 */ \
  X(QuestionableBit12NegativeQuery,  "STATus:QUEStionable:BIT12:NTRansition?",  kNoParameters,              kAnyClient, kScpiRefuseNever,           \
      g_node_none,                                     "",    kNoFlux, kStatusRowNone,            kOwnCode, RunStatusRegister)            /* 174 */ \
  X(QuestionableBit12Negative,       "STATus:QUEStionable:BIT12:NTRansition",   kNumber,                    kAnyClient, kScpiRefuseNever,           \
      g_node_none,                                     "",    kNoFlux, kStatusRowSettingsGroup1,  kOwnCode, RunStatusRegister)            /* 175 */ \
  X(QuestionableBit12PositiveQuery,  "STATus:QUEStionable:BIT12:PTRansition?",  kNoParameters,              kAnyClient, kScpiRefuseNever,           \
      g_node_none,                                     "",    kNoFlux, kStatusRowNone,            kOwnCode, RunStatusRegister)            /* 176 */ \
  X(QuestionableBit12Positive,       "STATus:QUEStionable:BIT12:PTRansition",   kNumber,                    kAnyClient, kScpiRefuseNever,           \
      g_node_none,                                     "",    kNoFlux, kStatusRowSettingsGroup1,  kOwnCode, RunStatusRegister)            /* 177 */ \
  X(EthernetEnableQuery,             "SYSTem:COMMunicate:ETHernet[:ENABle]?",   kOptionalDefault,           kAnyClient, kScpiRefuseNever,           \
      g_node_comm_parms_ethernet_enabled,              "",    kNoFlux, kStatusRowNone,            kGeneric, NoOwnCode)                    /* 178 */ \
  X(EthernetEnable,                  "SYSTem:COMMunicate:ETHernet[:ENABle]",    kDefaultOrBoolean,          kOwnerOnly, kScpiRefuseNever,           \
      g_node_none,                                     "",    kNoFlux, kStatusRowSettingsGroup0,  kOwnCode, RunEthernetEnable)            /* 179 */ \
  X(EthernetIdentifierQuery,         "SYSTem:COMMunicate:ETHernet:IDENtifier?", kNoParameters,              kAnyClient, kScpiRefuseNever,           \
      g_node_comm_parms_ethernet_id,                   "",    kNoFlux, kStatusRowNone,            kGeneric, NoOwnCode)                    /* 180 */ \
  X(EthernetIdentifier,              "SYSTem:COMMunicate:ETHernet:IDENtifier",  kText,                      kOwnerOnly, kScpiRefuseNever,           \
      g_node_comm_parms_ethernet_id,                   "",    kNoFlux, kStatusRowSettingsGroup0,  kGeneric, NoOwnCode)                    /* 181 */ \
  X(EthernetAutoQuery,               "SYSTem:COMMunicate:ETHernet:AUTO?",       kOptionalDefault,           kAnyClient, kScpiRefuseNever,           \
      g_node_comm_parms_ethernet_auto_address,         "",    kNoFlux, kStatusRowNone,            kGeneric, NoOwnCode)                    /* 182 */ \
  X(EthernetAuto,                    "SYSTem:COMMunicate:ETHernet:AUTO",        kDefaultOrBoolean,          kOwnerOnly, kScpiRefuseNever,           \
      g_node_comm_parms_ethernet_auto_address,         "",    kNoFlux, kStatusRowSettingsGroup0,  kGeneric, NoOwnCode)                    /* 183 */ \
  X(EthernetAddressQuery,            "SYSTem:COMMunicate:ETHernet:ADDRess?",    kNoParameters,              kAnyClient, kScpiRefuseNever,           \
      g_node_comm_parms_ethernet_ip_address,           "",    kNoFlux, kStatusRowNone,            kGeneric, NoOwnCode)                    /* 184 */ \
  X(EthernetAddress,                 "SYSTem:COMMunicate:ETHernet:ADDRess",     kText,                      kOwnerOnly, kScpiRefuseNever,           \
      g_node_none,                                     "",    kNoFlux, kStatusRowSettingsGroup0,  kOwnCode, RunEthernetAddress)           /* 185 */ \
  X(EthernetMaskQuery,               "SYSTem:COMMunicate:ETHernet:MASK?",       kNoParameters,              kAnyClient, kScpiRefuseNever,           \
      g_node_comm_parms_ethernet_net_mask,             "",    kNoFlux, kStatusRowNone,            kGeneric, NoOwnCode)                    /* 186 */ \
  X(EthernetMask,                    "SYSTem:COMMunicate:ETHernet:MASK",        kText,                      kOwnerOnly, kScpiRefuseNever,           \
      g_node_comm_parms_ethernet_net_mask,             "",    kNoFlux, kStatusRowSettingsGroup0,  kGeneric, NoOwnCode)                    /* 187 */ \
  X(EthernetBroadcastQuery,          "SYSTem:COMMunicate:ETHernet:BROadcast?",  kNoParameters,              kAnyClient, kScpiRefuseNever,           \
      g_node_comm_parms_ethernet_broadcast,            "",    kNoFlux, kStatusRowNone,            kGeneric, NoOwnCode)                    /* 188 */ \
  X(EthernetBroadcast,               "SYSTem:COMMunicate:ETHernet:BROadcast",   kText,                      kOwnerOnly, kScpiRefuseNever,           \
      g_node_comm_parms_ethernet_broadcast,            "",    kNoFlux, kStatusRowSettingsGroup0,  kGeneric, NoOwnCode)                    /* 189 */ \
  X(EthernetGatewayQuery,            "SYSTem:COMMunicate:ETHernet:GATeway?",    kNoParameters,              kAnyClient, kScpiRefuseNever,           \
      g_node_comm_parms_ethernet_gateway,              "",    kNoFlux, kStatusRowNone,            kGeneric, NoOwnCode)                    /* 190 */ \
  X(EthernetGateway,                 "SYSTem:COMMunicate:ETHernet:GATeway",     kText,                      kOwnerOnly, kScpiRefuseNever,           \
      g_node_comm_parms_ethernet_gateway,              "",    kNoFlux, kStatusRowSettingsGroup0,  kGeneric, NoOwnCode)                    /* 191 */ \
  X(EthernetDnsServerQuery,          "SYSTem:COMMunicate:ETHernet:DNSServer?",  kNoParameters,              kAnyClient, kScpiRefuseNever,           \
      g_node_comm_parms_ethernet_dns_server,           "",    kNoFlux, kStatusRowNone,            kGeneric, NoOwnCode)                    /* 192 */ \
  X(EthernetDnsServer,               "SYSTem:COMMunicate:ETHernet:DNSServer",   kText,                      kOwnerOnly, kScpiRefuseNever,           \
      g_node_comm_parms_ethernet_dns_server,           "",    kNoFlux, kStatusRowSettingsGroup0,  kGeneric, NoOwnCode)                    /* 193 */ \
  X(EthernetDomainQuery,             "SYSTem:COMMunicate:ETHernet:DOMain?",     kNoParameters,              kAnyClient, kScpiRefuseNever,           \
      g_node_comm_parms_ethernet_domain,               "",    kNoFlux, kStatusRowNone,            kGeneric, NoOwnCode)                    /* 194 */ \
  X(EthernetDomain,                  "SYSTem:COMMunicate:ETHernet:DOMain",      kText,                      kOwnerOnly, kScpiRefuseNever,           \
      g_node_comm_parms_ethernet_domain,               "",    kNoFlux, kStatusRowSettingsGroup0,  kGeneric, NoOwnCode)                    /* 195 */ \
  X(EthernetNbnsQuery,               "SYSTem:COMMunicate:ETHernet:NBNS?",       kOptionalDefault,           kAnyClient, kScpiRefuseNever,           \
      g_node_comm_parms_nbns_enabled,                  "",    kNoFlux, kStatusRowNone,            kGeneric, NoOwnCode)                    /* 196 */ \
  X(EthernetNbns,                    "SYSTem:COMMunicate:ETHernet:NBNS",        kDefaultOrBoolean,          kOwnerOnly, kScpiRefuseNever,           \
      g_node_comm_parms_nbns_enabled,                  "",    kNoFlux, kStatusRowSettingsGroup0,  kGeneric, NoOwnCode)                    /* 197 */ \
  X(EthernetRestart,                 "SYSTem:COMMunicate:ETHernet:RESTart",     kNoParameters,              kOwnerOnly, kScpiRefuseNever,           \
      g_node_none,                                     "",    kNoFlux, kStatusRowNone,            kOwnCode, RunEthernetRestart)           /* 198 */ \
  X(ModbusEnableQuery,               "SYSTem:COMMunicate:MODBus[:ENABle]?",     kOptionalDefault,           kAnyClient, kScpiRefuseNever,           \
      g_node_comm_parms_modbus_enabled,                "",    kNoFlux, kStatusRowNone,            kGeneric, NoOwnCode)                    /* 199 */ \
  X(ModbusEnable,                    "SYSTem:COMMunicate:MODBus[:ENABle]",      kDefaultOrBoolean,          kOwnerOnly, kScpiRefuseNever,           \
      g_node_comm_parms_modbus_enabled,                "",    kNoFlux, kStatusRowSettingsGroup0,  kGeneric, NoOwnCode)                    /* 200 */ \
  X(ModbusHostsQuery,                "SYSTem:COMMunicate:MODBus:HOSTs?",        kNoParameters,              kAnyClient, kScpiRefuseNever,           \
      g_node_comm_parms_modbus_auth_list,              "",    kNoFlux, kStatusRowNone,            kGeneric, NoOwnCode)                    /* 201 */ \
  X(ModbusHosts,                     "SYSTem:COMMunicate:MODBus:HOSTs",         kText,                      kOwnerOnly, kScpiRefuseNever,           \
      g_node_comm_parms_modbus_auth_list,              "",    kNoFlux, kStatusRowSettingsGroup0,  kGeneric, NoOwnCode)                    /* 202 */ \
  X(ModbusConnectionsQuery,          "SYSTem:COMMunicate:MODBus:NCONnections?", kOptionalMinMaxDef,         kAnyClient, kScpiRefuseNever,           \
      g_node_comm_parms_modbus_max_connections,        "",    kNoFlux, kStatusRowNone,            kGeneric, NoOwnCode)                    /* 203 */ \
  X(ModbusConnections,               "SYSTem:COMMunicate:MODBus:NCONnections",  kMinMaxDefOrNumber,         kOwnerOnly, kScpiRefuseNever,           \
      g_node_comm_parms_modbus_max_connections,        "",    kNoFlux, kStatusRowSettingsGroup0,  kGeneric, NoOwnCode)                    /* 204 */ \
  X(ModbusFloat32Query,              "SYSTem:COMMunicate:MODBus:F32?",          kOptionalDefault,           kAnyClient, kScpiRefuseNever,           \
      g_node_comm_parms_modbus_use_float32,            "",    kNoFlux, kStatusRowNone,            kGeneric, NoOwnCode)                    /* 205 */ \
  X(ModbusFloat32,                   "SYSTem:COMMunicate:MODBus:F32",           kDefaultOrBoolean,          kOwnerOnly, kScpiRefuseNever,           \
      g_node_comm_parms_modbus_use_float32,            "",    kNoFlux, kStatusRowSettingsGroup0,  kGeneric, NoOwnCode)                    /* 206 */ \
  X(UsbEnableQuery,                  "SYSTem:COMMunicate:USBTmc[:ENABle]?",     kOptionalDefault,           kAnyClient, kScpiRefuseNever,           \
      g_node_comm_parms_usbtmc_enabled,                "",    kNoFlux, kStatusRowNone,            kGeneric, NoOwnCode)                    /* 207 */ \
  X(UsbEnable,                       "SYSTem:COMMunicate:USBTmc[:ENABle]",      kDefaultOrBoolean,          kOwnerOnly, kScpiRefuseNever,           \
      g_node_none,                                     "",    kNoFlux, kStatusRowSettingsGroup0,  kOwnCode, RunUsbEnable)                 /* 208 */ \
  X(Vxi11EnableQuery,                "SYSTem:COMMunicate:VXI11[:ENABle]?",      kOptionalDefault,           kAnyClient, kScpiRefuseNever,           \
      g_node_comm_parms_vxi11_enabled,                 "",    kNoFlux, kStatusRowNone,            kGeneric, NoOwnCode)                    /* 209 */ \
  X(Vxi11Enable,                     "SYSTem:COMMunicate:VXI11[:ENABle]",       kDefaultOrBoolean,          kOwnerOnly, kScpiRefuseNever,           \
      g_node_comm_parms_vxi11_enabled,                 "",    kNoFlux, kStatusRowSettingsGroup0,  kGeneric, NoOwnCode)                    /* 210 */ \
  X(LockRequestQuery,                "SYSTem:LOCK:REQuest?",                    kNoParameters,              kAnyClient, kScpiRefuseNever,           \
      g_node_none,                                     "",    kNoFlux, kStatusRowNone,            kOwnCode, RunLockRequest)               /* 211 */ \
  X(LockRelease,                     "SYSTem:LOCK:RELease",                     kNoParameters,              kOwnerOnly, kScpiRefuseNever,           \
      g_node_none,                                     "",    kNoFlux, kStatusRowNone,            kOwnCode, RunLockRelease)               /* 212 */ \
  X(TemperatureQuery,                "SYSTem:TEMPerature?",                     kNoParameters,              kAnyClient, kScpiRefuseNever,           \
      g_node_system_temperature_current_value,         "CEL", kNoFlux, kStatusRowNone,            kGeneric, NoOwnCode)                    /* 213 */ \
  X(CalibrationDateQuery,            "SYSTem:CDATe?",                           kNoParameters,              kAnyClient, kScpiRefuseNever,           \
      g_node_system_calib_date,                        "",    kNoFlux, kStatusRowNone,            kGeneric, NoOwnCode)                    /* 214 */ \
  X(ManufacturingDateQuery,          "SYSTem:MDATe?",                           kNoParameters,              kAnyClient, kScpiRefuseNever,           \
      g_node_system_manuf_date,                        "",    kNoFlux, kStatusRowNone,            kGeneric, NoOwnCode)                    /* 215 */ \
  X(TriggerCountQuery,               "TRIGger[:SEQuence1]:COUNt?",              kOptionalMinMaxDef,         kAnyClient, kScpiRefuseNever,           \
      g_node_trigger_parms_trigger_in_count,           "",    kNoFlux, kStatusRowNone,            kGeneric, NoOwnCode)                    /* 216 */ \
  X(TriggerCount,                    "TRIGger[:SEQuence1]:COUNt",               kMinMaxDefOrNumber,         kOwnerOnly, kScpiRefuseAlways,          \
      g_node_trigger_parms_trigger_in_count,           "",    kNoFlux, kStatusRowSettingsGroup10, kGeneric, NoOwnCode)                    /* 217 */ \
  X(TriggerSlopeQuery,               "TRIGger[:SEQuence1]:SLOPe?",              kNoParameters,              kAnyClient, kScpiRefuseNever,           \
      g_node_trigger_parms_trigger_in_slope,           "",    kNoFlux, kStatusRowNone,            kGeneric, NoOwnCode)                    /* 218 */ \
  X(TriggerSlope,                    "TRIGger[:SEQuence1]:SLOPe",               kSlope,                     kOwnerOnly, kScpiRefuseAlways,          \
      g_node_trigger_parms_trigger_in_slope,           "",    kNoFlux, kStatusRowSettingsGroup10, kGeneric, NoOwnCode)                    /* 219 */ \
  X(TriggerSourceQuery,              "TRIGger[:SEQuence1]:SOURce?",             kOptionalDefault,           kAnyClient, kScpiRefuseNever,           \
      g_node_trigger_parms_trigger_in_source,          "",    kNoFlux, kStatusRowNone,            kGeneric, NoOwnCode)                    /* 220 */ \
  X(TriggerSource,                   "TRIGger[:SEQuence1]:SOURce",              kTriggerSource,             kOwnerOnly, kScpiRefuseAlways,          \
      g_node_trigger_parms_trigger_in_source,          "",    kNoFlux, kStatusRowSettingsGroup10, kGeneric, NoOwnCode)                    /* 221 */ \
  X(TriggerTimerQuery,               "TRIGger[:SEQuence1]:TIMer?",              kOptionalMinMaxDef,         kAnyClient, kScpiRefuseNever,           \
      g_node_trigger_parms_trigger_in_timer,           "S",   kNoFlux, kStatusRowNone,            kGeneric, NoOwnCode)                    /* 222 */ \
  X(TriggerTimer,                    "TRIGger[:SEQuence1]:TIMer",               kMinMaxDefOrSecond,         kOwnerOnly, kScpiRefuseAlways,          \
      g_node_trigger_parms_trigger_in_timer,           "S",   kNoFlux, kStatusRowSettingsGroup10, kGeneric, NoOwnCode)                    /* 223 */ \
  X(TriggerOutLevelQuery,            "TRIGger:SEQuence2:LEVel?",                kOptionalMinMaxDef,         kAnyClient, kScpiRefuseNever,           \
      g_node_trigger_parms_trigger_out_level,          "T",   kFlux,   kStatusRowNone,            kGeneric, NoOwnCode)                    /* 224 */ \
  X(TriggerOutLevel,                 "TRIGger:SEQuence2:LEVel",                 kMinMaxDefOrTesla,          kOwnerOnly, kScpiRefuseAlways,          \
      g_node_trigger_parms_trigger_out_level,          "T",   kFlux,   kStatusRowSettingsGroup10, kOwnCode, RunTriggerOutput)             /* 225 */ \
  X(TriggerOutSlopeQuery,            "TRIGger:SEQuence2:SLOPe?",                kNoParameters,              kAnyClient, kScpiRefuseNever,           \
      g_node_trigger_parms_trigger_out_slope,          "",    kNoFlux, kStatusRowNone,            kGeneric, NoOwnCode)                    /* 226 */ \
  X(TriggerOutSlope,                 "TRIGger:SEQuence2:SLOPe",                 kSlope,                     kOwnerOnly, kScpiRefuseAlways,          \
      g_node_trigger_parms_trigger_out_slope,          "",    kNoFlux, kStatusRowSettingsGroup10, kOwnCode, RunTriggerOutput)             /* 227 */ \
  X(UnitQuery,                       "UNIT?",                                   kOptionalDefault,           kAnyClient, kScpiRefuseNever,           \
      g_node_units_parms_selected,                     "",    kNoFlux, kStatusRowNone,            kGeneric, NoOwnCode)                    /* 228 */ \
  X(Unit,                            "UNIT",                                    kUnitChoice,                kOwnerOnly, kScpiRefuseAlways,          \
      g_node_units_parms_selected,                     "",    kNoFlux, kStatusRowSettingsGroup13, kGeneric, NoOwnCode)                    /* 229 */ \
  X(UnitAllQuery,                    "UNIT:ALL?",                               kNoParameters,              kAnyClient, kScpiRefuseNever,           \
      g_node_none,                                     "",    kNoFlux, kStatusRowNone,            kOwnCode, RunUnitList)                  /* 230 */ \
  X(PpmReferenceQuery,               "UNIT:PPMReference?",                      kOptionalMinMaxDef,         kAnyClient, kScpiRefuseNever,           \
      g_node_units_parms_ppm_ref,                      "T",   kFlux,   kStatusRowNone,            kGeneric, NoOwnCode)                    /* 231 */ \
  X(PpmReference,                    "UNIT:PPMReference",                       kMinMaxDefOrPpmReference,   kOwnerOnly, kScpiRefuseNever,           \
      g_node_units_parms_ppm_ref,                      "T",   kFlux,   kStatusRowSettingsGroup13, kOwnCode, RunPpmReference)              /* 232 */
// clang-format on
