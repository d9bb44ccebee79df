#pragma once
// The settings pages' widgets for the desktop window: the server page, the video page and
// the capture device's settings dialog. Each page is a thin view over its page object,
// which keeps all of the logic and also runs without widgets.

#include "dialogs/DeviceControlsDialog.h"
#include "dialogs/ServerPageWidget.h"
#include "dialogs/VideoPageWidget.h"
