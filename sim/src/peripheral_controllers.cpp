#include "sim/peripheral_controllers.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdio>
#include <map>
#include <sstream>

namespace sim {
namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr std::uint8_t kTypeProbe = 2;
constexpr std::uint8_t kTypeMultiplexer = 3;
constexpr std::uint8_t kTypeCamera = 6;
constexpr std::uint8_t kResultAccepted = 0;
constexpr std::uint8_t kResultRefused = 1;
constexpr std::uint8_t kResultBusy = 4;
constexpr unsigned kMaxDepth = 5;
constexpr std::size_t kBlockPart = 64;  // bytes of a memory block handed out per read

struct Writer {
  Bytes b;
  Writer& U8(unsigned v) {
    b.push_back(static_cast<std::uint8_t>(v));
    return *this;
  }
  Writer& U16(unsigned v) { return U8(v >> 8).U8(v); }
  Writer& U24(std::uint32_t v) { return U8(v >> 16).U8(v >> 8).U8(v); }
  Writer& U32(std::uint32_t v) { return U16(v >> 16).U16(v & 0xffff); }
  Writer& F32(float f) { return U32(std::bit_cast<std::uint32_t>(f)); }
  Writer& F64(double d) {
    const auto bits = std::bit_cast<std::uint64_t>(d);
    for (int i = 7; i >= 0; --i) U8(static_cast<unsigned>(bits >> (8 * i)));
    return *this;
  }
  Writer& Text(const std::string& s) {
    b.insert(b.end(), s.begin(), s.end());
    return *this;
  }
  Writer& Append(const Bytes& x) {
    b.insert(b.end(), x.begin(), x.end());
    return *this;
  }
};

// A proton probe's physical information record (version 1), frequencies in Hz.
std::uint8_t Xor(const Bytes& b, std::size_t n) {
  std::uint8_t x = 0;
  for (std::size_t i = 0; i < n; ++i) x ^= b[i];
  return x;
}

Bytes ProtonInformation(double minFreq, double maxFreq) {
  Writer w;
  w.U16(1).F64(minFreq).F64(maxFreq).F64(1.0e3).F64(5.0e5).F64(1.0).F64(PeripheralControllers::kProtonGyroRatio);
  w.F64(1.0e-3).F64(2.0e-3).F64(256).U8(5);
  for (int curve = 0; curve < 5; ++curve) w.U16(2).U16(100 + curve).U16(200 + curve);
  return w.b;
}

Bytes TextPair(const std::string& a, const std::string& b) {
  Writer w;
  w.U16(static_cast<unsigned>(a.size())).Text(a).U16(static_cast<unsigned>(b.size())).Text(b);
  return w.b;
}

Bytes HallCalibration() {
  Writer w;
  w.U16(1).U16(0);
  for (int i = 0; i < 3; ++i) w.U16(PeripheralControllers::kHallOffset);
  // The computed axes read in microtesla.
  for (int i = 0; i < 3; ++i) w.F32(static_cast<float>(1.0e6 / PeripheralControllers::kHallCountsPerTesla));
  w.U16(PeripheralControllers::kHallReferenceTemperature);
  for (int i = 0; i < 6; ++i) w.F32(0.0f);
  return w.b;
}

Bytes CameraLimits() {
  Writer w;
  w.U16(1).F64(1.0e6).F64(300.0e6).F64(1.0e3).F64(5.0e5).F64(1.0).U16(0x5a5a);
  return w.b;
}

Bytes CameraBlock(std::uint16_t model, std::uint32_t serial, unsigned heads) {
  std::vector<Bytes> sections(6);
  sections[0] = TextPair("cam", "Camera " + std::to_string(heads) + "H");
  Writer table;
  table.U8(heads);
  for (unsigned i = 0; i < heads; ++i) table.U8(0x41 + i).U8(i);
  sections[1] = table.b;
  sections[2] = {0};
  sections[3] = {0};
  Writer descriptor;
  descriptor.U8(1).F64(1.0).F64(2.0).F64(3.0).U8(2).Text("hd").F64(4.0).U8(0);
  sections[4] = descriptor.b;
  Writer set;
  set.U8(heads);
  for (unsigned head = 1; head <= heads; ++head) {
    double low = 0;
    double high = 0;
    PeripheralControllers::CameraHeadRange(head, &low, &high);
    set.Append(ProtonInformation(low, high));
  }
  sections[5] = set.b;

  Writer block;
  block.U16(0).U16(0).U16(0);
  for (int i = 0; i < 10; ++i) block.U8(0);
  block.U16(1).U8(kTypeCamera).U16(model).U24(serial).U32(0);
  block.U8(0);  // check byte of the header, set below
  block.U16(6);
  std::size_t offset = 31 + 3 * 6;
  for (unsigned i = 0; i < 6; ++i) {
    block.U8(0x30 + i).U16(static_cast<unsigned>(offset));
    offset += sections[i].size();
  }
  for (const auto& s : sections) block.Append(s);
  Bytes b = block.b;
  b[4] = static_cast<std::uint8_t>(b.size() >> 8);
  b[5] = static_cast<std::uint8_t>(b.size());
  b[28] = Xor(b, 28);
  return b;
}

// Splits "1/3/2" into levels; false for anything else.
bool ParsePath(const std::string& path, std::vector<unsigned>& levels) {
  levels.clear();
  std::stringstream in(path);
  std::string part;
  while (std::getline(in, part, '/')) {
    if (part.empty() || part.size() > 3 || part.find_first_not_of("0123456789") != std::string::npos) return false;
    levels.push_back(static_cast<unsigned>(std::stoul(part)));
  }
  return !levels.empty() && levels.size() <= kMaxDepth && levels[0] == 1 &&
         std::none_of(levels.begin(), levels.end(), [](unsigned l) { return l == 0; });
}

}  // namespace

