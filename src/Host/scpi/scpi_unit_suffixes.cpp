// The unit suffixes a number may carry, in matching order. Values are held in the base unit of the
// class, so the exponent scales the number. Letter case of the texts carries no meaning.
#include <iterator>

#include "scpi/scpi_engine.h"

namespace Torvex {

constexpr ScpiUnitSuffix kScpiUnitSuffixes[] = {
    {"DB", kScpiUnitDecibel, 0},
    {"HZ", kScpiUnitHertz, 0},
    {"KHZ", kScpiUnitHertz, 3},
    {"MAHZ", kScpiUnitHertz, 6},
    {"GHZ", kScpiUnitHertz, 9},
    {"HZP", kScpiUnitProtonHertz, 0},
    {"KHZP", kScpiUnitProtonHertz, 3},
    {"MAHZP", kScpiUnitProtonHertz, 6},
    {"GHZP", kScpiUnitProtonHertz, 9},
    {"PPM", kScpiUnitPpm, 0},
    {"NS", kScpiUnitSecond, -9},
    {"MV", kScpiUnitVolt, -3},
    {"US", kScpiUnitSecond, -6},
    {"MS", kScpiUnitSecond, -3},
    {"S", kScpiUnitSecond, 0},
    {"NT", kScpiUnitTesla, -9},
    {"UT", kScpiUnitTesla, -6},
    {"MT", kScpiUnitTesla, -3},
    {"T", kScpiUnitTesla, 0},
    {"UGAUss", kScpiUnitTesla, -10},
    {"MGAUss", kScpiUnitTesla, -7},
    {"GAUSs", kScpiUnitTesla, -4},
    {"KGAUss", kScpiUnitTesla, -1},
    {"V", kScpiUnitVolt, 0},
    {"", kScpiUnitNone, 0},
};
static_assert(std::size(kScpiUnitSuffixes) == kScpiUnitSuffixCount + 1, "24 suffixes and the end row");

}  // namespace Torvex
