#include "httpd/client/PathResolver.h"

#include <algorithm>
#include <filesystem>
#include <system_error>

namespace orbiscope {
namespace {

namespace fs = std::filesystem;

char Lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool EqualsNoCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) { return Lower(x) == Lower(y); });
}

enum class Entry { Missing, File, Folder };

Entry Probe(const std::string& path) {
  std::error_code ec;
  fs::file_status status = fs::status(path, ec);
  if (ec || !fs::exists(status)) return Entry::Missing;
  return fs::is_directory(status) ? Entry::Folder : Entry::File;
}

std::string Slashes(std::string text) {
  std::replace(text.begin(), text.end(), '\\', '/');
  return text;
}

}  // namespace

const CHttpDirectory* FindDirectory(DirectoryList directories, std::string_view alias) {
  for (const auto& directory : directories) {
    if (directory && EqualsNoCase(directory->GetAlias(), alias)) return directory.get();
  }
  return nullptr;
}

bool IsInsideFolder(const std::string& folder, const std::string& path) {
  std::error_code ec;
  fs::path root = fs::weakly_canonical(fs::path(folder), ec);
  if (ec) return false;
  fs::path target = fs::weakly_canonical(fs::path(path), ec);
  if (ec) return false;
  std::string r = root.string(), t = target.string();
  while (r.size() > 1 && r.back() == '/') r.pop_back();
  if (t == r) return true;
  if (r == "/") return true;
  return t.size() > r.size() && t.compare(0, r.size(), r) == 0 && t[r.size()] == '/';
}

std::optional<ResolvedPath> ResolvePath(DirectoryList directories, std::string_view url) {
  ResolvedPath out;
  out.url = url;
  const CHttpDirectory* directory = nullptr;

  std::string copy(url);
  std::replace(copy.begin(), copy.end(), '/', '\\');
  if (copy.find("..") != std::string::npos || copy.find(':') != std::string::npos)
    return std::nullopt;
  // A decoded control character has no business in a file name.
  if (std::any_of(copy.begin(), copy.end(), [](char c) { return static_cast<unsigned char>(c) < 0x20; })) {
    return std::nullopt;
  }

  // Deepest folder first: "\cam\sub\x.jpg" tries "\cam\sub\", then "\cam\", then "\".
  std::string probe = copy;
  while (directory == nullptr) {
    std::size_t slash = probe.rfind('\\');
    if (slash == std::string::npos) return std::nullopt;
    std::string folder = probe.substr(0, slash + 1);
    directory = FindDirectory(directories, folder);
    if (directory == nullptr) probe = folder.substr(0, folder.size() - 1);
  }

  std::string remainder = copy.substr(directory->GetAlias().size());
  std::string root = directory->GetDirectory();
  std::string& localFile = out.localFile;
  localFile = root;
  if (localFile.empty() || localFile.back() != '/') localFile += '/';
  out.directory = directory;

  if (remainder.empty()) {
    out.isDirectory = directory->GetDirectoryListing();
    if (!out.isDirectory) localFile += directory->GetDefaultFile();
    if (!IsInsideFolder(root, localFile)) return std::nullopt;
    return out;
  }

  // Walk the parts on the file system. Empty parts (doubled or leading separators) are
  // skipped: joined as they are, "//etc/passwd" would name the absolute /etc/passwd.
  std::string base = localFile.substr(0, localFile.size() - 1);
  std::size_t start = 0;
  while (start < remainder.size()) {
    std::size_t end = std::min(remainder.find('\\', start), remainder.size());
    if (end == start) {
      ++start;
      continue;
    }
    std::string candidate = base + '/' + remainder.substr(start, end - start);
    Entry entry = Probe(candidate);
    if (entry == Entry::Missing) {
      out.pathInfo = Slashes(remainder.substr(start));
      out.url.resize(out.url.size() - (remainder.size() - start));
      break;
    }
    base = candidate;
    if (entry == Entry::File) {
      if (end < remainder.size()) out.pathInfo = Slashes(remainder.substr(end + 1));
      out.url.resize(out.url.size() - (remainder.size() - end));
      break;
    }
    start = end + 1;
  }
  localFile = base;
  if (!IsInsideFolder(root, localFile)) return std::nullopt;

  // Only a URL that names the folder itself is listed; a missing file below a listed
  // folder stays a missing file (404) rather than turning into its parent's listing.
  if (directory->GetDirectoryListing() && out.pathInfo.empty() &&
      Probe(localFile) == Entry::Folder) {
    out.isDirectory = true;
    if (out.url.empty() || out.url.back() != '/') out.url += '/';
  }
  return out;
}

}  // namespace orbiscope