struct PeripheralControllers::Node {
  std::string kind;  // as Plug takes it
  std::uint8_t type = 0;
  std::uint16_t model = 0;
  std::uint32_t serial = 0;
  std::uint32_t flags = 0;  // bit 0: a three-axis Hall sensor
  unsigned heads = 0;
  std::vector<std::unique_ptr<Node>> ports;  // multiplexers only; null = empty port
  Bytes lastData[16];                        // last data of each data command
};

struct PeripheralControllers::Impl {
  std::mutex lock;
  std::unique_ptr<Node> connector;
  std::uint32_t nextSerial = 0x000101;
  bool changed = false;
  double field[3] = {0, 0, 0};
  const Node* activeRoute = nullptr;
  unsigned activeHead = 0;  // the head of the camera on the active route, 0 for the camera itself
  std::vector<unsigned> activePath;
  std::function<void(std::uint16_t)> senseObserver;
  std::uint64_t requests = 0;
  std::vector<std::unique_ptr<I2cSlave>> ports;

  // Link state.
  std::uint8_t result = kResultAccepted;
  Bytes rx;  // bytes of the frame being written (after the address byte)
  std::uint8_t rxAddress = 0;
  Bytes tx;  // frame being read
  std::size_t txPos = 0;
  bool reading = false;
  Bytes answer;  // content of the last command answer
  Bytes block;   // memory block being read
  std::size_t blockPos = 0;
  std::uint32_t busHz = 0;
  bool inReset = false;

  // Faults.
  unsigned busySends = 0;
  bool neverReady = false;
  unsigned corruptFrames = 0;
  bool corruptAtFastest = false;
  unsigned shortFrames = 0;
  std::uint16_t recordVersion = 1;

  Node* Find(const std::vector<unsigned>& levels, Node** parent, unsigned* port);
  Node* Route(const Bytes& content, std::size_t& pos, std::vector<unsigned>* path, unsigned* head);
  void ForgetRoute();
  std::uint16_t SenseLocked() const;
  void Frame(std::uint8_t address7, const Bytes& content);
  void OnWritten();
  void Command(Node& node, std::uint8_t command, const Bytes& data, bool withData);
  Bytes Identification(const Node& node) const;
  void Describe(const Node& node, const std::string& path, std::vector<std::string>& lines) const;
};

class PeripheralControllers::Port final : public I2cSlave {
 public:
  Port(Impl& impl, std::uint8_t address) : impl_(impl), address_(address) {}
  bool Start(bool read, std::uint32_t bus_hz) override;
  bool Write(std::uint8_t byte) override;
  std::uint8_t Read(bool master_acks) override;
  void Stop() override;

