#pragma once
// WBMP (type 0) files for WAP phones.

#include "image/ImageStream.h"
#include "image/Picture.h"

namespace orbiscope {

// Writes a 1-bit picture of at most 255 x 255 pixels; anything else is refused with
// "Can't save this image as WBMP".
PictureResult EncodeWbmp(const CPicture& picture, const PictureInfo& info, ImageStream* stream);

}  // namespace orbiscope
