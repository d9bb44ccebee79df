#include "resources/ResourceLibrary.h"

#include <dlfcn.h>

namespace orbiscope {

ResourceLibrary::~ResourceLibrary() {
  if (handle_ != nullptr) dlclose(handle_);
}

bool ResourceLibrary::Load(const std::string& path) {
  void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) return false;
  auto find = reinterpret_cast<FindFn>(dlsym(handle, kResourceLookupSymbol));
  if (find == nullptr) {
    dlclose(handle);
    return false;
  }
  if (handle_ != nullptr) dlclose(handle_);
  handle_ = handle;
  find_ = find;
  return true;
}

std::span<const unsigned char> ResourceLibrary::Find(ResourceKind kind, int id) const {
  if (find_ == nullptr) return {};
  const unsigned char* data = nullptr;
  std::size_t size = 0;
  if (!find_(static_cast<int>(kind), id, &data, &size) || data == nullptr) return {};
  return {data, size};
}

std::string ResourceLibrary::String(int id) const {
  auto bytes = Find(ResourceKind::String, id);
  return std::string(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

std::string ResourceLibrary::String(int id, std::string_view value) const {
  std::string text = String(id);
  const std::size_t mark = text.find("%1");
  if (mark == std::string::npos) return std::string(value);
  return text.replace(mark, 2, value);
}

std::string_view ResourceLibrary::Html(int id) const {
  auto bytes = Find(ResourceKind::Html, id);
  return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

std::span<const unsigned char> ResourceLibrary::Picture(int id) const {
  return Find(ResourceKind::Picture, id);
}

std::span<const unsigned char> ResourceLibrary::Icon(int id) const {
  return Find(ResourceKind::Icon, id);
}

std::span<const unsigned char> ResourceLibrary::Clip(int id) const {
  return Find(ResourceKind::Clip, id);
}

std::string_view ResourceLibrary::Menu(int id) const {
  auto bytes = Find(ResourceKind::Menu, id);
  return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

}  // namespace orbiscope
