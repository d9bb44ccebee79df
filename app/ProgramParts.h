#pragma once
// What both front-ends give the controller besides their view, their queue and their way
// of showing messages: the real web server, the platform's cameras and the dialogs' font.

#include <string>

#include "app/OrbiscopeDlg.h"

namespace orbiscope {

COrbiscopeDlg::Dependencies ProgramParts(ConfigStore& config, LogXML& log, const ResourceLibrary& resources,
                                         ControllerView& view, UiPoster post, MessageSink messages,
                                         const std::string& exeFolder);

}  // namespace orbiscope
