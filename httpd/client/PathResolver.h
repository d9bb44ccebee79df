#pragma once
// Maps a request URL onto a virtual directory and a local file.

#include <cstddef>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "httpd/HttpDirectory.h"

namespace orbiscope {

// The directories of the server settings, in configuration order.
using DirectoryList = std::span<const std::unique_ptr<CHttpDirectory>>;

// The first directory whose alias equals `alias` without regard to letter case.
const CHttpDirectory* FindDirectory(DirectoryList directories, std::string_view alias);

// Where a URL leads.
struct ResolvedPath {
  const CHttpDirectory* directory = nullptr;  // never null in a result
  std::string url;        // the URL without its path info; ends in "/" for a listing
  std::string localFile;  // the file, or the folder of a listing
  std::string pathInfo;   // the parts after an existing file or from the first missing one
  bool isDirectory = false;  // the folder is answered with its listing
};

// Maps `url` (decoded, "/"-separated) to its directory and local file. Aliases are tried
// from the deepest folder of the URL upwards; the alias itself gives the default file or,
// with listing on, the folder. Path parts after an existing file or from the first
// missing part on become `pathInfo` and are cut off the result's URL. A folder reached
// with listing on is a listing, and its URL gets "/" appended.
// Nothing for ".." or ":" in the URL, no matching alias, or a local file that would lie
// outside the directory's folder once symbolic links are followed.
std::optional<ResolvedPath> ResolvePath(DirectoryList directories, std::string_view url);

// Whether `path` lies in `folder` (or is it) after following symbolic links.
bool IsInsideFolder(const std::string& folder, const std::string& path);

}  // namespace orbiscope
