#pragma once
// The desktop front-end: the controller under the main window. Message boxes are modal
// boxes; SIGINT and SIGTERM close the window the normal way and SIGHUP applies an edited
// settings file, as without a window.

#include <string>
#include <string_view>

#include "config/MessageSink.h"

namespace orbiscope {

class ConfigStore;
class LogXML;
class ResourceLibrary;

// Runs the controller until the window closes; answers the exit code. Needs a display.
int RunWindow(ConfigStore& config, LogXML& log, const ResourceLibrary& resources, const std::string& exeFolder);

// A modal box on the UI thread; from any other thread the message goes to standard error,
// because waiting there for the UI thread could wait for ever on a thread it joins.
void ShowMessageBox(std::string_view caption, std::string_view text);

}  // namespace orbiscope
