#include "httpd/MimeMap.h"

#include <string>

#include "config/ConfigStore.h"

namespace orbiscope {

int CMimeMap::Load(const ConfigStore& store, std::string_view /*section*/) {
  std::lock_guard lock(mutex_);
  store_ = &store;
  map_.reserve(7929);
  const long count = store.GetInt("GENERAL", "MimeRegistred", 0);
  if (count <= 0) return 0;
  for (long i = 1; i <= count; ++i) {
    const std::string section = "MIME\\MIME" + std::to_string(i);
    std::string key = store.GetValue(section, "KEY", "");
    map_[std::move(key)] = store.GetValue(section, "VALUE", "");
  }
  return static_cast<int>(map_.size());
}

std::string CMimeMap::GetMimeType(std::string_view localFileName) const {
  // The extension belongs to the file name, never to a folder above it.
  const std::size_t slash = localFileName.find_last_of("/\\");
  const std::string_view name =
      slash == std::string_view::npos ? localFileName : localFileName.substr(slash + 1);
  const std::size_t dot = name.rfind('.');
  if (dot == std::string_view::npos) return std::string(kDefaultType);
  std::string key(name.substr(dot + 1));
  std::lock_guard lock(mutex_);
  for (char& c : key)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  const auto it = map_.find(key);
  return it != map_.end() ? it->second : std::string(kDefaultType);
}

std::size_t CMimeMap::Size() const {
  std::lock_guard lock(mutex_);
  return map_.size();
}

}  // namespace orbiscope
