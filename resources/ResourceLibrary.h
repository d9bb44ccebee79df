#pragma once
// The resource library: every user-visible text, HTML page, picture, icon, clip and menu
// of the program, by identifier, from Resource.so beside the executable.
//
// A missing item answers empty: an empty string, an empty page, an empty picture. Callers
// treat empty as "leave the control blank" or "send an empty page".

#include <cstddef>
#include <span>
#include <string>
#include <string_view>

#include "resources/ResourceIds.h"

namespace orbiscope {

class ResourceLibrary {
public:
  ResourceLibrary() = default;  // not loaded: every lookup answers empty
  ~ResourceLibrary();
  ResourceLibrary(const ResourceLibrary&) = delete;
  ResourceLibrary& operator=(const ResourceLibrary&) = delete;

  // Loads the library file; false (and the library stays unloaded) when it cannot be
  // opened or is not a resource library.
  bool Load(const std::string& path);
  bool IsLoaded() const { return find_ != nullptr; }
  // The file name the front-end reports when loading fails: "Error loading Resource.so".
  static constexpr std::string_view kFileName = "Resource.so";

  // UTF-8 text of a string; empty when missing.
  std::string String(int id) const;
  // The string with its "%1" replaced by value; value alone when the string is missing.
  std::string String(int id, std::string_view value) const;
  // The bytes of an HTML page (resource type 23); empty when missing.
  std::string_view Html(int id) const;
  // Encoded picture bytes (BMP or PNG); empty when missing.
  std::span<const unsigned char> Picture(int id) const;
  std::span<const unsigned char> Icon(int id) const;
  std::span<const unsigned char> Clip(int id) const;
  // A menu description: one item a line, "ID<TAB>TEXT", "-" for a separator,
  // ">TEXT" opening and "<" closing a sub-menu. Empty when missing.
  std::string_view Menu(int id) const;

private:
  std::span<const unsigned char> Find(ResourceKind kind, int id) const;

  void* handle_ = nullptr;
  using FindFn = bool (*)(int kind, int id, const unsigned char** data, std::size_t* size);
  FindFn find_ = nullptr;
};

}  // namespace orbiscope