 private:
  Impl& impl_;
  std::uint8_t address_;
};

PeripheralControllers::Node* PeripheralControllers::Impl::Find(const std::vector<unsigned>& levels, Node** parent,
                                                               unsigned* port) {
  Node* node = connector.get();
  if (parent != nullptr) *parent = nullptr;
  for (std::size_t i = 1; i < levels.size(); ++i) {
    if (node == nullptr || node->type != kTypeMultiplexer || levels[i] > node->ports.size()) return nullptr;
    if (parent != nullptr) *parent = node;
    if (port != nullptr) *port = levels[i] - 1;
    node = node->ports[levels[i] - 1].get();
  }
  return node;
}

// Reads {n, n levels, model, serial} at pos and returns the addressed node when model and serial match.
// A path that ends one level below a camera with one of its head numbers addresses that head: the
// camera is returned (the request names the camera's model and serial number) and `head` is the head
// number; otherwise `head` is 0.
PeripheralControllers::Node* PeripheralControllers::Impl::Route(const Bytes& content, std::size_t& pos,
                                                                std::vector<unsigned>* path, unsigned* head) {
  *head = 0;
  if (pos >= content.size()) return nullptr;
  const unsigned n = content[pos++];
  if (content.size() - pos < n + 5u) return nullptr;
  std::vector<unsigned> levels{1};
  for (unsigned i = 0; i < n; ++i) levels.push_back(content[pos++]);
  const std::uint16_t model = static_cast<std::uint16_t>((content[pos] << 8) | content[pos + 1]);
  const std::uint32_t serial = (std::uint32_t{content[pos + 2]} << 16) | (content[pos + 3] << 8) | content[pos + 4];
  pos += 5;
  if (levels.size() > kMaxDepth) return nullptr;
  Node* node = Find(levels, nullptr, nullptr);
  if (node == nullptr && levels.size() > 1) {
    const std::vector<unsigned> above(levels.begin(), levels.end() - 1);
    Node* camera = Find(above, nullptr, nullptr);
    if (camera != nullptr && camera->type == kTypeCamera && levels.back() >= 1 && levels.back() <= camera->heads) {
      node = camera;
      *head = levels.back();
    }
  }
  if (node == nullptr || node->model != model || node->serial != serial) {
    *head = 0;
    return nullptr;
  }
  if (path != nullptr) *path = levels;
  return node;
}

void PeripheralControllers::Impl::ForgetRoute() {
  activeRoute = nullptr;
  activeHead = 0;
  activePath.clear();
}

std::uint16_t PeripheralControllers::Impl::SenseLocked() const {
  if (!connector) return kSenseNothing;
  switch (connector->type) {
    case kTypeMultiplexer: return kSenseMultiplexer;
    case kTypeCamera: return kSenseCamera;
    default: return kSenseProbe;
  }
}

Bytes PeripheralControllers::Impl::Identification(const Node& node) const {
  Writer w;
  w.U16(recordVersion).U8(node.type).U16(node.model).U24(node.serial).U32(node.flags);
  return w.b;
}

// Prepares the frame read from `address7` (7-bit) with `content`.
void PeripheralControllers::Impl::Frame(std::uint8_t address7, const Bytes& content) {
  tx.clear();
  tx.push_back(static_cast<std::uint8_t>((address7 << 1) | 1));
  const std::size_t size = content.size() + 4;
  tx.push_back(static_cast<std::uint8_t>(size >> 8));
  tx.push_back(static_cast<std::uint8_t>(size));
  tx.insert(tx.end(), content.begin(), content.end());
  tx.push_back(Xor(tx, tx.size()));
  if (corruptFrames > 0 || (corruptAtFastest && busHz >= 100000)) {
    if (corruptFrames > 0) --corruptFrames;
    tx.back() ^= 0x5a;
  }
  if (shortFrames > 0 && content.size() > 0) {
    // One content byte short, with a length and check byte that agree: a valid frame of the wrong size.
    --shortFrames;
    tx.erase(tx.end() - 2);
    tx[1] = static_cast<std::uint8_t>((tx.size()) >> 8);
    tx[2] = static_cast<std::uint8_t>(tx.size());
    tx.back() = 0;
    tx.back() = Xor(tx, tx.size() - 1);
  }
}

