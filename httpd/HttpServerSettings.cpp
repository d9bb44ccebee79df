#include "httpd/HttpServerSettings.h"

namespace orbiscope {

CHttpServerSettings::CHttpServerSettings(const std::string& executableDir) {
  HttpDirectorySettings root;
  root.m_sAlias = "/";
  root.m_sDirectory = executableDir;
  root.m_sDefaultFile = "default.htm";
  m_Directories.push_back(std::move(root));
}

}  // namespace orbiscope
