#include "dialogs/DeviceControlsDialog.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QPushButton>
#include <QSlider>
#include <QTest>
#include <QTimer>

#include "capture/CaptureStatus.h"
#include "dialogs/PagePickers.h"
#include "tests/dialogs/SampleControls.h"
#include "tests/dialogs/WidgetTestSupport.h"

namespace orbiscope {

using Setting = std::pair<std::uint32_t, std::int32_t>;
using Settings = std::vector<Setting>;

class DeviceControlsDialogTest : public QObject {
  Q_OBJECT

private slots:
  void everyKindAppliesLive() {
    testing::SampleControls device;
    DeviceControlsPanel panel(device);
    panel.findChild<QSlider*>("Brightness")->setValue(64 + 20);  // positions count from the minimum
    panel.findChild<QSlider*>("Saturation")->setValue(3);         // in steps of 5
    panel.findChild<QCheckBox*>("White Balance, Automatic")->click();
    auto* menu = panel.findChild<QComboBox*>("Power Line Frequency");
    QCOMPARE(menu->currentText(), QString("50 Hz"));
    menu->activated(2);
    panel.findChild<QPushButton*>("Pan, Reset")->click();
    QCOMPARE(device.set, (Settings{{1, 20}, {3, 15}, {4, 0}, {5, 2}, {8, 1}}));
  }

  void wideRangesReachBothEnds() {
    testing::SampleControls device;  // exposure 1..50000 in steps of 1
    DeviceControlsPanel panel(device);
    auto* slider = panel.findChild<QSlider*>("Exposure Time, Absolute");
    QVERIFY(slider->maximum() <= 1000);
    QCOMPARE(slider->value(), 6);  // 300 shown at the nearest position
    slider->setValue(slider->maximum());
    slider->setValue(0);
    QCOMPARE(device.set, (Settings{{6, 50000}, {6, 1}}));
  }

  void aRefusedValueShowsWhatTheDeviceHolds() {
    testing::SampleControls device;
    device.refused = {2, 4};
    DeviceControlsPanel panel(device);
    auto* contrast = panel.findChild<QSlider*>("Contrast");
    contrast->setValue(90);
    QCOMPARE(contrast->value(), 40);
    auto* balance = panel.findChild<QCheckBox*>("White Balance, Automatic");
    balance->click();
    QVERIFY(balance->isChecked());
    QVERIFY(device.set.empty());
  }

  void restoringDefaults() {
    testing::SampleControls device;
    DeviceControlsPanel panel(device);
    panel.RestoreDefaults();
    QCOMPARE(device.Value(1), 0);
    QCOMPARE(device.Value(2), 32);
    QCOMPARE(device.Value(6), 156);
    QCOMPARE(panel.findChild<QSlider*>("Brightness")->value(), 64);
    QVERIFY(std::none_of(device.set.begin(), device.set.end(), [](const Setting& s) { return s.first == 8; }));
  }

  void theDialogShowsOnlyWithControls() {
    ResourceLibrary resources;
    testing::LoadResources(resources);
    struct NoControls final : DeviceControls {
      std::vector<DeviceControl> Controls() override { return {}; }
      CaptureError SetControl(std::uint32_t, std::int32_t) override { return CaptureError::kNone; }
    } none;
    QCOMPARE(ShowDeviceControlsDialog(none, resources, nullptr), CaptureError::kNotOffered);

    testing::SampleControls device;
    bool seen = false;
    QTimer::singleShot(0, [&] {
      auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
      if (dialog == nullptr) return;
      seen = dialog->findChild<QSlider*>("Brightness") != nullptr;
      dialog->findChild<QSlider*>("Contrast")->setValue(50);
      dialog->reject();
    });
    QCOMPARE(ShowDeviceControlsDialog(device, resources, nullptr), CaptureError::kNone);
    QVERIFY(seen);
    QCOMPARE(device.Value(2), 50);
  }

  void storedFontAndColourInQtTerms() {
    OverlayFont stored;
    stored.faceName = "DejaVu Serif";
    stored.height = -13;
    stored.weight = 0;
    stored.width = 7;
    stored.charSet = 238;
    stored.underline = 1;
    const QFont q = ToQFont(stored);
    QCOMPARE(q.pixelSize(), 13);
    QCOMPARE(q.weight(), QFont::Normal);
    QVERIFY(q.underline());
    QFont chosen = q;
    chosen.setPointSize(10);  // a chooser answers in points: 10 points are 13 pixels
    chosen.setBold(true);
    const OverlayFont back = FromQFont(chosen, stored);
    QCOMPARE(back.height, -13);
    QCOMPARE(back.weight, 700);
    QCOMPARE(back.width, 7);  // fields Qt does not know are kept
    QCOMPARE(back.charSet, std::uint8_t(238));
    // Colours are stored red in the low byte.
    QCOMPARE(ToQColor(0x0000FF), QColor(255, 0, 0));
    QCOMPARE(FromQColor(QColor(0x12, 0x34, 0x56)), 0x563412u);
  }
};

int RunDeviceControlsDialogTests(int argc, char** argv) {
  DeviceControlsDialogTest test;
  return QTest::qExec(&test, argc, argv);
}

}  // namespace orbiscope

#include "DeviceControlsDialogTest.moc"
