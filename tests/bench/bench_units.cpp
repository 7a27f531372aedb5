// Unit figures: ConvertUnits between unit families (field only; through the PPM reference; through
// the nominal proton ratio; through the selected probe, under the topology lock; with a supplied
// ratio), FindUnit on the first, the last and an unknown name, and ConvertFieldFrequency.
#include <benchmark/benchmark.h>

#include <string>

#include "peripherals/CTorvexPwMeasuringPeripheral.h"
#include "peripherals/UnitConversion.h"
#include "support/fake_probe.h"
#include "tree/BoundParameterNodes.h"
#include "tree/CParameterNode.h"

namespace {

using namespace Torvex;

// The nodes the conversions read, bound once, with a probe selected.
void BindOnce() {
  static const bool bound = [] {
    static CParameterNode ppmRef("ppm_ref", eNodeType::Float64);
    static CParameterNode nominal("nominal_p_gyro_ratio", eNodeType::Float64);
    static CParameterNode object("object", eNodeType::Pointer);
    static torvex_test::FakeProbe probe(42.577e6);
    ppmRef.SetFloat64Attribute(eAttrValue, 1.5);
    nominal.SetFloat64Attribute(eAttrValue, 42.57747892e6);
    object.SetPointerAttribute(eAttrValue, static_cast<CTorvexPeripheral*>(&probe));
    g_node_units_parms_ppm_ref = &ppmRef;
    g_node_unit_conversion_nominal_p_gyro_ratio = &nominal;
    g_node_current_probe_object = &object;
    return true;
  }();
  (void)bound;
}

void BM_ConvertUnits(benchmark::State& state) {
  BindOnce();
  const auto from = static_cast<std::uint32_t>(state.range(0));
  const auto to = static_cast<std::uint32_t>(state.range(1));
  const double ratio = static_cast<double>(state.range(2));
  state.SetLabel(std::string(kUnitTable[from].name) + " to " + kUnitTable[to].name +
                 (ratio != 0 ? " (ratio given)" : ""));
  for (auto _ : state) {
    double value = 1.25;
    benchmark::DoNotOptimize(ConvertUnits(value, from, to, ratio));
    benchmark::DoNotOptimize(value);
  }
}
BENCHMARK(BM_ConvertUnits)
    ->Args({kUnitTesla, kUnitGauss, 0})
    ->Args({kUnitTesla, kUnitPpm, 0})
    ->Args({kUnitProtonMegaHertz, kUnitMilliTesla, 0})
    ->Args({kUnitMegaHertz, kUnitTesla, 0})
    ->Args({kUnitHertz, kUnitKiloHertz, 0})
    ->Args({kUnitHertz, kUnitKiloHertz, 40000000})
    ->Args({kUnitPpm, kUnitGigaHertz, 0});

void BM_FindUnit(benchmark::State& state) {
  static const char* const kNames[] = {"T", "GHZ", "gauss"};
  const char* name = kNames[state.range(0)];
  state.SetLabel(name);
  for (auto _ : state) benchmark::DoNotOptimize(FindUnit(name));
}
BENCHMARK(BM_FindUnit)->DenseRange(0, 2);

void BM_ConvertFieldFrequency(benchmark::State& state) {
  BindOnce();
  const auto unit = static_cast<std::uint32_t>(state.range(0));
  state.SetLabel(kUnitTable[unit].name);
  for (auto _ : state) {
    double factor = 0;
    double offset = 0;
    benchmark::DoNotOptimize(ConvertFieldFrequency(unit, factor, offset));
    benchmark::DoNotOptimize(factor);
  }
}
BENCHMARK(BM_ConvertFieldFrequency)->Arg(kUnitTesla)->Arg(kUnitPpm)->Arg(kUnitProtonMegaHertz);

}  // namespace
