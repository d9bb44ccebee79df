#pragma once
// PNG files through libpng: the writer of the PNG camera route and a reader.

#include "image/ImageStream.h"
#include "image/Picture.h"

namespace orbiscope {

// Writes the picture as PNG with a background and a resolution chunk: 24-bit pictures as
// RGB (RGBA with an alpha plane or a transparent colour), palette pictures as palette
// images with the palette trimmed to the used entries and the transparent entry first.
// The picture itself is not changed. False with the last error set.
PictureResult EncodePng(const CPicture& picture, const PictureInfo& info, ImageStream* stream);
// Reads a PNG file: palette images into 8-bit palette pictures, greyscale into 8-bit
// grey-ramp pictures, everything else into 24-bit pictures (alpha into the alpha plane).
bool DecodePng(CPicture& picture, ImageStream* stream);

}  // namespace orbiscope