void PeripheralControllers::Impl::Command(Node& node, std::uint8_t command, const Bytes& data, bool withData) {
  answer.clear();
  if (withData) {
    if (command == 7 && data.size() != 8) {
      result = kResultRefused;
      return;
    }
    if (command == 12) {
      if (data.size() != 4 || node.type != kTypeCamera) {
        result = kResultRefused;
        return;
      }
      block = CameraBlock(node.model, node.serial, node.heads);
      blockPos = static_cast<std::size_t>((data[0] << 8) | data[1]);
    } else if (command != 7 && command != 13) {
      result = kResultRefused;
      return;
    }
    node.lastData[command & 15] = data;
    result = kResultAccepted;
    return;
  }
  result = kResultAccepted;
  switch (command) {
    case 1:
      if (node.type == kTypeProbe) answer = ProtonInformation(kProbeMinFrequency, kProbeMaxFrequency);
      else if (node.type == kTypeCamera) answer = CameraLimits();
      else result = kResultRefused;
      break;
    case 2:
      answer = TextPair(
          "sim", node.type == kTypeMultiplexer ? "Multiplexer " + std::to_string(node.ports.size()) : "Proton probe");
      break;
    case 3:
      if (node.type != kTypeMultiplexer) {
        result = kResultRefused;
        break;
      }
      answer = {0, static_cast<std::uint8_t>(node.ports.size())};
      for (const auto& child : node.ports) {
        if (child) {
          const Bytes id = Identification(*child);
          answer.insert(answer.end(), id.begin(), id.end());
        } else {
          answer.insert(answer.end(), 12, 0);
        }
      }
      break;
    case 8:
      if (node.type == kTypeProbe) answer = HallCalibration();
      else result = kResultRefused;
      break;
    case 9: {
      if (node.type != kTypeProbe) {
        result = kResultRefused;
        break;
      }
      Writer w;
      for (double axis : field) {
        const double raw = std::clamp(std::round(kHallOffset + axis * kHallCountsPerTesla), 0.0, 65535.0);
        w.U16(static_cast<unsigned>(raw));
      }
      w.U16(kHallReferenceTemperature);
      answer = w.b;
      break;
    }
    case 11: answer = {0x12, 0x34}; break;
    case 12: {
      if (node.type != kTypeCamera || block.empty()) {
        result = kResultRefused;
        break;
      }
      const std::size_t n = std::min(kBlockPart, block.size() - std::min(blockPos, block.size()));
      answer.assign(block.begin() + static_cast<std::ptrdiff_t>(blockPos),
                    block.begin() + static_cast<std::ptrdiff_t>(blockPos + n));
      blockPos += n;
      break;
    }
    default: result = kResultRefused; break;
  }
}

// A whole frame was written to rxAddress: act on it.
void PeripheralControllers::Impl::OnWritten() {
  ++requests;
  // rx holds length (2), content, check byte; the address byte is the I2C address.
  Bytes frame{static_cast<std::uint8_t>(rxAddress << 1)};
  frame.insert(frame.end(), rx.begin(), rx.end());
  rx.clear();
  if (frame.size() < 4) return;
  const std::size_t size = static_cast<std::size_t>((frame[1] << 8) | frame[2]);
  if (size != frame.size() || Xor(frame, frame.size()) != 0 || !connector) {
    result = kResultRefused;
    return;
  }
  if (busySends > 0) {
    --busySends;
    result = kResultBusy;
    return;
  }
  const Bytes content(frame.begin() + 3, frame.end() - 1);
  std::size_t pos = 0;
  switch (rxAddress) {
    case 0x10:  // reset
    case 0x12:  // scan
    case 0x14:  // active route
      result = kResultAccepted;
      break;
    case 0x11: result = kResultAccepted; break;
    case 0x13: {
      std::vector<unsigned> path;
      unsigned head = 0;
      Node* node = Route(content, pos, &path, &head);
      if (node == nullptr || node->type == kTypeMultiplexer || pos != content.size()) {
        result = kResultRefused;
      } else {
        activeRoute = node;
        activeHead = head;
        activePath = path;
        result = kResultAccepted;
      }
      break;
    }
    case 0x15:
    case 0x16: {
      unsigned head = 0;
      Node* node = Route(content, pos, nullptr, &head);
      if (node == nullptr || head != 0 || pos >= content.size()) {
        result = kResultRefused;
        break;
      }
      const std::uint8_t command = content[pos++];
      Command(*node, command, Bytes(content.begin() + static_cast<std::ptrdiff_t>(pos), content.end()),
              rxAddress == 0x15);
      break;
    }
    default: result = kResultRefused; break;
  }
}

