#pragma once
// JPEG files through libjpeg: the writer of the JPEG camera route and a reader.

#include "image/ImageStream.h"
#include "image/Picture.h"

namespace orbiscope {

// Writes a baseline JFIF file at the picture's JPEG quality and resolution: 24-bit
// pictures in colour, 8-bit grey-ramp pictures in grey. Other pictures are refused with
// "JPEG can save only RGB or GreyScale images"; a library failure leaves its message.
PictureResult EncodeJpeg(const CPicture& picture, const PictureInfo& info, ImageStream* stream);
// Reads a JPEG file into a 24-bit (colour) or 8-bit grey-ramp (greyscale) picture.
bool DecodeJpeg(CPicture& picture, ImageStream* stream);

}  // namespace orbiscope
