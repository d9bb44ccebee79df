// Runs the widget tests of the settings pages in one program (one QApplication).
#include <QApplication>

namespace orbiscope {
int RunServerPageWidgetTests(int argc, char** argv);
int RunVideoPageWidgetTests(int argc, char** argv);
int RunDeviceControlsDialogTests(int argc, char** argv);
}  // namespace orbiscope

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  int failed = 0;
  for (auto run : {orbiscope::RunServerPageWidgetTests, orbiscope::RunVideoPageWidgetTests,
                   orbiscope::RunDeviceControlsDialogTests})
    failed += run(argc, argv);
  return failed == 0 ? 0 : 1;
}
