#include "httpd/HttpServerSettings.h"

#include <arpa/inet.h>

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

std::vector<std::uint32_t> ParseTrustedProxies(std::string_view text, std::vector<std::string>& rejected) {
  std::vector<std::uint32_t> addresses;
  constexpr std::string_view kSeparators = ", \t\r\n";
  std::size_t at = 0;
  while ((at = text.find_first_not_of(kSeparators, at)) != std::string_view::npos) {
    const std::size_t end = std::min(text.find_first_of(kSeparators, at), text.size());
    const std::string entry(text.substr(at, end - at));
    in_addr address {};
    // inet_pton takes the four dotted decimals only, never the short or octal forms that
    // inet_aton reads, so what the log shows is what the file says.
    if (::inet_pton(AF_INET, entry.c_str(), &address) == 1) {
      addresses.push_back(address.s_addr);
    } else {
      rejected.push_back(entry);
    }
    at = end;
  }
  return addresses;
}

std::string FormatAddresses(const std::vector<std::uint32_t>& addresses) {
  std::string out;
  for (const std::uint32_t value : addresses) {
    in_addr address {};
    address.s_addr = value;
    char text[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &address, text, sizeof text);
    if (!out.empty()) out += ", ";
    out += text;
  }
  return out;
}

CHttpServerSettings::CHttpServerSettings(const std::string& executableDir) {
  HttpDirectorySettings root;
  root.m_sAlias = "/";
  root.m_sDirectory = executableDir;
  root.m_sDefaultFile = "default.htm";
  m_Directories.push_back(std::move(root));
}

}  // namespace orbiscope
