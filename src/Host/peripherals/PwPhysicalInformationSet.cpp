#include "peripherals/PwPhysicalInformationSet.h"

#include "peripherals/PeripheralBytes.h"

namespace Torvex {

bool LoadPhysicalInformationSet(const std::uint8_t* bytes, std::size_t size, PwPhysicalInformationSet& set) {
  ByteCursor in(bytes, size);
  const std::uint8_t n = in.U8();
  if (!in.Ok()) return false;
  std::size_t position = in.Position();
  for (std::uint8_t i = 0; i < n; ++i) {
    auto record = std::make_unique<PwPhysicalInformation>();
    std::size_t used = 0;
    if (!DecodePhysicalInformation(bytes + position, size - position, *record, &used)) return false;
    position += used;
    set.records.push_back(std::move(record));
  }
  return true;
}

bool CopyCountedBytes(std::vector<std::uint8_t>& out, const std::uint8_t* bytes, std::size_t size) {
  ByteCursor in(bytes, size);
  const std::uint8_t n = in.U8();
  const std::uint8_t* p = in.Take(n);
  if (!in.Ok()) return false;
  out.assign(p, p + n);
  return true;
}

bool DecodeCameraBlock(const std::uint8_t* bytes, std::size_t size, CameraDescriptor& out) {
  ByteCursor in(bytes, size);
  CameraDescriptor d;
  d.value = in.U8();
  d.first = in.Double();
  d.second = in.Double();
  d.third = in.Double();
  const std::uint8_t n = in.U8();
  if (const std::uint8_t* text = in.Take(n)) d.text.assign(reinterpret_cast<const char*>(text), n);
  d.fourth = in.Double();
  const std::uint8_t m = in.U8();
  for (std::uint8_t i = 0; i < m && in.Ok(); ++i) d.values.push_back(in.U16());
  if (!in.Ok()) return false;
  out = std::move(d);
  return true;
}

bool DecodeTextPair(const std::uint8_t* bytes, std::size_t size, std::string& first, std::string& second) {
  ByteCursor in(bytes, size);
  const std::uint16_t a = in.U16();
  const std::uint8_t* textA = in.Take(a);
  const std::uint16_t b = in.U16();
  const std::uint8_t* textB = in.Take(b);
  if (!in.Ok()) return false;
  first.assign(reinterpret_cast<const char*>(textA), a);
  second.assign(reinterpret_cast<const char*>(textB), b);
  return true;
}

}  // namespace Torvex
