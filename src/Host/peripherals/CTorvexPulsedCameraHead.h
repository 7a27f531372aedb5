// CTorvexPulsedCameraHead: one measuring head of a camera. Its channel is the camera's channel with
// the head number (counting from 1) as last level; it measures with its own physical-information
// record and forwards everything else to its camera.
//
// Created by CTorvexPulsedCamera::CreateHeads (and the topology factory) only for an initialised
// camera. A head holds a reference on its camera (CTorvexPeripheral::Retain), so the camera lives as
// long as any of its heads, whichever of them the topology gives up first.
#pragma once

#include <cstdint>

#include "peripherals/CTorvexPulsedCamera.h"
#include "peripherals/CTorvexPwMeasuringPeripheral.h"

namespace Torvex {

class CTorvexPulsedCameraHead : public CTorvexPwMeasuringPeripheral {
 public:
  CTorvexPulsedCameraHead(const CTorvexChannel& channel, CTorvexPulsedCamera* camera);
  ~CTorvexPulsedCameraHead() override;

  int GetType() override { return 2; }
  std::uint16_t GetModel() override { return camera->GetModel(); }
  int GetSerialNumber() override { return camera->GetSerialNumber(); }
  std::string GetDesignation() override { return camera->GetDesignation(); }
  bool IsInitialized() override { return camera->IsInitialized(); }
  int Initialize() override { return camera->Initialize(); }
  std::uint8_t GetChildCount() override { return 0; }

  int Activate() override;
  double GetMinFrequency() override { return Record()->MinFreq; }
  double GetMaxFrequency() override { return Record()->MaxFreq; }
  double GetGyromagneticRatio() override { return Record()->GyroRatio; }
  int ReadHallField(int* x, int* y, int* z, unsigned int* total) override {
    return camera->ReadHallField(x, y, z, total);
  }
  const PwPhysicalInformation* GetPhysicalInformation() override { return Record(); }
  int WriteParameterPair(std::uint32_t first, std::uint32_t second) override {
    return camera->WriteParameterPair(first, second);
  }

  // The head number: the last level of its channel (0 for a channel without levels).
  std::uint8_t HeadNumber() const;

 private:
  const PwPhysicalInformation* Record() const { return camera->HeadRecord(HeadNumber()); }

  CTorvexPulsedCamera* camera;
};

}  // namespace Torvex
