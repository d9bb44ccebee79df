#pragma once
// The front-end without a window: message boxes become lines on standard error, SIGINT and
// SIGTERM close the program the normal way, SIGHUP applies an edited settings file.

#include <string>

namespace orbiscope {

class ConfigStore;
class LogXML;
class ResourceLibrary;

// Runs the controller until a close; answers the exit code.
int RunHeadless(ConfigStore& config, LogXML& log, const ResourceLibrary& resources,
                const std::string& exeFolder);

}  // namespace orbiscope
