// CTMS320C67xxCoffParser: reader of a C6000 COFF object file (48-byte section headers) that hands
// every loadable section, 4096 bytes at a time, to the virtual LoadSection of a derived class.
//
// What is read: the 22-byte file header at offset 0, the 28-byte optional header at offset 22 and the
// section headers from offset 50; all fields little-endian. The file must target the C6000 (id 0x99)
// and carry the optional-header magic 0x108; every section's virtual address must equal its physical
// address. A section is loaded when it is text or data, not a copy section and larger than 0 bytes.
// A section whose size is not a multiple of 4 has its last 1 to 3 bytes merged into the DSP word that
// holds them (LoadSectionTail), so nothing of the section is lost.
//
// Every offset and length read from the file is checked against the file's size before it is used:
// a file that points outside itself (section headers, symbol table, a long name or section data past
// its end, a long name without its end) fails the parse with a clear message instead of reading
// wildly or allocating without bound. So does a loadable section that does not start on a word
// address or that runs past the end of the DSP's address space. Every failure throws CCOFFParserException inside the parse;
// Parse catches it, closes the file and returns false.
//
// Used by the DSP program loader on the acquisition thread; one parser serves one thread.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace Torvex {

// The file header; only the fields the loader uses are kept.
struct CoffFileHeader {
  std::uint16_t SectionCount = 0;       // offset 2
  std::uint32_t SymbolTableOffset = 0;  // offset 8
  std::uint32_t SymbolCount = 0;        // offset 12
  std::uint16_t TargetId = 0;           // offset 20
};

// The optional header; only its magic is used.
struct CoffOptionalHeader {
  std::uint16_t Magic = 0;  // offset 0 (file offset 22)
};

struct CoffSectionHeader {
  std::string Name;
  std::uint32_t PhysicalAddress = 0;  // 8
  std::uint32_t VirtualAddress = 0;   // 12
  std::uint32_t Size = 0;             // 16, bytes
  std::uint32_t DataOffset = 0;       // 20, file offset of the raw data
  std::uint32_t Flags = 0;            // 40
};

class CTMS320C67xxCoffParser {
 public:
  static constexpr std::uint16_t kTargetId = 0x99;
  static constexpr std::uint16_t kOptionalMagic = 0x108;
  static constexpr std::uint32_t kFileHeaderSize = 22;
  static constexpr std::uint32_t kOptionalHeaderSize = 28;
  static constexpr std::uint32_t kSectionHeaderSize = 48;
  static constexpr std::uint32_t kSymbolEntrySize = 18;
  static constexpr std::uint32_t kFlagCopy = 0x10;
  static constexpr std::uint32_t kFlagText = 0x20;
  static constexpr std::uint32_t kFlagData = 0x40;
  static constexpr std::uint32_t kChunkWords = 1024;
  static constexpr std::uint32_t kChunkBytes = kChunkWords * 4;
  // Longest name read from the string table, its NUL not counted.
  static constexpr std::uint32_t kMaxLongNameLength = 255;

  // Reads a COFF file byte by byte through the platform's file layer.
  class CCoffFileStreamer {
   public:
    CCoffFileStreamer() = default;
    // Does not close the stream: the parse closes it on every way out.
    virtual ~CCoffFileStreamer();

    CCoffFileStreamer(const CCoffFileStreamer&) = delete;
    CCoffFileStreamer& operator=(const CCoffFileStreamer&) = delete;

    // Opens `path` read-only and takes its size.
    void Open(const char* path);
    // Closes the stream (when open) and clears the remaining length.
    void Close();
    // Absolute positioning; returns the previous position.
    std::int32_t Seek(std::int32_t position);
    std::uint8_t ReadByte();
    std::uint16_t ReadUint16();
    std::uint32_t ReadUint32();
    // Reads the 8-byte name field; a long name is read from `stringTableOffset` + its offset.
    std::string ReadSectionName(std::uint32_t stringTableOffset);
    // Empties `buffer` and fills it with `count` (at most kChunkWords) words read from `position`;
    // the stream position is put back afterwards.
    void ReadWords(std::int32_t position, std::vector<std::uint32_t>& buffer, std::uint32_t count);

    std::uint32_t FileSize() const { return m_FileSize; }
    std::int32_t RemainingLength() const { return m_RemainingLength; }
    bool IsOpen() const { return m_Stream != nullptr; }

   private:
    std::FILE* m_Stream = nullptr;
    std::uint32_t m_FileSize = 0;
    std::int32_t m_RemainingLength = 0;
  };

  CTMS320C67xxCoffParser();
  virtual ~CTMS320C67xxCoffParser();

  CTMS320C67xxCoffParser(const CTMS320C67xxCoffParser&) = delete;
  CTMS320C67xxCoffParser& operator=(const CTMS320C67xxCoffParser&) = delete;

  // Reads the file at `path` and loads its sections; false on any failure (the file is closed).
  bool Parse(const char* path);

 protected:
  // Loads `words` at DSP address `address`; false when the words did not arrive.
  virtual bool LoadSection(std::uint32_t address, const std::vector<std::uint32_t>& words) = 0;
  // Loads the last `count` (1 to 3) bytes of a section, the first at DSP address `address` (a word
  // address), leaving the other bytes of that word as they are; false when they did not arrive.
  virtual bool LoadSectionTail(std::uint32_t address, const std::uint8_t* bytes, std::uint32_t count) = 0;

  void ReadFileHeader();
  void ReadOptionalHeader();
  void ReadSectionHeader(CoffSectionHeader& header);
  void LoadNextSection();

  CCoffFileStreamer m_Streamer;
  CoffFileHeader m_FileHeader;
  CoffOptionalHeader m_OptionalHeader;
  std::uint32_t m_StringTableOffset = 0;
  std::vector<std::uint32_t> m_Data;
};

}  // namespace Torvex
