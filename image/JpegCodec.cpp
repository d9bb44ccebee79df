#include "image/JpegCodec.h"

#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <jpeglib.h>
#include <jerror.h>

#include "image/CodecSupport.h"

namespace orbiscope {

namespace {

constexpr std::size_t kBridgeBufferBytes = 4096;
// Scan lines handed to the library per call.
constexpr int kRowsPerCall = 16;

// The standard error manager whose exit routine keeps the message and jumps back to the
// coder instead of ending the process.
struct ErrorManager {
  jpeg_error_mgr pub;
  std::jmp_buf jump;
  char* lastError;  // 256 bytes
};
constexpr std::size_t kErrorBytes = 256;

void ErrorExit(j_common_ptr cinfo) {
  auto* err = reinterpret_cast<ErrorManager*>(cinfo->err);
  char message[JMSG_LENGTH_MAX];
  (*cinfo->err->format_message)(cinfo, message);
  std::snprintf(err->lastError, kErrorBytes, "%s", message);
  std::longjmp(err->jump, 1);
}

void SilentMessage(j_common_ptr) {}

// Destination and source manager over an ImageStream, with one 4 096-byte buffer.
struct StreamBridge {
  jpeg_destination_mgr dest;
  jpeg_source_mgr src;
  ImageStream* stream;
  JOCTET* buffer;
};

StreamBridge* BridgeOf(j_compress_ptr cinfo) { return reinterpret_cast<StreamBridge*>(cinfo->dest); }
StreamBridge* BridgeOf(j_decompress_ptr cinfo) {
  return reinterpret_cast<StreamBridge*>(reinterpret_cast<char*>(cinfo->src) -
                                         offsetof(StreamBridge, src));
}

void InitDestination(j_compress_ptr cinfo) {
  StreamBridge* b = BridgeOf(cinfo);
  b->dest.next_output_byte = b->buffer;
  b->dest.free_in_buffer = kBridgeBufferBytes;
}

boolean EmptyOutputBuffer(j_compress_ptr cinfo) {
  StreamBridge* b = BridgeOf(cinfo);
  if (b->stream->WriteItems(b->buffer, 1, kBridgeBufferBytes) != kBridgeBufferBytes) {
    ERREXIT(cinfo, JERR_FILE_WRITE);
  }
  b->dest.next_output_byte = b->buffer;
  b->dest.free_in_buffer = kBridgeBufferBytes;
  return TRUE;
}

void TermDestination(j_compress_ptr cinfo) {
  StreamBridge* b = BridgeOf(cinfo);
  const std::size_t pending = kBridgeBufferBytes - b->dest.free_in_buffer;
  if (pending > 0 && b->stream->WriteItems(b->buffer, 1, pending) == 0) {
    ERREXIT(cinfo, JERR_FILE_WRITE);
  }
  b->stream->FlushOut();
  if (b->stream->ErrorState() != 0) ERREXIT(cinfo, JERR_FILE_WRITE);
}

void InitSource(j_decompress_ptr) {}

boolean FillInputBuffer(j_decompress_ptr cinfo) {
  StreamBridge* b = BridgeOf(cinfo);
  std::size_t got = b->stream->ReadItems(b->buffer, 1, kBridgeBufferBytes);
  if (got == 0) {
    // Premature end: warn and insert a fake end-of-image marker so decoding can finish.
    WARNMS(cinfo, JWRN_JPEG_EOF);
    b->buffer[0] = 0xFF;
    b->buffer[1] = JPEG_EOI;
    got = 2;
  }
  b->src.next_input_byte = b->buffer;
  b->src.bytes_in_buffer = got;
  return TRUE;
}

void SkipInputData(j_decompress_ptr cinfo, long count) {
  StreamBridge* b = BridgeOf(cinfo);
  while (count > static_cast<long>(b->src.bytes_in_buffer)) {
    count -= static_cast<long>(b->src.bytes_in_buffer);
    FillInputBuffer(cinfo);
  }
  if (count > 0) {
    b->src.next_input_byte += count;
    b->src.bytes_in_buffer -= static_cast<std::size_t>(count);
  }
}

void TermSource(j_decompress_ptr) {}

std::uint16_t Density(std::uint32_t dpi) { return static_cast<std::uint16_t>(dpi > 65535 ? 65535 : dpi); }

// Everything between the jump target and the library calls lives here: only trivially
// destructible locals, so a jump back skips no destructor.
bool Compress(const CPicture& pic, const PictureInfo& info, jpeg_compress_struct* cinfo,
              ErrorManager* err, StreamBridge* bridge, bool grey) {
  if (setjmp(err->jump)) {
    jpeg_destroy_compress(cinfo);
    return false;
  }
  jpeg_CreateCompress(cinfo, 62, sizeof(jpeg_compress_struct));
  cinfo->dest = &bridge->dest;
  cinfo->image_width = pic.Width();
  cinfo->image_height = pic.Height();
  if (grey) {
    cinfo->input_components = 1;
    cinfo->in_color_space = JCS_GRAYSCALE;
  } else {
    cinfo->input_components = 3;
    cinfo->in_color_space = JCS_RGB;
  }
  jpeg_set_defaults(cinfo);
#ifdef JCS_EXTENSIONS
  // The stored blue-green-red rows go in as they are; the library's colour conversion
  // from this order is the same arithmetic as from red-green-blue, so the file is the
  // same one a swapped copy of each row would give, without the copy.
  if (!grey) cinfo->in_color_space = JCS_EXT_BGR;
#endif
  jpeg_set_quality(cinfo, info.jpegQuality, TRUE);
  cinfo->density_unit = 1;
  cinfo->X_density = Density(info.xDpi);
  cinfo->Y_density = Density(info.yDpi);
  jpeg_start_compress(cinfo, TRUE);

  const std::uint32_t height = pic.Height();
#ifdef JCS_EXTENSIONS
  JSAMPROW rows[kRowsPerCall];
  while (cinfo->next_scanline < height) {
    int n = 0;
    for (; n < kRowsPerCall && cinfo->next_scanline + n < height; ++n) {
      // The library only reads the rows it is given, whatever its row type says.
      rows[n] = const_cast<JSAMPROW>(pic.Row(height - 1 - (cinfo->next_scanline + n)));
    }
    jpeg_write_scanlines(cinfo, rows, static_cast<JDIMENSION>(n));
  }
#else
  const std::uint32_t rowBytes = pic.RowBytes();
  JSAMPARRAY buffer = (*cinfo->mem->alloc_sarray)(reinterpret_cast<j_common_ptr>(cinfo),
                                                  JPOOL_IMAGE, rowBytes + 8, 1);
  while (cinfo->next_scanline < height) {
    std::memcpy(buffer[0], pic.Row(height - 1 - cinfo->next_scanline), rowBytes);
    if (!grey) {
      for (std::uint32_t i = 0; i + 2 < rowBytes; i += 3) std::swap(buffer[0][i], buffer[0][i + 2]);
    }
    jpeg_write_scanlines(cinfo, buffer, 1);
  }
#endif
  jpeg_finish_compress(cinfo);
  jpeg_destroy_compress(cinfo);
  return true;
}

bool Decompress(CPicture& pic, jpeg_decompress_struct* cinfo, ErrorManager* err,
                StreamBridge* bridge) {
  if (setjmp(err->jump)) {
    jpeg_destroy_decompress(cinfo);
    return false;
  }
  jpeg_CreateDecompress(cinfo, 62, sizeof(jpeg_decompress_struct));
  cinfo->src = &bridge->src;
  jpeg_read_header(cinfo, TRUE);
  const bool grey = cinfo->num_components == 1;
  cinfo->out_color_space = grey ? JCS_GRAYSCALE : JCS_RGB;
  jpeg_start_decompress(cinfo);
  if (pic.Create(cinfo->output_width, cinfo->output_height, grey ? 8 : 24, kFormatJpeg) == nullptr) {
    jpeg_destroy_decompress(cinfo);
    return false;
  }
  if (grey) {
    for (std::uint32_t i = 0; i < 256; ++i) {
      const auto v = static_cast<std::uint8_t>(i);
      pic.SetPaletteColor(i, RGBQuad{v, v, v, 0});
    }
  }
  if (cinfo->density_unit == 1 && cinfo->X_density && cinfo->Y_density) {
    pic.SetResolution(cinfo->X_density, cinfo->Y_density);
  } else if (cinfo->density_unit == 2 && cinfo->X_density && cinfo->Y_density) {
    pic.SetResolution(static_cast<std::uint32_t>(cinfo->X_density * 2.54 + 0.5),
                      static_cast<std::uint32_t>(cinfo->Y_density * 2.54 + 0.5));
  }
  const std::uint32_t height = pic.Height();
  while (cinfo->output_scanline < height) {
    JSAMPROW row = pic.Row(height - 1 - cinfo->output_scanline);
    jpeg_read_scanlines(cinfo, &row, 1);
    if (!grey) {
      for (std::uint32_t x = 0; x < pic.Width(); ++x) std::swap(row[3 * x], row[3 * x + 2]);
    }
  }
  jpeg_finish_decompress(cinfo);
  jpeg_destroy_decompress(cinfo);
  return true;
}

struct BufferFree {
  void operator()(JOCTET* p) const { std::free(p); }
};

}  // namespace

PictureResult EncodeJpeg(const CPicture& pic, const PictureInfo& info, ImageStream* stream) {
  if (PictureResult checked = CheckWriterInput(pic, stream); !checked) return checked;
  const bool grey = pic.Bpp() <= 8;
  // Packed 1- and 4-bit rows are not one sample per pixel, whatever their palette says.
  if (grey && (pic.Bpp() != 8 || !pic.IsGreyRamp())) {
    return PictureResult::Failure("JPEG can save only RGB or GreyScale images");
  }
  std::unique_ptr<JOCTET, BufferFree> buffer(static_cast<JOCTET*>(std::malloc(kBridgeBufferBytes)));
  if (!buffer) return PictureResult::Failure("JPEG can't allocate memory");
  jpeg_compress_struct cinfo;
  ErrorManager err;
  cinfo.err = jpeg_std_error(&err.pub);
  err.pub.error_exit = ErrorExit;
  char message[kErrorBytes] = {};
  err.lastError = message;
  StreamBridge bridge{};
  bridge.stream = stream;
  bridge.buffer = buffer.get();
  bridge.dest.init_destination = InitDestination;
  bridge.dest.empty_output_buffer = EmptyOutputBuffer;
  bridge.dest.term_destination = TermDestination;
  if (!Compress(pic, info, &cinfo, &err, &bridge, grey)) return PictureResult::Failure(message);
  return PictureResult::Success();
}

bool DecodeJpeg(CPicture& pic, ImageStream* stream) {
  if (stream == nullptr) {
    pic.SetLastError("null file handler");
    return false;
  }
  std::unique_ptr<JOCTET, BufferFree> buffer(static_cast<JOCTET*>(std::malloc(kBridgeBufferBytes)));
  if (!buffer) {
    pic.SetLastError("JPEG can't allocate memory");
    return false;
  }
  jpeg_decompress_struct cinfo;
  ErrorManager err;
  cinfo.err = jpeg_std_error(&err.pub);
  err.pub.error_exit = ErrorExit;
  err.pub.output_message = SilentMessage;
  char message[kErrorBytes] = {};
  err.lastError = message;
  StreamBridge bridge{};
  bridge.stream = stream;
  bridge.buffer = buffer.get();
  bridge.src.init_source = InitSource;
  bridge.src.fill_input_buffer = FillInputBuffer;
  bridge.src.skip_input_data = SkipInputData;
  bridge.src.resync_to_restart = jpeg_resync_to_restart;
  bridge.src.term_source = TermSource;
  const bool ok = Decompress(pic, &cinfo, &err, &bridge);
  if (message[0] != '\0') pic.SetLastError(message);
  return ok;
}

}  // namespace orbiscope
