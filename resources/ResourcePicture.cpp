#include "resources/ResourcePicture.h"

#include "image/ImageStream.h"
#include "resources/ResourceLibrary.h"

namespace orbiscope {

CPicture LoadResourcePicture(const ResourceLibrary& resources, int id, std::uint32_t format) {
  CPicture picture(format);
  const auto bytes = resources.Picture(id);
  if (bytes.empty()) {
    picture.SetLastError("Unable to load resource!");
    return picture;
  }
  MemoryStream stream(bytes.data(), bytes.size());
  picture.Decode(&stream, format);
  return picture;
}

}  // namespace orbiscope