bool PeripheralControllers::Port::Start(bool read, std::uint32_t bus_hz) {
  std::lock_guard<std::mutex> guard(impl_.lock);
  // Nothing plugged, or held in reset: no controller answers.
  if (!impl_.connector || impl_.inReset) return false;
  impl_.busHz = bus_hz;
  impl_.reading = read;
  if (!read) {
    impl_.rx.clear();
    impl_.rxAddress = address_;
    return true;
  }
  impl_.txPos = 1;
  Bytes content;
  switch (address_) {
    case 0x10: {
      const std::uint8_t ready = impl_.neverReady ? 0 : 1;
      content = {static_cast<std::uint8_t>(ready | (impl_.result << 1))};
      break;
    }
    case 0x11:
      content = {static_cast<std::uint8_t>(impl_.changed ? 1 : 0)};
      impl_.changed = false;
      break;
    case 0x12: content = impl_.Identification(*impl_.connector); break;
    case 0x14:
      if (impl_.activeRoute == nullptr) {
        content = {0, 0, 0, 0, 0, 0};
      } else {
        Writer w;
        w.U8(static_cast<unsigned>(impl_.activePath.size() - 1));
        for (std::size_t i = 1; i < impl_.activePath.size(); ++i) w.U8(impl_.activePath[i]);
        w.U16(impl_.activeRoute->model).U24(impl_.activeRoute->serial);
        content = w.b;
      }
      break;
    case 0x16:
      content = {0, 0, 0, 0, 0, 0};
      content.insert(content.end(), impl_.answer.begin(), impl_.answer.end());
      break;
    default: return false;
  }
  impl_.Frame(address_, content);
  return true;
}

bool PeripheralControllers::Port::Write(std::uint8_t byte) {
  std::lock_guard<std::mutex> guard(impl_.lock);
  if (impl_.rx.size() < 0x10000) impl_.rx.push_back(byte);
  return true;
}

std::uint8_t PeripheralControllers::Port::Read(bool) {
  std::lock_guard<std::mutex> guard(impl_.lock);
  return impl_.txPos < impl_.tx.size() ? impl_.tx[impl_.txPos++] : 0xff;
}

void PeripheralControllers::Port::Stop() {
  std::lock_guard<std::mutex> guard(impl_.lock);
  if (!impl_.reading && impl_.rxAddress == address_) impl_.OnWritten();
  impl_.reading = false;
}

PeripheralControllers::PeripheralControllers() : impl_(std::make_unique<Impl>()) {
  for (unsigned i = 0; i < kAddressCount; ++i)
    impl_->ports.push_back(std::make_unique<Port>(*impl_, static_cast<std::uint8_t>(kFirstAddress + i)));
}

PeripheralControllers::~PeripheralControllers() = default;

I2cSlave* PeripheralControllers::Device(unsigned index) {
  return index < kAddressCount ? impl_->ports[index].get() : nullptr;
}

