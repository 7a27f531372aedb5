// Texts of the help file, derived from the command patterns and parameter slots.
#include "HelpData.h"

#include <cstring>

#include "scpi/scpi_command_table.h"

namespace help_data {
namespace {

using namespace Torvex;

const char* UnitName(std::uint32_t unitClass) {
  switch (unitClass) {
    case kScpiUnitDecibel: return "DB";
    case kScpiUnitHertz: return "HZ";
    case kScpiUnitProtonHertz: return "HZP";
    case kScpiUnitPpm: return "PPM";
    case kScpiUnitSecond: return "S";
    case kScpiUnitTesla: return "T";
    case kScpiUnitVolt: return "V";
    default: return "";
  }
}

// "<num>", followed by the units it may carry: "[V]", "[T|PPM|HZP|HZ]".
std::string NumberText(const ScpiNumericDescriptor* d) {
  std::string text = "<num>";
  if (d == nullptr) return text;
  std::string units;
  auto add = [&units](std::uint32_t unitClass) {
    const char* name = UnitName(unitClass);
    if (*name == '\0') return;
    const std::string n(name);
    // Each unit once, even when the default class is also in the allowed list.
    std::size_t pos = 0;
    while (pos < units.size()) {
      const std::size_t bar = units.find('|', pos);
      const std::size_t end = bar == std::string::npos ? units.size() : bar;
      if (units.compare(pos, end - pos, n) == 0) return;
      pos = end + 1;
    }
    if (!units.empty()) units += '|';
    units += n;
  };
  add(d->defaultUnitClass);
  if (d->allowedClasses != nullptr) {
    for (const std::uint32_t* c = d->allowedClasses; *c != kScpiUnitListEnd; ++c) add(*c);
  }
  if (!units.empty()) text += "[" + units + "]";
  return text;
}

std::string SlotText(const ScpiParameterSpec& slot) {
  switch (slot.type) {
    case kScpiTypeNumber: return NumberText(slot.numeric);
    case kScpiTypeBoolean: return "ON|OFF";
    case kScpiTypeChoice: {
      if (slot.choice == nullptr) return "<choice>";
      std::string text = slot.choice->choices;
      if (slot.choice->alternativeType == kScpiAlternativeNumber) text += "|" + NumberText(slot.choice->alternative);
      if (slot.choice->alternativeType == kScpiAlternativeBoolean) text += "|ON|OFF";
      return text;
    }
    case kScpiTypeQuotedString: return "'<name>'";
    case kScpiTypeText: return "<text>";
    case kScpiTypeChannelList: return "(@<channels>)";
    case kScpiTypeBlock: return "<block>";
    default: return "";
  }
}

}  // namespace

std::string SyntaxEntry(std::size_t command) {
  std::string text = kScpiCommandPatterns[command];
  const ScpiParameterSpecRow& slots = kScpiParameterSpecs[command];
  std::string parameters;
  std::size_t open = 0;  // optional slots still to close
  for (const ScpiParameterSpec& slot : slots) {
    if (slot.type == kScpiTypeNone) break;
    const std::string separator = parameters.empty() ? "" : ",";
    if ((slot.flags & kScpiSlotOptional) != 0) {
      parameters += "[" + separator + SlotText(slot);
      ++open;
    } else {
      parameters += separator + SlotText(slot);
    }
  }
  parameters.append(open, ']');
  if (!parameters.empty()) text += " " + parameters;
  return text;
}

std::string HeaderList() {
  std::string list;
  for (std::size_t n = 0; n < kScpiCommandCount; ++n) {
    const std::string pattern = kScpiCommandPatterns[n];
    const bool query = !pattern.empty() && pattern.back() == '?';
    const std::string base = query ? pattern.substr(0, pattern.size() - 1) : pattern;
    bool other = false;   // the setter or query of the same header
    bool listed = false;  // already listed with its pair
    for (std::size_t m = 0; m < kScpiCommandCount; ++m) {
      if (m == n) continue;
      const std::string p = kScpiCommandPatterns[m];
      if (p == base || p == base + "?") {
        other = true;
        if (m < n) listed = true;
      }
    }
    if (listed) continue;
    list += other ? base + "[?]" : pattern;
    list += '\n';
  }
  return list;
}

bool BuildHelpFile(std::vector<char>& file, std::string& error) {
  file.assign(kIdentSize + kHeaderListSize + kSyntaxEntrySize * kScpiCommandCount, '\0');
  const std::string ident = "help.dat " + std::to_string(kScpiCommandCount) + " commands";
  std::memcpy(file.data(), ident.data(), ident.size());

  const std::string headers = HeaderList();
  if (headers.size() >= kHeaderListSize) {
    error = "header list of " + std::to_string(headers.size()) + " characters does not fit";
    return false;
  }
  std::memcpy(file.data() + kIdentSize, headers.data(), headers.size());

  for (std::size_t n = 0; n < kScpiCommandCount; ++n) {
    const std::string entry = SyntaxEntry(n);
    if (entry.size() >= kSyntaxEntrySize) {
      error = "syntax of command " + std::to_string(n) + " (" + entry + ") does not fit";
      return false;
    }
    std::memcpy(file.data() + kIdentSize + kHeaderListSize + kSyntaxEntrySize * n, entry.data(), entry.size());
  }
  return true;
}

}  // namespace help_data
