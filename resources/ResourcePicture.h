#pragma once
// Pictures of the resource library decoded into the program's picture container. Apart
// from the loader so that the picture library needs no resource library and the loader
// no picture library.

#include <cstdint>

#include "image/Picture.h"

namespace orbiscope {

class ResourceLibrary;

// Decodes picture `id` with the reader of `format`. A missing picture gives an empty one
// whose last error is "Unable to load resource!"; a decode that fails, an empty one with
// the reader's text.
CPicture LoadResourcePicture(const ResourceLibrary& resources, int id, std::uint32_t format);

}  // namespace orbiscope