bool PeripheralControllers::Plug(const std::string& path, const std::string& kind, std::string* error) {
  const auto fail = [&](const std::string& message) {
    if (error != nullptr) *error = message;
    return false;
  };
  std::vector<unsigned> levels;
  if (!ParsePath(path, levels)) return fail("bad path '" + path + "' (1, 1/3, ... up to five levels)");
  auto node = std::make_unique<Node>();
  const std::size_t colon = kind.find(':');
  const std::string base = kind.substr(0, colon);
  unsigned count = 0;
  if (colon != std::string::npos) {
    const std::string n = kind.substr(colon + 1);
    if (n.empty() || n.size() > 2 || n.find_first_not_of("0123456789") != std::string::npos)
      return fail("bad count in kind '" + kind + "'");
    count = static_cast<unsigned>(std::stoul(n));
  }
  if (base == "probe" && colon == std::string::npos) {
    node->type = kTypeProbe;
    node->model = 0x0201;
    node->flags = 1;
    node->kind = "probe";
  } else if (base == "multiplexer") {
    if (colon == std::string::npos) count = 4;
    if (count < 1 || count > 16) return fail("a multiplexer has 1 to 16 ports");
    node->type = kTypeMultiplexer;
    node->model = 0x0301;
    node->ports.resize(count);
    node->kind = "multiplexer:" + std::to_string(count);
  } else if (base == "camera") {
    if (colon == std::string::npos) count = 3;
    if (count < 1 || count > 8) return fail("a camera has 1 to 8 heads");
    node->type = kTypeCamera;
    node->model = 0x0601;
    node->heads = count;
    node->kind = "camera:" + std::to_string(count);
  } else {
    return fail("unknown kind '" + kind + "' (probe, multiplexer[:N], camera[:H])");
  }
  std::uint16_t before = 0;
  std::uint16_t after = 0;
  std::function<void(std::uint16_t)> observer;
  {
    std::lock_guard<std::mutex> guard(impl_->lock);
    before = impl_->SenseLocked();
    node->serial = impl_->nextSerial++ & 0xffffff;
    if (levels.size() == 1) {
      if (impl_->connector) return fail("the connector is taken");
      impl_->connector = std::move(node);
    } else {
      std::vector<unsigned> parentLevels(levels.begin(), levels.end() - 1);
      Node* parent = impl_->Find(parentLevels, nullptr, nullptr);
      if (parent == nullptr || parent->type != kTypeMultiplexer) return fail("no multiplexer at the parent of " + path);
      const unsigned port = levels.back();
      if (port > parent->ports.size()) return fail("the multiplexer has no port " + std::to_string(port));
      if (parent->ports[port - 1]) return fail("port " + path + " is taken");
      parent->ports[port - 1] = std::move(node);
    }
    impl_->changed = true;
    after = impl_->SenseLocked();
    observer = impl_->senseObserver;
  }
  if (before != after && observer) observer(after);
  return true;
}

bool PeripheralControllers::Unplug(const std::string& path, std::string* error) {
  std::vector<unsigned> levels;
  if (!ParsePath(path, levels)) {
    if (error != nullptr) *error = "bad path '" + path + "'";
    return false;
  }
  std::uint16_t before = 0;
  std::uint16_t after = 0;
  std::function<void(std::uint16_t)> observer;
  std::unique_ptr<Node> removed;
  {
    std::lock_guard<std::mutex> guard(impl_->lock);
    before = impl_->SenseLocked();
    Node* parent = nullptr;
    unsigned port = 0;
    Node* node = impl_->Find(levels, &parent, &port);
    if (node == nullptr) {
      if (error != nullptr) *error = "nothing plugged at " + path;
      return false;
    }
    removed = parent == nullptr ? std::move(impl_->connector) : std::move(parent->ports[port]);
    // A route through the removed subtree is gone.
    if (impl_->activePath.size() >= levels.size() &&
        std::equal(levels.begin(), levels.end(), impl_->activePath.begin())) {
      impl_->ForgetRoute();
    }
    impl_->changed = true;
    after = impl_->SenseLocked();
    observer = impl_->senseObserver;
  }
  if (before != after && observer) observer(after);
  return true;
}

void PeripheralControllers::SetField(double x, double y, double z) {
  std::lock_guard<std::mutex> guard(impl_->lock);
  impl_->field[0] = x;
  impl_->field[1] = y;
  impl_->field[2] = z;
}

NmrWorld PeripheralControllers::NmrSource() {
  std::lock_guard<std::mutex> guard(impl_->lock);
  NmrWorld world;
  world.field = std::sqrt(impl_->field[0] * impl_->field[0] + impl_->field[1] * impl_->field[1] +
                          impl_->field[2] * impl_->field[2]);
  const Node* node = impl_->activeRoute != nullptr ? impl_->activeRoute : impl_->connector.get();
  if (node == nullptr) return world;
  if (node->type == kTypeProbe) {
    world.path_intact = true;
    world.min_frequency = kProbeMinFrequency;
    world.max_frequency = kProbeMaxFrequency;
  } else if (node->type == kTypeCamera) {
    world.path_intact = true;
    const unsigned head = node == impl_->activeRoute && impl_->activeHead != 0 ? impl_->activeHead : 1;
    CameraHeadRange(head, &world.min_frequency, &world.max_frequency);
  } else {
    return world;
  }
  world.gyro_ratio = kProtonGyroRatio;
  return world;
}

