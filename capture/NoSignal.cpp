#include "capture/NoSignal.h"

#include <algorithm>
#include <cstring>

#include "capture/Overlay.h"

namespace orbiscope {
namespace {

// The text takes a tenth of the frame's height, but never less than a caption's default,
// so that it stays readable on the smallest sizes.
constexpr std::int32_t kTextShare = 10;
constexpr std::int32_t kSmallestText = 13;
constexpr std::int32_t kBold = 700;

}  // namespace

CPicture NoSignalPicture::Frame(std::int32_t width, std::int32_t height, std::string_view text,
                                std::string_view face) {
  if (width <= 0 || height <= 0) return CPicture(kFormatBmp);
  const bool same = base_.HasPixels() && base_.Width() == static_cast<std::uint32_t>(width) &&
                    base_.Height() == static_cast<std::uint32_t>(height) && text_ == text &&
                    face_ == face;
  if (!same) {
    CPicture base(static_cast<std::uint32_t>(width), static_cast<std::uint32_t>(height), 24, kFormatBmp);
    if (!base.HasPixels()) return CPicture(kFormatBmp);
    for (std::uint32_t y = 0; y < base.Height(); ++y)
      std::memset(base.Row(y), kBackground, static_cast<std::size_t>(width) * 3);

    TextFont font;
    font.face.assign(face.substr(0, std::min<std::size_t>(face.size(), 31)));
    font.height = -std::max(kSmallestText, height / kTextShare);
    font.weight = kBold;
    // The mask is as wide as the text plus its own height (room for an italic overhang
    // this upright text does not use), so the text's own width is the difference.
    const TextMaskImage& mask = renderer_.Render(text, font);
    const std::int32_t textWidth = mask.width - mask.height;
    DrawOverlayText(base, renderer_, (width - textWidth) / 2, (height + mask.height) / 2, text,
                    kTextColour, font.face, font.height, font.weight, false, false);
    base_.TakeOver(base);
    text_.assign(text);
    face_.assign(face);
  }
  return CPicture(base_);
}

}  // namespace orbiscope
