#include "peripherals/CTorvexPulsedCameraHead.h"

#include "peripherals/CPeripheralRequests.h"

namespace Torvex {

CTorvexPulsedCameraHead::CTorvexPulsedCameraHead(const CTorvexChannel& channel, CTorvexPulsedCamera* camera)
    : CTorvexPwMeasuringPeripheral(channel), camera(camera) {
  if (camera != nullptr) camera->Retain();
}

CTorvexPulsedCameraHead::~CTorvexPulsedCameraHead() { Release(camera); }

std::uint8_t CTorvexPulsedCameraHead::HeadNumber() const {
  return channel.Length() == 0 ? 0 : channel.Level(static_cast<std::uint8_t>(channel.Length() - 1));
}

int CTorvexPulsedCameraHead::Activate() {
  // The route to a head is the camera's path with the head number appended.
  CTorvexChannel path = camera->GetChannel();
  path.AppendLevel(HeadNumber());
  return CPeripheralRequests::Current().SelectRoute(PeripheralLink::LinkPathOf(path), camera->GetModel(),
                                                    static_cast<std::uint32_t>(camera->GetSerialNumber()));
}

}  // namespace Torvex