void PeripheralControllers::Impl::Describe(const Node& node, const std::string& path,
                                           std::vector<std::string>& lines) const {
  char details[96];
  std::snprintf(details, sizeof details, " model 0x%04x serial 0x%06x", unsigned{node.model}, unsigned{node.serial});
  lines.push_back(path + " " + node.kind + details);
  for (std::size_t i = 0; i < node.ports.size(); ++i)
    if (node.ports[i]) Describe(*node.ports[i], path + "/" + std::to_string(i + 1), lines);
}

void PeripheralControllers::CameraHeadRange(unsigned head, double* min_frequency, double* max_frequency) {
  const double offset = 1.0e6 * (head > 0 ? head - 1 : 0);
  *min_frequency = kCameraHeadMinFrequency + offset;
  *max_frequency = kCameraHeadMaxFrequency + offset;
}

std::vector<std::string> PeripheralControllers::Describe() {
  std::lock_guard<std::mutex> guard(impl_->lock);
  std::vector<std::string> lines;
  if (impl_->connector) impl_->Describe(*impl_->connector, "1", lines);
  return lines;
}

std::uint16_t PeripheralControllers::SenseCode() {
  std::lock_guard<std::mutex> guard(impl_->lock);
  return impl_->SenseLocked();
}

void PeripheralControllers::SetSenseObserver(std::function<void(std::uint16_t)> observer) {
  std::uint16_t code = 0;
  {
    std::lock_guard<std::mutex> guard(impl_->lock);
    impl_->senseObserver = observer;
    code = impl_->SenseLocked();
  }
  if (observer) observer(code);
}

void PeripheralControllers::SetResetLine(bool high) {
  std::lock_guard<std::mutex> guard(impl_->lock);
  if (!high && !impl_->inReset) {
    impl_->result = kResultAccepted;
    impl_->ForgetRoute();
    impl_->answer.clear();
    impl_->block.clear();
    impl_->rx.clear();
  }
  impl_->inReset = !high;
}

void PeripheralControllers::SetBusySends(unsigned sends) {
  std::lock_guard<std::mutex> guard(impl_->lock);
  impl_->busySends = sends;
}
void PeripheralControllers::SetNeverReady(bool on) {
  std::lock_guard<std::mutex> guard(impl_->lock);
  impl_->neverReady = on;
}
void PeripheralControllers::SetCorruptFrames(unsigned frames) {
  std::lock_guard<std::mutex> guard(impl_->lock);
  impl_->corruptFrames = frames;
}
void PeripheralControllers::SetCorruptAtFastestSpeed(bool on) {
  std::lock_guard<std::mutex> guard(impl_->lock);
  impl_->corruptAtFastest = on;
}
void PeripheralControllers::SetShortFrames(unsigned frames) {
  std::lock_guard<std::mutex> guard(impl_->lock);
  impl_->shortFrames = frames;
}
void PeripheralControllers::SetRecordVersion(std::uint16_t version) {
  std::lock_guard<std::mutex> guard(impl_->lock);
  impl_->recordVersion = version;
}
void PeripheralControllers::ClearFaults() {
  std::lock_guard<std::mutex> guard(impl_->lock);
  impl_->busySends = 0;
  impl_->neverReady = false;
  impl_->corruptFrames = 0;
  impl_->corruptAtFastest = false;
  impl_->shortFrames = 0;
  impl_->recordVersion = 1;
}

bool PeripheralControllers::ChangeIndicator() {
  std::lock_guard<std::mutex> guard(impl_->lock);
  return impl_->changed;
}

std::uint64_t PeripheralControllers::RequestsSeen() {
  std::lock_guard<std::mutex> guard(impl_->lock);
  return impl_->requests;
}

}  // namespace sim
