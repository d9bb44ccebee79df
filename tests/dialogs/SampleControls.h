#pragma once
// A device with the controls a typical USB camera lists, recording what is set; it refuses
// values outside a control's range, as a driver does, and every value of a control marked
// refused, as a driver does for a control its automatic mode rules.

#include <cstdint>
#include <set>
#include <utility>
#include <vector>

#include "capture/CaptureBackend.h"
#include "capture/CaptureStatus.h"

namespace orbiscope::testing {

class SampleControls final : public DeviceControls {
public:
  SampleControls() {
    Add(1, "Brightness", DeviceControl::Kind::Integer, -64, 64, 1, 0, 12);
    Add(2, "Contrast", DeviceControl::Kind::Integer, 0, 95, 1, 32, 40);
    Add(3, "Saturation", DeviceControl::Kind::Integer, 0, 100, 5, 55, 60);
    Add(4, "White Balance, Automatic", DeviceControl::Kind::Boolean, 0, 1, 1, 1, 1);
    Add(5, "Power Line Frequency", DeviceControl::Kind::Menu, 0, 2, 1, 1, 1);
    controls_.back().menu = {{0, "Disabled"}, {1, "50 Hz"}, {2, "60 Hz"}};
    Add(6, "Exposure Time, Absolute", DeviceControl::Kind::Integer, 1, 50000, 1, 156, 300);
    Add(7, "Focus, Automatic Continuous", DeviceControl::Kind::Boolean, 0, 1, 1, 0, 0);
    Add(8, "Pan, Reset", DeviceControl::Kind::Button, 0, 0, 0, 0, 0);
  }

  std::vector<DeviceControl> Controls() override { return controls_; }

  CaptureError SetControl(std::uint32_t id, std::int32_t value) override {
    for (DeviceControl& c : controls_) {
      if (c.id != id) continue;
      if (refused.count(id) != 0) return CaptureError::kFailed;
      if (c.kind != DeviceControl::Kind::Button && (value < c.minimum || value > c.maximum)) return CaptureError::kFailed;
      set.emplace_back(id, value);
      if (c.kind != DeviceControl::Kind::Button) c.value = value;
      return CaptureError::kNone;
    }
    return CaptureError::kFailed;
  }

  // The current value of control id.
  std::int32_t Value(std::uint32_t id) const {
    for (const DeviceControl& c : controls_)
      if (c.id == id) return c.value;
    return 0;
  }

  std::vector<std::pair<std::uint32_t, std::int32_t>> set;  // every accepted SetControl
  std::set<std::uint32_t> refused;  // controls that refuse every value (inactive ones)

private:
  void Add(std::uint32_t id, const char* name, DeviceControl::Kind kind, std::int32_t min,
           std::int32_t max, std::int32_t step, std::int32_t def, std::int32_t value) {
    DeviceControl c;
    c.id = id;
    c.name = name;
    c.kind = kind;
    c.minimum = min;
    c.maximum = max;
    c.step = step;
    c.defaultValue = def;
    c.value = value;
    controls_.push_back(std::move(c));
  }

  std::vector<DeviceControl> controls_;
};

}  // namespace orbiscope::testing
