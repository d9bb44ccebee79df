#include "httpd/HttpServerSettings.h"

#include <algorithm>
#include <filesystem>

namespace orbiscope {
namespace {

// Whether one folder holds the other or both are the same, by their names alone.
bool Overlap(const std::string& a, const std::string& b) {
  const auto components = [](const std::string& folder) {
    std::filesystem::path normal = std::filesystem::path(folder).lexically_normal();
    return normal.has_filename() ? normal : normal.parent_path();
  };
  const std::filesystem::path x = components(a);
  const std::filesystem::path y = components(b);
  const auto xLength = std::distance(x.begin(), x.end());
  const auto yLength = std::distance(y.begin(), y.end());
  return xLength <= yLength ? std::equal(x.begin(), x.end(), y.begin())
                            : std::equal(y.begin(), y.end(), x.begin());
}

}  // namespace

std::vector<std::string> ExposedDirectoryWarnings(const std::vector<HttpDirectorySettings>& directories) {
  std::vector<std::string> warnings;
  for (const HttpDirectorySettings& guarded : directories) {
    if (guarded.m_sUsername.empty()) continue;
    for (const HttpDirectorySettings& open : directories) {
      if (!open.m_sUsername.empty() || open.m_bScript ||
          !Overlap(guarded.m_sDirectory, open.m_sDirectory)) {
        continue;
      }
      warnings.push_back("Warning: the files of the protected alias " + guarded.m_sAlias +
                         " are also served without credentials through the alias " +
                         open.m_sAlias + "\n");
      break;
    }
  }
  return warnings;
}

CHttpServerSettings::CHttpServerSettings(const std::string& executableDir) {
  HttpDirectorySettings root;
  root.m_sAlias = "/";
  root.m_sDirectory = executableDir;
  root.m_sDefaultFile = "default.htm";
  m_Directories.push_back(std::move(root));
}

}  // namespace orbiscope
