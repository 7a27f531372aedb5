// Time per command of the SCPI engine with value extraction: every header in its short and its long
// form (with parameters its slots accept), a header that matches nothing, a full header after a path
// (resolved from the root, or nowhere), and a message of ten commands. Figures only; nothing is
// asserted.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "scpi/scpi_command_table.h"
#include "scpi/scpi_value_extraction.h"

using namespace Torvex;

namespace {

std::string ShortForm(const char* pattern) {
  std::string out;
  bool optional = false;
  for (const char* p = pattern; *p != '\0'; ++p) {
    if (*p == '[') {
      optional = true;
    } else if (*p == ']') {
      optional = false;
    } else if (!optional && *p != '#' && !(*p >= 'a' && *p <= 'z')) {
      out += *p;
    }
  }
  return out;
}

std::string LongForm(const char* pattern) {
  std::string out;
  for (const char* p = pattern; *p != '\0'; ++p) {
    if (*p != '[' && *p != ']' && *p != '#') out += *p;
  }
  return out;
}

// Parameters that the mandatory slots of the command accept.
std::string SampleParameters(const ScpiParameterSpecRow& slots) {
  std::string out;
  for (const ScpiParameterSpec& s : slots) {
    if (s.type == kScpiTypeNone || (s.flags & kScpiSlotOptional) != 0) break;
    if (!out.empty()) out += ',';
    switch (s.type) {
      case kScpiTypeNumber: out += "1"; break;
      case kScpiTypeChoice:
        out += std::string(s.choice->choices).substr(0, std::string(s.choice->choices).find('|'));
        break;
      case kScpiTypeQuotedString: out += "'file'"; break;
      case kScpiTypeText: out += "text"; break;
      case kScpiTypeChannelList: out += "(@1!2)"; break;
      case kScpiTypeBlock: out += "#13abc"; break;
      default: break;
    }
  }
  return out;
}

void ParseMessage(benchmark::State& state, const std::string& message, int commandsPerMessage) {
  std::vector<ScpiParsedCommand> commands;
  commands.reserve(16);
  ScpiParsedCommand record;
  int code = 0;
  for (auto _ : state) {
    code = scpi_parse_program_message(message, commands, record);
    benchmark::DoNotOptimize(code);
    benchmark::DoNotOptimize(commands.data());
  }
  // Shown as a time: elapsed / (iterations x commands).
  state.counters["per_command"] = benchmark::Counter(
      commandsPerMessage, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
  state.SetLabel(message + (code == 0 ? "" : "  -> code " + std::to_string(code)));
}

const std::string kTenCommands =
    "*CLS;STAT:OPER:ENAB 5;PTR 1;NTR 0;:CONF:LEV 500 MV;BAND 2 KHZ;:AVER2:COUN 10;"
    ":MEAS? 1.5 T,MAX,(@1!2:1!4);:UNIT GAUSS;SYST:ERR?";

// Registers one benchmark per header form at start-up.
const int kRegistered = [] {
  benchmark::RegisterBenchmark("no_match", [](benchmark::State& s) { ParseMessage(s, "FOO:BAR:BAZ?", 1); });
  benchmark::RegisterBenchmark("ten_commands", [](benchmark::State& s) { ParseMessage(s, kTenCommands, 10); });
  // A second full header fits nothing under the path of the first and resolves from the root: two
  // passes over the table; and a header that fits neither under the path nor from the root.
  benchmark::RegisterBenchmark("root_after_path",
                               [](benchmark::State& s) { ParseMessage(s, "SYST:ERR?;SYST:ERR?", 2); });
  benchmark::RegisterBenchmark("no_match_after_path",
                               [](benchmark::State& s) { ParseMessage(s, "SYST:ERR?;FOO:BAR:BAZ?", 2); });
  for (std::size_t n = 0; n < kScpiCommandCount; ++n) {
    const std::string parameters = SampleParameters(kScpiParameterSpecs[n]);
    const std::string suffix = parameters.empty() ? "" : " " + parameters;
    const std::string number = std::to_string(n);
    const std::string shortMessage = ShortForm(kScpiCommandPatterns[n]) + suffix;
    const std::string longMessage = LongForm(kScpiCommandPatterns[n]) + suffix;
    // 466 header benchmarks: a short run each keeps the whole program under a minute.
    benchmark::RegisterBenchmark(("short/" + number).c_str(), [shortMessage](benchmark::State& s) {
      ParseMessage(s, shortMessage, 1);
    })->MinTime(0.02);
    benchmark::RegisterBenchmark(("long/" + number).c_str(), [longMessage](benchmark::State& s) {
      ParseMessage(s, longMessage, 1);
    })->MinTime(0.02);
  }
  return 0;
}();

}  // namespace
