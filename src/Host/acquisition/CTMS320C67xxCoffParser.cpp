#include "acquisition/CTMS320C67xxCoffParser.h"

#include <sys/stat.h>

#include <cstdint>
#include <limits>

#include "acquisition/CCOFFParserException.h"
#include "platform/io.h"

namespace Torvex {

namespace {

[[noreturn]] void Fail(const char* message) { throw CCOFFParserException(message); }

// True when the `length` bytes from `offset` on lie inside a file of `fileSize` bytes.
bool InsideFile(std::uint64_t offset, std::uint64_t length, std::uint32_t fileSize) {
  return offset <= fileSize && length <= fileSize - offset;
}

}  // namespace

// ---- CCoffFileStreamer ----

CTMS320C67xxCoffParser::CCoffFileStreamer::~CCoffFileStreamer() = default;

void CTMS320C67xxCoffParser::CCoffFileStreamer::Open(const char* path) {
  m_Stream = platform::fopen(path, "rb");
  if (m_Stream == nullptr) Fail("Cannot open the file.");
  struct stat st {};
  if (platform::stat(path, &st) != 0) {
    Close();
    Fail("Cannot stat the file length.");
  }
  // Positions are signed 32-bit values; a larger file cannot be a DSP program anyway.
  if (st.st_size < 0 || static_cast<std::uint64_t>(st.st_size) > std::numeric_limits<std::int32_t>::max()) {
    Close();
    Fail("The file is too large.");
  }
  m_FileSize = static_cast<std::uint32_t>(st.st_size);
  m_RemainingLength = static_cast<std::int32_t>(st.st_size);
}

void CTMS320C67xxCoffParser::CCoffFileStreamer::Close() {
  if (m_Stream != nullptr) std::fclose(m_Stream);
  m_Stream = nullptr;
  m_RemainingLength = 0;
}

std::int32_t CTMS320C67xxCoffParser::CCoffFileStreamer::Seek(std::int32_t position) {
  const long previous = m_Stream != nullptr ? std::ftell(m_Stream) : -1;
  if (previous < 0) Fail("Cannot get the current file position.");
  if (position < 0 || static_cast<std::uint32_t>(position) > m_FileSize ||
      std::fseek(m_Stream, position, SEEK_SET) != 0) {
    Fail("Cannot set the current file position.");
  }
  return static_cast<std::int32_t>(previous);
}

std::uint8_t CTMS320C67xxCoffParser::CCoffFileStreamer::ReadByte() {
  const int c = m_Stream != nullptr ? std::fgetc(m_Stream) : EOF;
  if (c == EOF) Fail("Cannot read from the specified file.");
  if (m_RemainingLength > 0) --m_RemainingLength;
  return static_cast<std::uint8_t>(c);
}

std::uint16_t CTMS320C67xxCoffParser::CCoffFileStreamer::ReadUint16() {
  const std::uint16_t low = ReadByte();
  const std::uint16_t high = ReadByte();
  return static_cast<std::uint16_t>(low | (high << 8));
}

std::uint32_t CTMS320C67xxCoffParser::CCoffFileStreamer::ReadUint32() {
  std::uint32_t value = 0;
  for (unsigned i = 0; i < 4; ++i) value |= static_cast<std::uint32_t>(ReadByte()) << (8 * i);
  return value;
}

std::string CTMS320C67xxCoffParser::CCoffFileStreamer::ReadSectionName(std::uint32_t stringTableOffset) {
  std::uint8_t field[8];
  for (std::uint8_t& b : field) b = ReadByte();

  if (field[0] == 0 && field[1] == 0 && field[2] == 0 && field[3] == 0) {
    const std::uint32_t offset = static_cast<std::uint32_t>(field[4]) | (static_cast<std::uint32_t>(field[5]) << 8) |
                                 (static_cast<std::uint32_t>(field[6]) << 16) |
                                 (static_cast<std::uint32_t>(field[7]) << 24);
    const std::uint64_t position = static_cast<std::uint64_t>(stringTableOffset) + offset;
    if (!InsideFile(position, 1, m_FileSize)) Fail("Section name lies past the end of the file.");
    const std::int32_t back = Seek(static_cast<std::int32_t>(position));
    std::string name;
    for (;;) {
      const std::uint8_t c = ReadByte();  // fails at the end of the file: a name without its NUL
      if (c == 0) break;
      if (name.size() == kMaxLongNameLength) Fail("Section name is too long.");
      name.push_back(static_cast<char>(c));
    }
    Seek(back);
    return name;
  }

  std::string name;
  for (std::uint8_t b : field) {
    if (b == 0) break;
    name.push_back(static_cast<char>(b));
  }
  return name;
}

void CTMS320C67xxCoffParser::CCoffFileStreamer::ReadWords(std::int32_t position, std::vector<std::uint32_t>& buffer,
                                                          std::uint32_t count) {
  if (count > kChunkWords) Fail("Too many words for one chunk.");
  if (position < 0 || !InsideFile(static_cast<std::uint32_t>(position), 4ull * count, m_FileSize)) {
    Fail("Section data lies past the end of the file.");
  }
  const std::int32_t back = Seek(position);
  buffer.clear();
  for (std::uint32_t i = 0; i < count; ++i) buffer.push_back(ReadUint32());
  Seek(back);
}

// ---- CTMS320C67xxCoffParser ----

CTMS320C67xxCoffParser::CTMS320C67xxCoffParser() = default;

CTMS320C67xxCoffParser::~CTMS320C67xxCoffParser() { m_Streamer.Close(); }

bool CTMS320C67xxCoffParser::Parse(const char* path) {
  try {
    m_Data.reserve(kChunkWords);
    m_Streamer.Open(path);
    ReadFileHeader();
    ReadOptionalHeader();
    for (std::uint32_t i = 0; i < m_FileHeader.SectionCount; ++i) LoadNextSection();
    m_Streamer.Close();
    return true;
  } catch (...) {
    m_Streamer.Close();
    return false;
  }
}

void CTMS320C67xxCoffParser::ReadFileHeader() {
  m_Streamer.Seek(0);
  (void)m_Streamer.ReadUint16();  // version id
  m_FileHeader.SectionCount = m_Streamer.ReadUint16();
  (void)m_Streamer.ReadUint32();  // time stamp
  m_FileHeader.SymbolTableOffset = m_Streamer.ReadUint32();
  m_FileHeader.SymbolCount = m_Streamer.ReadUint32();
  (void)m_Streamer.ReadUint16();  // optional-header size: the optional header is read whatever it says
  (void)m_Streamer.ReadUint16();  // flags
  m_FileHeader.TargetId = m_Streamer.ReadUint16();
  if (m_FileHeader.TargetId != kTargetId) Fail("COFF file isn't compiled for our DSP target.");

  // All section headers must lie inside the file before the first section is loaded.
  const std::uint64_t headersEnd = static_cast<std::uint64_t>(kFileHeaderSize) + kOptionalHeaderSize +
                                   static_cast<std::uint64_t>(kSectionHeaderSize) * m_FileHeader.SectionCount;
  if (headersEnd > m_Streamer.FileSize()) Fail("Section headers lie past the end of the file.");

  // The string table follows the 18-byte symbol entries.
  const std::uint64_t stringTable = static_cast<std::uint64_t>(m_FileHeader.SymbolTableOffset) +
                                    static_cast<std::uint64_t>(kSymbolEntrySize) * m_FileHeader.SymbolCount;
  if (stringTable > m_Streamer.FileSize()) Fail("Symbol table lies past the end of the file.");
  m_StringTableOffset = static_cast<std::uint32_t>(stringTable);
}

void CTMS320C67xxCoffParser::ReadOptionalHeader() {
  m_Streamer.Seek(kFileHeaderSize);
  m_OptionalHeader.Magic = m_Streamer.ReadUint16();
  if (m_OptionalHeader.Magic != kOptionalMagic) Fail("Invalid COFF Magic Number.");
  for (std::uint32_t i = 2; i < kOptionalHeaderSize; ++i) (void)m_Streamer.ReadByte();
}

void CTMS320C67xxCoffParser::ReadSectionHeader(CoffSectionHeader& header) {
  header.Name = m_Streamer.ReadSectionName(m_StringTableOffset);
  header.PhysicalAddress = m_Streamer.ReadUint32();
  header.VirtualAddress = m_Streamer.ReadUint32();
  header.Size = m_Streamer.ReadUint32();
  header.DataOffset = m_Streamer.ReadUint32();
  (void)m_Streamer.ReadUint32();  // relocation entries offset
  (void)m_Streamer.ReadUint32();  // line-number entries offset
  (void)m_Streamer.ReadUint32();  // relocation count
  (void)m_Streamer.ReadUint32();  // line-number count
  header.Flags = m_Streamer.ReadUint32();
  (void)m_Streamer.ReadUint16();  // reserved
  (void)m_Streamer.ReadUint16();  // memory page
  if (header.VirtualAddress != header.PhysicalAddress) {
    Fail("Current implementation of the COFF reader doesn't handle virtual addresses.");
  }
}

void CTMS320C67xxCoffParser::LoadNextSection() {
  CoffSectionHeader header;
  ReadSectionHeader(header);

  const bool textOrData = (header.Flags & (kFlagText | kFlagData)) != 0;
  const bool copy = (header.Flags & kFlagCopy) != 0;
  if (!textOrData || copy || static_cast<std::int32_t>(header.Size) <= 0) return;

  // The whole section's data must be in the file before any of it is loaded.
  if (!InsideFile(header.DataOffset, header.Size, m_Streamer.FileSize())) {
    Fail("Section data lies past the end of the file.");
  }
  // The host port moves whole words: a section that does not start on one would land shifted, and one
  // that runs past the last address would wrap onto the start of DSP memory.
  if (header.PhysicalAddress % 4 != 0) Fail("Section address is not word aligned.");
  if (static_cast<std::uint64_t>(header.PhysicalAddress) + header.Size > (std::uint64_t{1} << 32)) {
    Fail("Section runs past the end of the DSP address space.");
  }

  std::uint32_t address = header.PhysicalAddress;
  std::uint32_t position = header.DataOffset;  // fits in int32: the file size does
  for (std::uint32_t chunk = 0; chunk < header.Size / kChunkBytes; ++chunk) {
    m_Streamer.ReadWords(static_cast<std::int32_t>(position), m_Data, kChunkWords);
    if (!LoadSection(address, m_Data)) Fail("Could not load section.");
    address += kChunkBytes;
    position += kChunkBytes;
  }
  const std::uint32_t words = (header.Size / 4) % kChunkWords;
  if (words != 0) {
    m_Streamer.ReadWords(static_cast<std::int32_t>(position), m_Data, words);
    if (!LoadSection(address, m_Data)) Fail("Could not load section.");
    address += 4 * words;
    position += 4 * words;
  }
  const std::uint32_t tail = header.Size % 4;
  if (tail != 0) {
    std::uint8_t bytes[3] = {};
    const std::int32_t back = m_Streamer.Seek(static_cast<std::int32_t>(position));
    for (std::uint32_t i = 0; i < tail; ++i) bytes[i] = m_Streamer.ReadByte();
    m_Streamer.Seek(back);
    if (!LoadSectionTail(address, bytes, tail)) Fail("Could not load section.");
  }
}

}  // namespace Torvex
