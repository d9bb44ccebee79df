#pragma once
// BMP files: the reader the frame path decodes every camera frame with, and a writer.

#include "image/ImageStream.h"
#include "image/Picture.h"

namespace orbiscope {

// Reads a BMP file or a bare DIB (core or info header; 1, 4, 8, 16, 24 or 32 bits;
// RLE4 and RLE8; top-down pictures) into `picture`. False with the last error set.
bool DecodeBmp(CPicture& picture, ImageStream* stream);
// Writes `picture` as an uncompressed BMP file with its own header and palette.
PictureResult EncodeBmp(const CPicture& picture, const PictureInfo& info, ImageStream* stream);

}  // namespace orbiscope
