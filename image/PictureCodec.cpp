// Encode and decode dispatch by format code, and encoding into memory.
#include <cstdio>
#include <cstring>

#include "image/BmpCodec.h"
#include "image/CodecSupport.h"
#include "image/GifEncoder.h"
#include "image/ImageStream.h"
#include "image/JpegCodec.h"
#include "image/PngCodec.h"
#include "image/WbmpEncoder.h"
#include "image/Picture.h"

namespace orbiscope {

namespace {

using Writer = PictureResult (*)(const CPicture&, const PictureInfo&, ImageStream*);
using Reader = bool (*)(CPicture&, ImageStream*);

const char* FormatName(std::uint32_t format) {
  switch (format) {
    case kFormatBmp: return "BMP";
    case kFormatGif: return "GIF";
    case kFormatJpeg: return "JPEG";
    case kFormatPng: return "PNG";
    case kFormatIco: return "ICO";
    case kFormatTiff: return "TIFF";
    case kFormatTga: return "TGA";
    case kFormatPcx: return "PCX";
    case kFormatWbmp: return "WBMP";
    case kFormatWmf: return "WMF";
    case kFormatJp2: return "JP2";
    case kFormatJpc: return "JPC";
    case kFormatPgx: return "PGX";
    case kFormatPnm: return "PNM";
    case kFormatRas: return "RAS";
    default: return "";
  }
}

Writer WriterFor(std::uint32_t format) {
  switch (format) {
    case kFormatBmp: return EncodeBmp;
    case kFormatJpeg: return EncodeJpeg;
    case kFormatPng: return EncodePng;
    case kFormatGif:
      return [](const CPicture& p, const PictureInfo& i, ImageStream* s) { return EncodeGif(p, i, s); };
    case kFormatWbmp: return EncodeWbmp;
    default: return nullptr;
  }
}

Reader ReaderFor(std::uint32_t format) {
  switch (format) {
    case kFormatBmp: return DecodeBmp;
    case kFormatJpeg: return DecodeJpeg;
    case kFormatPng: return DecodePng;
    default: return nullptr;
  }
}

std::string Unsupported(const char* verb, std::uint32_t format) {
  char text[64];
  std::snprintf(text, sizeof(text), "%s %s not supported", verb, FormatName(format));
  return text;
}

}  // namespace

PictureResult CheckWriterInput(const CPicture& picture, ImageStream* stream) {
  if (stream == nullptr) return PictureResult::Failure("null file handler");
  if (!picture.HasPixels()) return PictureResult::Failure("null image!!!");
  return PictureResult::Success();
}

PictureResult CPicture::Encode(ImageStream* stream, std::uint32_t format,
                               const PictureInfo* settings) const {
  if (format < kFormatBmp || format > kFormatRas) {
    return PictureResult::Failure("Encode: Unknown format");
  }
  // The writer sees the format it writes, whatever the picture was read from.
  PictureInfo info = settings != nullptr ? *settings : info_;
  info.format = format;
  if (PictureResult checked = CheckWriterInput(*this, stream); !checked) return checked;
  if (Writer writer = WriterFor(format)) return writer(*this, info, stream);
  // Formats kept in the table but not written by this program say so instead of
  // pretending; WMF keeps its historical text.
  return PictureResult::Failure(Unsupported("Save", format));
}

PictureResult CPicture::Encode(std::uint8_t*& buffer, std::size_t& size, std::uint32_t format,
                               const PictureInfo* settings) const {
  if (buffer != nullptr) return PictureResult::Failure("");
  MemoryStream stream;
  if (!stream.Open()) return PictureResult::Failure("CPicture::Encode can't allocate memory");
  PictureResult result = Encode(&stream, format, settings);
  if (!result) return result;
  size = stream.Size();
  buffer = stream.HandOver();
  return result;
}

EncodedBytes CPicture::EncodeToMemory(std::uint32_t format, std::size_t& size,
                                      const PictureInfo* settings) const {
  std::uint8_t* buffer = nullptr;
  size = 0;
  if (!Encode(buffer, size, format, settings)) return nullptr;
  return EncodedBytes(buffer);
}

bool CPicture::Decode(ImageStream* stream, std::uint32_t format) {
  if (stream == nullptr) {
    SetLastError("null file handler");
    return false;
  }
  static constexpr std::uint32_t kTryOrder[] = {kFormatBmp, kFormatJpeg, kFormatIco, kFormatGif,
                                                kFormatPng, kFormatTiff, kFormatTga, kFormatPcx,
                                                kFormatWbmp, kFormatWmf, kFormatJp2};
  if (format == kFormatUnknown) {
    const std::int64_t start = stream->Position();
    for (std::uint32_t candidate : kTryOrder) {
      Reader reader = ReaderFor(candidate);
      if (reader == nullptr) continue;
      stream->SeekTo(start, 0);
      CPicture decoded(candidate);
      decoded.info_.escape = info_.escape;
      if (reader(decoded, stream)) {
        TakeOver(decoded);
        return true;
      }
    }
    SetLastError("Decode: Unknown or wrong format");
    return false;
  }
  if (format > kFormatRas) {
    SetLastError("Decode: Unknown or wrong format");
    return false;
  }
  Reader reader = ReaderFor(format);
  if (reader == nullptr) {
    SetLastError(Unsupported("Load", format));
    return false;
  }
  CPicture decoded(format);
  decoded.info_.escape = info_.escape;
  if (!reader(decoded, stream)) {
    SetLastError(decoded.LastError());
    return false;
  }
  TakeOver(decoded);
  return true;
}

CPicture::CPicture(const std::uint8_t* block, std::size_t size, std::uint32_t format) {
  ResetState(format);
  MemoryStream stream(block, size);
  Decode(&stream, format);
}

}  // namespace orbiscope
