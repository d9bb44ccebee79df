#pragma once
// GIF89a files for the phone routes.

#include <string>

#include "image/ImageStream.h"
#include "image/Picture.h"

namespace orbiscope {

// Writes the picture as GIF89a: a global colour table from the palette, a graphic control
// extension, one image whose data the coder named by the picture's codec option writes
// (1 uncompressed, 2 LZW, otherwise run-length). A 24-bit picture is written losslessly
// as a mosaic of 17 x 15-pixel images, each with its own colour table.
PictureResult EncodeGif(const CPicture& picture, const PictureInfo& info, ImageStream* stream);

// The same with a comment extension (at most 255 bytes of `comment` are kept) and a
// disposal method for the graphic control extension.
PictureResult EncodeGif(const CPicture& picture, const PictureInfo& info, ImageStream* stream,
                        const std::string& comment, int disposalMethod);

}  // namespace orbiscope
