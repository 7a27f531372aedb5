// The ADC device (see adc_device.h).
#include "drivers/adc_device.h"

#include <cerrno>
#include <chrono>

#include "platform/devtab.h"
#include "platform/hw_registers.h"
#include "platform/regbus.h"

namespace {

using platform::regbus::Read32;
using platform::regbus::Write32;
using namespace hw::adc;

constexpr cyg_uint32 kPrescaler = 49;
// A conversion takes a few converter clocks; a converter that never reports its end is given up
// after this long (far beyond any real conversion).
constexpr auto kConversionTimeout = std::chrono::seconds(1);

struct adc_device {
  cyg_uint32 channel;
  cyg_mutex_t mutex;
  cyg_selinfo selinfo;
  bool selector_waiting;
  bool converting;
};

bool s_initialised = false;
cyg_mutex_t s_converter_mutex;

adc_device s_adc0 = {0, {}, {}, false, false};

adc_device* device_of(cyg_io_handle_t handle) { return static_cast<adc_device*>(cyg_io_entry(handle)->priv); }

void lock(cyg_mutex_t* m) {
  while (!cyg_mutex_lock(m)) {
  }
}

cyg_bool_t adc_init(cyg_devtab_entry* tab) {
  auto* dev = static_cast<adc_device*>(tab->priv);
  cyg_mutex_init(&dev->mutex);
  cyg_selinit(&dev->selinfo);
  dev->selector_waiting = false;
  dev->converting = false;
  if (!s_initialised) {
    s_initialised = true;
    cyg_mutex_init(&s_converter_mutex);
    cyg_uint32 con = Read32(ADCCON) & ~(kConPrescaler.Mask() | kConStandby | kConReadStart | kConStart);
    con |= kConPrescaler.Make(kPrescaler) | kConPrescalerEnable;
    Write32(ADCCON, con);
  }
  return true;
}

Cyg_ErrNo adc_lookup(cyg_devtab_entry**, cyg_devtab_entry*, const char*) { return 0; }

// One conversion of `channel`; false when the converter never reports its end.
bool convert(cyg_uint32 channel, cyg_uint16* result) {
  Write32(ADCCON, kConChannel.Set(Read32(ADCCON) & ~kConStart, channel));
  Write32(ADCTSC, Read32(ADCTSC) & ~kTscMode.Mask());
  Write32(ADCCON, Read32(ADCCON) | kConStart);
  const auto deadline = std::chrono::steady_clock::now() + kConversionTimeout;
  for (;;) {
    if (Read32(ADCCON) & kConEndOfConversion) {
      *result = static_cast<cyg_uint16>(kDatValue.Get(Read32(ADCDAT0)));
      return true;
    }
    if (std::chrono::steady_clock::now() >= deadline) return false;
  }
}

Cyg_ErrNo adc_read(cyg_io_handle_t handle, void* buf, cyg_uint32* len) {
  if (buf == nullptr || len == nullptr || *len != 2) return -EINVAL;
  adc_device* dev = device_of(handle);
  lock(&s_converter_mutex);
  lock(&dev->mutex);
  dev->converting = true;
  cyg_mutex_unlock(&dev->mutex);

  cyg_uint16 value = 0;
  const bool ok = convert(dev->channel, &value);
  if (ok) *static_cast<cyg_uint16*>(buf) = value;
  cyg_mutex_unlock(&s_converter_mutex);

  lock(&dev->mutex);
  dev->converting = false;
  if (dev->selector_waiting) {
    dev->selector_waiting = false;
    cyg_selwakeup(&dev->selinfo);
  }
  cyg_mutex_unlock(&dev->mutex);
  return ok ? 0 : -EIO;
}

cyg_bool_t adc_select(cyg_io_handle_t handle, cyg_uint32 which, cyg_addrword_t info) {
  if (which != CYG_FREAD) return false;
  adc_device* dev = device_of(handle);
  lock(&dev->mutex);
  const bool ready = !dev->converting;
  if (!ready) {
    cyg_selrecord(info, &dev->selinfo);
    dev->selector_waiting = true;
  }
  cyg_mutex_unlock(&dev->mutex);
  return ready;
}

Cyg_ErrNo adc_get_config(cyg_io_handle_t, cyg_uint32, void*, cyg_uint32*) { return -EINVAL; }
Cyg_ErrNo adc_set_config(cyg_io_handle_t, cyg_uint32, const void*, cyg_uint32*) { return -EINVAL; }

const cyg_devio_table_t kAdcHandlers = {nullptr, adc_read, adc_select, adc_get_config, adc_set_config};

cyg_devtab_entry s_adc0_entry = {"/dev/adc0", &kAdcHandlers, adc_init, adc_lookup, &s_adc0, false};

}  // namespace

void adc_register_devices() { platform::devtab::Register(&s_adc0_entry); }
