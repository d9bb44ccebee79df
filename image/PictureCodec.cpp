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
#include "resources/ResourceLibrary.h"

namespace orbiscope {

namespace {

using Writer = bool (*)(CPicture&, ImageStream*);
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
    case kFormatGif: return [](CPicture& p, ImageStream* s) { return EncodeGif(p, s); };
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

bool Unsupported(CPicture& picture, const char* verb, std::uint32_t format) {
  char text[64];
  std::snprintf(text, sizeof(text), "%s %s not supported", verb, FormatName(format));
  picture.SetLastError(text);
  return false;
}

}  // namespace

bool CheckWriterInput(CPicture& picture, ImageStream* stream) {
  if (stream == nullptr) {
    picture.SetLastError("null file handler");
    return false;
  }
  if (!picture.HasPixels()) {
    picture.SetLastError("null image!!!");
    return false;
  }
  return true;
}

bool CPicture::Encode(ImageStream* stream, std::uint32_t format) {
  if (format < kFormatBmp || format > kFormatRas) {
    SetLastError("Encode: Unknown format");
    return false;
  }
  CPicture writerPicture(format);
  writerPicture.ShareFrom(*this);
  writerPicture.info_.format = format;
  bool ok;
  if (!CheckWriterInput(writerPicture, stream)) {
    ok = false;
  } else if (Writer writer = WriterFor(format)) {
    ok = writer(writerPicture, stream);
  } else {
    // Formats kept in the table but not written by this program say so instead of
    // pretending; WMF keeps its historical text.
    ok = Unsupported(writerPicture, "Save", format);
  }
  if (!ok) SetLastError(writerPicture.LastError());
  return ok;
}

bool CPicture::Encode(std::uint8_t*& buffer, std::size_t& size, std::uint32_t format) {
  if (buffer != nullptr) return false;
  MemoryStream stream;
  if (!stream.Open()) {
    SetLastError("CPicture::Encode can't allocate memory");
    return false;
  }
  if (!Encode(&stream, format)) return false;
  size = stream.Size();
  buffer = stream.HandOver();
  return true;
}

EncodedBytes CPicture::EncodeToMemory(std::uint32_t format, std::size_t& size) {
  std::uint8_t* buffer = nullptr;
  size = 0;
  if (!Encode(buffer, size, format)) return nullptr;
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
  if (reader == nullptr) return Unsupported(*this, "Load", format);
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

CPicture::CPicture(const ResourceLibrary& resources, int id, std::uint32_t format) {
  ResetState(format);
  const auto bytes = resources.Picture(id);
  if (bytes.empty()) {
    SetLastError("Unable to load resource!");
    return;
  }
  MemoryStream stream(bytes.data(), bytes.size());
  Decode(&stream, format);
}

}  // namespace orbiscope
