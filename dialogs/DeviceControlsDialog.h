#pragma once
// The capture device's own settings (brightness, exposure, white balance...): one row per
// control the device lists, a slider for a number, a check box for a switch, a list for a
// menu and a button for an action. Every change goes to the device at once, so the live
// picture shows it while the user adjusts.

#include <cstdint>
#include <vector>

#include <QWidget>

#include "capture/CaptureBackend.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QSlider;

namespace orbiscope {

class ResourceLibrary;

// The rows, without the dialog around them.
class DeviceControlsPanel : public QWidget {
public:
  // Reads the device's controls once; controls must outlive the panel.
  explicit DeviceControlsPanel(DeviceControls& controls, QWidget* parent = nullptr);
  // Sets every control back to the device's default.
  void RestoreDefaults();
  bool IsEmpty() const { return list_.empty(); }

private:
  struct Row {
    QSlider* slider = nullptr;
    QLabel* number = nullptr;
    QCheckBox* check = nullptr;
    QComboBox* menu = nullptr;
    std::int64_t stride = 1;  // value between two slider positions
  };

  QWidget* MakeEditor(std::size_t index);
  // Sends value to the device; when it refuses, the row shows what the device holds.
  void Apply(std::size_t index, std::int32_t value);
  // Shows value in the row without sending it again.
  void Show(std::size_t index, std::int32_t value);
  std::int32_t SliderValue(std::size_t index, int position) const;

  DeviceControls& controls_;
  std::vector<DeviceControl> list_;
  std::vector<Row> rows_;
};

// Shows the device's settings modally; kNone once the user closed it, kNotOffered (and
// nothing shown) when the device lists no control.
CaptureError ShowDeviceControlsDialog(DeviceControls& controls, const ResourceLibrary& resources, QWidget* parent);

}  // namespace orbiscope
