// The phone routes' bytes are pinned: a change to the colour reduction, the scaling or
// their order must leave every GIF and WBMP byte as it was. The digests were taken while
// the GIF route still deferred its palette search to the pixels its scaling kept.
#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "capture/LatestFrame.h"
#include "capture/TestPattern.h"
#include "httpd/camera/CameraPicture.h"
#include "httpd/client/Md5Hex.h"

namespace orbiscope {
namespace {

// A test-pattern frame; `noisy` adds deterministic sensor noise, so that the octree has to
// merge colours and most pixels are nowhere near a palette entry.
FrameSnapshot PatternFrame(int width, int height, std::uint32_t number, bool noisy) {
  FrameSnapshot frame;
  frame.image.Create(static_cast<std::uint32_t>(width), static_cast<std::uint32_t>(height), 24,
                     kFormatBmp);
  RenderTestPattern(frame.image.Bits(), width, height, number);
  if (noisy) {
    std::uint32_t state = number * 2654435761u + 1;
    for (int y = 0; y < height; ++y) {
      std::uint8_t* row = frame.image.Row(static_cast<std::uint32_t>(y));
      for (int i = 0; i < 3 * width; ++i) {
        state = state * 1664525u + 1013904223u;
        const int v = row[i] + static_cast<int>((state >> 24) % 41) - 20;
        row[i] = static_cast<std::uint8_t>(v < 0 ? 0 : v > 255 ? 255 : v);
      }
    }
  }
  frame.width = width;
  frame.height = height;
  return frame;
}

struct PinnedFrame {
  int width, height;
  std::uint32_t number;
  bool noisy;
  const char* gif;   // MD5 of the GIF route's bytes
  const char* wbmp;  // MD5 of the WBMP route's bytes
};

constexpr PinnedFrame kPinned[] = {
    {640, 480, 0, false,
     "F53CAA32733A764DE17D1DE490E05F56", "A9E23BB64FE09FD0041F719370A79A1F"},
    {640, 480, 1234, false,
     "F92A6ED77A305E46B5362C28A583E033", "8368FD4130881C085A49AE7AA4EFD306"},
    {640, 480, 7, true,
     "08E25D8748D6DD92452398F39F16A911", "6F604D686854A156D78892DBEA8012DB"},
    {640, 480, 8, true,
     "A6AF35217D3BDE5D095C4225FC341FF9", "E6BCD1B2870492034C9E704E0E3056C8"},
    {320, 240, 42, true,
     "87053A7854AC8BBE261B4D4DB80F2A35", "1B3E1741F3F6BEEE5CCE53669C31F01F"},
    {1280, 720, 3, true,
     "F5147AC98B1948ECB383DA7A07323BB9", "D415CE458700D2E1F78566E541D74EC9"},
    {161, 97, 5, true,  // odd sides
     "06558522E7CBC1BDEFC95A03318C1374", "CA73EB99B4C9C817D8807270F6AF88A4"},
    {64, 48, 9, true,  // scaled up
     "71703F27BE03F91E9F8EF88E65CA9B48", "0145A8F12DCC8A0A12F53FBAAF6290B1"},
};

TEST(PhonePictureDigestTest, GifAndWbmpBytesAreThoseOfThePinnedFrames) {
  for (const PinnedFrame& pin : kPinned) {
    for (CameraRoute route : {CameraRoute::Gif, CameraRoute::Wbmp}) {
      FrameSnapshot frame = PatternFrame(pin.width, pin.height, pin.number, pin.noisy);
      const CameraPicture picture = MakeCameraPicture(route, frame, 0, 0);
      ASSERT_TRUE(picture.bytes);
      std::string digest;
      ASSERT_TRUE(Md5Hex(std::string_view(reinterpret_cast<const char*>(picture.bytes.get()),
                                           picture.size),
                         digest));
      EXPECT_EQ(digest, route == CameraRoute::Gif ? pin.gif : pin.wbmp)
          << (route == CameraRoute::Gif ? "GIF " : "WBMP ") << pin.width << "x" << pin.height
          << " frame " << pin.number << (pin.noisy ? " noisy" : "");
    }
  }
}

}  // namespace
}  // namespace orbiscope
