#include "ImageTestSupport.h"

#include <cstring>

#include <gif_lib.h>

namespace orbiscope::testing {

namespace {

struct Reader {
  const std::vector<std::uint8_t>* bytes;
  std::size_t pos;
};

int ReadGif(GifFileType* gif, GifByteType* out, int n) {
  auto* r = static_cast<Reader*>(gif->UserData);
  const std::size_t left = r->bytes->size() - r->pos;
  const std::size_t take = static_cast<std::size_t>(n) < left ? static_cast<std::size_t>(n) : left;
  std::memcpy(out, r->bytes->data() + r->pos, take);
  r->pos += take;
  return static_cast<int>(take);
}

}  // namespace

DecodedGif DecodeGif(const std::vector<std::uint8_t>& bytes) {
  DecodedGif result;
  Reader reader{&bytes, 0};
  int error = 0;
  GifFileType* gif = DGifOpen(&reader, ReadGif, &error);
  if (gif == nullptr) return result;
  if (DGifSlurp(gif) == GIF_OK && gif->ImageCount > 0) {
    result.ok = true;
    result.screenWidth = gif->SWidth;
    result.screenHeight = gif->SHeight;
    result.imageCount = gif->ImageCount;
    const SavedImage& first = gif->SavedImages[0];
    result.width = first.ImageDesc.Width;
    result.height = first.ImageDesc.Height;
    result.indices.assign(first.RasterBits, first.RasterBits + result.width * result.height);
    const ColorMapObject* map = first.ImageDesc.ColorMap ? first.ImageDesc.ColorMap : gif->SColorMap;
    if (map != nullptr) {
      for (int i = 0; i < map->ColorCount; ++i) {
        result.colors.push_back(map->Colors[i].Red);
        result.colors.push_back(map->Colors[i].Green);
        result.colors.push_back(map->Colors[i].Blue);
      }
    }
    result.screen.assign(static_cast<std::size_t>(gif->SWidth) * gif->SHeight * 3, 0);
    for (int k = 0; k < gif->ImageCount; ++k) {
      const SavedImage& im = gif->SavedImages[k];
      const ColorMapObject* cm = im.ImageDesc.ColorMap ? im.ImageDesc.ColorMap : gif->SColorMap;
      for (int y = 0; y < im.ImageDesc.Height; ++y) {
        for (int x = 0; x < im.ImageDesc.Width; ++x) {
          const int sx = im.ImageDesc.Left + x, sy = im.ImageDesc.Top + y;
          if (cm == nullptr || sx >= gif->SWidth || sy >= gif->SHeight) continue;
          const GifColorType c = cm->Colors[im.RasterBits[y * im.ImageDesc.Width + x]];
          std::uint8_t* out = &result.screen[(static_cast<std::size_t>(sy) * gif->SWidth + sx) * 3];
          out[0] = c.Red;
          out[1] = c.Green;
          out[2] = c.Blue;
        }
      }
    }
  }
  DGifCloseFile(gif, &error);
  return result;
}

}  // namespace orbiscope::testing
