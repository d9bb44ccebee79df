#pragma once
// Plain placeholders with the interface of dialogs/PageWidgets.h, used only while that
// library is not in the build: the window is complete around them and takes the real
// pages as soon as the target orbiscope_dialogs_widgets exists.

#include <QWidget>

namespace orbiscope {

class CDlgOpcionServer;
class CDlgOpcionVideo;
class DeviceControls;
class ResourceLibrary;

class ServerPageWidget final : public QWidget {
public:
  ServerPageWidget(CDlgOpcionServer& page, const ResourceLibrary& resources, QWidget* parent);
  void Refresh();

protected:
  void paintEvent(QPaintEvent* event) override;

private:
  CDlgOpcionServer& page_;
  const ResourceLibrary& resources_;
};

class VideoPageWidget final : public QWidget {
public:
  VideoPageWidget(CDlgOpcionVideo& page, const ResourceLibrary& resources, QWidget* parent);
  void Refresh();

protected:
  void paintEvent(QPaintEvent* event) override;

private:
  CDlgOpcionVideo& page_;
};

int ShowDeviceControlsDialog(DeviceControls& controls, const ResourceLibrary& resources, QWidget* parent);

}  // namespace orbiscope
