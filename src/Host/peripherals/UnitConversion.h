// Units of the measured field and their conversions.
//
// Units travel between subsystems as row numbers of kUnitTable (eUnit): flux densities in tesla and
// gauss, parts per million of the reference field units_parms/ppm_ref, the equivalent proton resonance
// frequency (through the nominal proton ratio unit_conversion/nominal_p_gyro_ratio) and the current
// probe's own resonance frequency (through the gyromagnetic ratio of the probe in
// current_probe/object, or a ratio the caller supplies).
//
//   FindUnit               a unit name (exact spelling and case) to its row, 0 when unknown;
//   ConvertUnits           a value from one unit to another, through the tesla;
//   ConvertFieldFrequency  the linear map from a measured frequency in hertz to a unit.
//
// Callers: the SCPI layer and the acquisition (parser and acquisition threads), the DSP interface.
// They run on the caller's thread and keep no state; each node is read under the tree lock, and the
// current probe is looked up and asked for its ratio under g_TopologyLock, so it cannot be destroyed
// while it is used.
//
// A gyromagnetic ratio (the probe's, a supplied one or the nominal proton ratio) that is 0 or not
// finite is never used: the conversion that needs it returns kUnitZeroQuantity.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace Torvex {

// What a unit measures.
enum class eUnitFamily : std::uint8_t {
  None,             // no valid unit
  FluxDensity,      // factor in tesla
  Ppm,              // parts per million of the PPM reference field
  ProtonFrequency,  // factor in hertz of the proton resonance
  ProbeFrequency,   // factor in hertz of the current probe's resonance
};

struct UnitRow {
  const char* name;  // as the SCPI unit keywords spell it
  double factor;     // the unit in the base unit of its family (1e-6 for PPM)
  eUnitFamily family;
};

// X(name, text, factor, family), one row per unit, in row order. The micro-gauss factor is the double
// next above the double nearest to 1e-10.
// clang-format off
#define TORVEX_UNIT_ROWS(X) \
  X(kUnitInvalid,              "Invalid Units", 1.0,                     None)            \
  X(kUnitTesla,                "T",             1.0,                     FluxDensity)     \
  X(kUnitMilliTesla,           "MT",            1e-3,                    FluxDensity)     \
  X(kUnitMicroTesla,           "UT",            1e-6,                    FluxDensity)     \
  X(kUnitNanoTesla,            "NT",            1e-9,                    FluxDensity)     \
  X(kUnitGauss,                "GAUSs",         1e-4,                    FluxDensity)     \
  X(kUnitKiloGauss,            "KGAUss",        0.1,                     FluxDensity)     \
  X(kUnitMilliGauss,           "MGAUss",        1e-7,                    FluxDensity)     \
  X(kUnitMicroGauss,           "UGAUss",        0x1.b7cdfd9d7bdbcp-34,   FluxDensity)     \
  X(kUnitPpm,                  "PPM",           1e-6,                    Ppm)             \
  X(kUnitProtonHertz,          "HZP",           1.0,                     ProtonFrequency) \
  X(kUnitProtonKiloHertz,      "KHZP",          1e3,                     ProtonFrequency) \
  X(kUnitProtonMegaHertz,      "MAHZP",         1e6,                     ProtonFrequency) \
  X(kUnitProtonGigaHertz,      "GHZP",          1e9,                     ProtonFrequency) \
  X(kUnitHertz,                "HZ",            1.0,                     ProbeFrequency)  \
  X(kUnitKiloHertz,            "KHZ",           1e3,                     ProbeFrequency)  \
  X(kUnitMegaHertz,            "MAHZ",          1e6,                     ProbeFrequency)  \
  X(kUnitGigaHertz,            "GHZ",           1e9,                     ProbeFrequency)
// clang-format on

// The unit names; the value of each is its row in kUnitTable.
enum eUnit : std::uint32_t {
#define TORVEX_UNIT_NAME(id, t, k, f) id,
  TORVEX_UNIT_ROWS(TORVEX_UNIT_NAME)
#undef TORVEX_UNIT_NAME
      kUnitRowEnd
};

inline constexpr std::size_t kUnitCount = kUnitRowEnd;

inline constexpr UnitRow kUnitTable[] = {
#define TORVEX_UNIT_DATA(id, t, k, f) {t, k, eUnitFamily::f},
    TORVEX_UNIT_ROWS(TORVEX_UNIT_DATA)
#undef TORVEX_UNIT_DATA
};

static_assert(sizeof(kUnitTable) / sizeof(kUnitTable[0]) == kUnitCount, "one row per unit name");
static_assert(kUnitCount == 18, "the invalid row and 17 units");

// Results of the conversions.
enum eUnitResult : int {
  kUnitOk = 0,
  kUnitOutOfRange = 36,      // a unit index outside 1 to 17
  kUnitZeroQuantity = 37,    // a quantity the conversion needs is 0 (or a ratio is not finite)
  kUnitNoCurrentProbe = 46,  // the probe's ratio is needed and no measuring probe is selected
};

// The row of the unit called `name` (1 to 17), or kUnitInvalid.
eUnit FindUnit(std::string_view name);

// Converts `value` from unit `from` to unit `to`. `gyromagneticRatio` (Hz per tesla) is used for the
// probe-frequency units; 0 means: ask the current probe. An index outside 1 to 17 is taken as tesla.
// On kUnitNoCurrentProbe or kUnitZeroQuantity from the second half (into `to`), `value` holds the
// value in tesla; from the first half, `value` is unchanged.
int ConvertUnits(double& value, std::uint32_t from, std::uint32_t to, double gyromagneticRatio);

// The map f x factor + offset from a frequency f in hertz measured with the current probe to unit
// `unit`. Returns kUnitOk, kUnitNoCurrentProbe (checked first), kUnitOutOfRange or kUnitZeroQuantity;
// the outputs are written only on success.
int ConvertFieldFrequency(std::uint32_t unit, double& factor, double& offset);

}  // namespace Torvex
