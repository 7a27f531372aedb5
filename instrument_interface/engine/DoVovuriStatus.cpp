// The public status table: sixteen groups of sixteen rows, each group with a default code, and the
// rows that carry a code of their own. The 256 rows are built once at compile time from those two
// lists, and their shape is checked there.
#include "engine/DoVovuriStatus.h"

#include <array>

namespace {

struct PublicCode {
  std::uint32_t code;
  const char* text;
};

#define DOVOVURI_PUBLIC_CODE_ROW(name, code, sentence) {code, #name ": " sentence},
constexpr PublicCode kPublicCodes[] = {DOVOVURI_PUBLIC_CODES(DOVOVURI_PUBLIC_CODE_ROW)};
#undef DOVOVURI_PUBLIC_CODE_ROW
constexpr std::size_t kPublicCodeCount = sizeof(kPublicCodes) / sizeof(kPublicCodes[0]);
static_assert(kPublicCodeCount == 47, "the layer has 47 public codes");

// Default public code of each group of sixteen rows (group = row >> 4).
constexpr std::uint32_t kGroupDefaults[16] = {
    DOVOVURI_STATUS_HARDWARE_ERROR,           // 0x00-0x0F
    DOVOVURI_STATUS_DEVICE_ERROR,             // 0x10-0x1F
    DOVOVURI_STATUS_IO_ERROR,                 // 0x20-0x2F
    DOVOVURI_STATUS_MEP_ERROR,                // 0x30-0x3F
    DOVOVURI_STATUS_PARAMETER_ERROR,          // 0x40-0x4F
    DOVOVURI_STATUS_EVENT_ERROR,              // 0x50-0x5F
    DOVOVURI_STATUS_COMPONENT_ERROR,          // 0x60-0x6F
    DOVOVURI_STATUS_DEVICE_SETTINGS_INVALID,  // 0x70-0x7F, all sixteen rows
    DOVOVURI_STATUS_GPIB_PLUGIN_ERROR,        // 0x80-0x8F
    DOVOVURI_STATUS_TCPIP_PLUGIN_ERROR,       // 0x90-0x9F
    DOVOVURI_STATUS_USB_PLUGIN_ERROR,         // 0xA0-0xAF
    DOVOVURI_STATUS_UNKNOWN,                  // 0xB0-0xBF
    DOVOVURI_STATUS_UNKNOWN,                  // 0xC0-0xCF
    DOVOVURI_STATUS_UNKNOWN,                  // 0xD0-0xDF
    DOVOVURI_STATUS_UNKNOWN,                  // 0xE0-0xEF
    DOVOVURI_STATUS_UNKNOWN,                  // 0xF0-0xFF
};

// Rows with a code of their own.
struct OwnRow {
  std::uint8_t row;
  std::uint32_t code;
};
constexpr OwnRow kOwnRows[] = {
    {0x00, DOVOVURI_STATUS_HARDWARE_NOT_FOUND},
    {0x01, DOVOVURI_STATUS_HARDWARE_INITIALIZATION_FAULT},
    {0x03, DOVOVURI_STATUS_DEVICE_NOT_ENABLED},
    {0x06, DOVOVURI_STATUS_HARDWARE_ALREADY_IN_USE},
    {0x10, DOVOVURI_STATUS_DEVICE_NOT_ENABLED},
    {0x11, DOVOVURI_STATUS_DEVICE_ALREADY_EXISTS},
    {0x12, DOVOVURI_STATUS_DEVICE_SETTINGS_INVALID},
    {0x17, DOVOVURI_STATUS_DEVICE_ALREADY_ENABLED},
    {0x18, DOVOVURI_STATUS_DEVICE_NOT_ENABLED},
    {0x20, DOVOVURI_STATUS_INPUT_QUEUE_ALREADY_ENABLED},
    {0x23, DOVOVURI_STATUS_RESPONSE_MSG_ALREADY_QUEUED},
    {0x30, DOVOVURI_STATUS_DEADLOCKED},
    {0x31, DOVOVURI_STATUS_DEVICE_CLEAR_ACTIVE},
    {0x32, DOVOVURI_STATUS_END_MSG_NOT_RECEIVED},
    {0x33, DOVOVURI_STATUS_MSG_REQUESTED},
    {0x34, DOVOVURI_STATUS_NEW_MSG_NOT_RECEIVED},
    {0x35, DOVOVURI_STATUS_QUERY_NOT_DETECTED},
    {0x36, DOVOVURI_STATUS_MSG_NOT_UNTERMINATED},
    {0x37, DOVOVURI_STATUS_RELAXED_MODE_ALREADY_ENABLED},
    {0x38, DOVOVURI_STATUS_RELAXED_MODE_ALREADY_DISABLED},
    {0x42, DOVOVURI_STATUS_MSG_BUFFER_INVALID},
    {0x43, DOVOVURI_STATUS_MSG_BUFFER_NOT_ON_32BIT_BOUNDARY},
    {0x44, DOVOVURI_STATUS_MSG_BUFFER_SIZE_INVALID},
    {0x46, DOVOVURI_STATUS_MULTI_THREAD_NOT_SUPPORTED},
    {0x50, DOVOVURI_STATUS_EVENT_MSG_LOOP_ENABLED},
    {0x52, DOVOVURI_STATUS_EVENT_ALREADY_ENABLED},
    {0x56, DOVOVURI_STATUS_EVENT_MSG_UNAVAILABLE},
    {0x57, DOVOVURI_STATUS_EVENT_MSG_ABORTED},
    {0x62, DOVOVURI_STATUS_INTERNAL_INCOMPATIBILITY},
    {0x63, DOVOVURI_STATUS_ENGINE_INCOMPATIBILITY},
    {0x64, DOVOVURI_STATUS_PLUGIN_INCOMPATIBILITY},
    {0x65, DOVOVURI_STATUS_UNABLE_TO_LOAD_ENGINE},
    {0x66, DOVOVURI_STATUS_UNABLE_TO_LOAD_PLUGIN},
    {0x93, DOVOVURI_STATUS_PORTMAPPER_NOT_PRESENT},
    {0x94, DOVOVURI_STATUS_SOCKET_ERROR},
    {0xF0, DOVOVURI_STATUS_INSUFFICIENT_MEMORY},
    {0xF1, DOVOVURI_STATUS_OUT_OF_RESOURCES},
    {0xFF, DOVOVURI_STATUS_DRIVER_FAULT},
};

constexpr const char* TextOf(std::uint32_t code) {
  for (const PublicCode& p : kPublicCodes) {
    if (p.code == code) return p.text;
  }
  return nullptr;
}

constexpr std::array<DoVovuriStatusRow, kDoVovuriStatusRowCount> BuildTable() {
  std::array<DoVovuriStatusRow, kDoVovuriStatusRowCount> rows{};
  for (std::size_t i = 0; i < rows.size(); ++i) {
    const std::uint32_t code = kGroupDefaults[i >> 4];
    rows[i] = {code, TextOf(code)};
  }
  for (const OwnRow& own : kOwnRows) rows[own.row] = {own.code, TextOf(own.code)};
  return rows;
}

constexpr std::array<DoVovuriStatusRow, kDoVovuriStatusRowCount> kRows = BuildTable();

constexpr std::size_t CountRows(std::uint32_t code) {
  std::size_t n = 0;
  for (const DoVovuriStatusRow& r : kRows) n += r.code == code ? 1 : 0;
  return n;
}

constexpr bool EveryRowHasText() {
  for (const DoVovuriStatusRow& r : kRows) {
    if (r.text == nullptr) return false;
  }
  return true;
}

constexpr bool OwnRowsAscendAndDiffer() {
  for (std::size_t i = 1; i < sizeof(kOwnRows) / sizeof(kOwnRows[0]); ++i) {
    if (kOwnRows[i].row <= kOwnRows[i - 1].row) return false;
    if (kOwnRows[i].code == kGroupDefaults[kOwnRows[i].row >> 4]) return false;
  }
  return true;
}

static_assert(EveryRowHasText(), "every row names a public code");
static_assert(OwnRowsAscendAndDiffer(), "own rows ascend and differ from their group's default");
static_assert(CountRows(DOVOVURI_STATUS_UNKNOWN) == 77, "UNKNOWN stands in 77 rows");
static_assert(CountRows(DOVOVURI_STATUS_DEVICE_NOT_ENABLED) == 3, "rows 0x03, 0x10, 0x18");
static_assert(CountRows(DOVOVURI_STATUS_DEVICE_SETTINGS_INVALID) == 17, "rows 0x12 and 0x70-0x7F");

}  // namespace

constinit const std::array<DoVovuriStatusRow, kDoVovuriStatusRowCount> DoVovuriStatusTable = kRows;

std::uint32_t DoVovuriPublicStatus(std::uint32_t internal_status) {
  if (internal_status == kStatusSuccess) return 0;
  return DoVovuriStatusTable[internal_status & 0xFFu].code;
}

const char* DoVovuriStatusText(std::uint32_t public_code) { return TextOf(public_code); }
