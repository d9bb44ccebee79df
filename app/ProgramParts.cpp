#include "app/ProgramParts.h"

#include "app/WebServerAdapter.h"

namespace orbiscope {

COrbiscopeDlg::Dependencies ProgramParts(ConfigStore& config, LogXML& log, const ResourceLibrary& resources,
                                         ControllerView& view, UiPoster post, MessageSink messages,
                                         const std::string& exeFolder) {
  COrbiscopeDlg::Dependencies deps{
      .config = config,
      .log = log,
      .resources = resources,
      .messages = messages,
      .view = view,
      .post = std::move(post),
      .serverFactory = MakeWebServerFactory(resources, messages, exeFolder),
      .captureBackends = DefaultCaptureBackends(),
      .exeFolder = exeFolder,
  };
  // The face the window's dialogs use; the caption font starts from it.
  deps.dialogFont.faceName = resources.String(res::kStrSplashFont);
  return deps;
}

}  // namespace orbiscope
