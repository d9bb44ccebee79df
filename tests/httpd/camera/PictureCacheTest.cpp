#include "httpd/camera/PictureCache.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "capture/LatestFrame.h"
#include "httpd/camera/CameraPicture.h"

namespace orbiscope {
namespace {

EncodedPicture Picture(std::string_view text) {
  EncodedPicture p;
  p.bytes.reset(static_cast<std::uint8_t*>(std::malloc(text.size() + 1)));
  std::memcpy(p.bytes.get(), text.data(), text.size());
  p.size = text.size();
  p.hasPixels = true;
  return p;
}

std::string Text(const EncodedPicture& p) {
  return p.bytes ? std::string(reinterpret_cast<const char*>(p.bytes.get()), p.size) : "<none>";
}

// Polls until `done` holds; false after ten seconds, so a fault fails instead of hanging.
bool WaitFor(const std::function<bool()>& done) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::yield();
  }
  return true;
}

constexpr PictureKey kJpeg320{2, 320, 240};
constexpr PictureKey kGif{3, 0, 0};

// Requests arriving together for a frame's picture cause one encode; the others wait for
// it and share its bytes.
TEST(PictureCacheTest, ConcurrentRequestsForANewFrameEncodeOnce) {
  PictureCache cache;
  constexpr int kRequests = 8;
  std::atomic<int> encodes{0};
  auto encode = [&](const PictureKey&) {
    ++encodes;
    // Finish only when every other request is waiting for this encode.
    EXPECT_TRUE(WaitFor([&] { return cache.Stats().waits == kRequests - 1; }));
    return Picture("frame 7");
  };
  std::vector<std::shared_ptr<const EncodedPicture>> got(kRequests);
  std::vector<std::thread> requests;
  for (int i = 0; i < kRequests; ++i) {
    requests.emplace_back([&, i] { got[i] = cache.Get(kJpeg320, 7, encode); });
  }
  for (auto& t : requests) t.join();
  EXPECT_EQ(1, encodes.load());
  for (const auto& p : got) {
    ASSERT_EQ(got[0], p);  // the same bytes by reference, not copies
  }
  EXPECT_EQ("frame 7", Text(*got[0]));
  EXPECT_EQ(got[0], cache.Get(kJpeg320, 7, encode));
  const PictureCacheStats stats = cache.Stats();
  EXPECT_EQ(1u, stats.encodes);
  EXPECT_EQ(1u, stats.hits);
  EXPECT_EQ(1u, stats.entries);
  EXPECT_EQ(7u, stats.bytes);
}

TEST(PictureCacheTest, KeepsOnlyTheNewestFrame) {
  PictureCache cache;
  int encodes = 0;
  auto encodeAs = [&encodes](const char* text) {
    return [&encodes, text](const PictureKey&) {
      ++encodes;
      return Picture(text);
    };
  };
  const auto one = cache.Get(kJpeg320, 1, encodeAs("one"));
  EXPECT_EQ(one, cache.Get(kJpeg320, 1, encodeAs("unused")));
  EXPECT_EQ("gif one", Text(*cache.Get(kGif, 1, encodeAs("gif one"))));
  EXPECT_EQ(2, encodes);

  // A newer frame drops both; a request still holding the old picture keeps it intact.
  const auto two = cache.Get(kJpeg320, 2, encodeAs("two"));
  EXPECT_EQ("two", Text(*two));
  EXPECT_EQ("one", Text(*one));
  EXPECT_EQ(1u, cache.Stats().entries);
  EXPECT_EQ(3u, cache.Stats().bytes);

  // A request that took an older frame gets that frame's picture, encoded for itself.
  EXPECT_EQ("late one", Text(*cache.Get(kJpeg320, 1, encodeAs("late one"))));
  EXPECT_EQ(two, cache.Get(kJpeg320, 2, encodeAs("unused")));
  EXPECT_EQ(4, encodes);
  EXPECT_EQ(1u, cache.Stats().bypasses);
}

// An encode still running when a newer frame arrives answers its own request only.
TEST(PictureCacheTest, AnEncodeOvertakenByANewerFrameIsNotKept) {
  PictureCache cache;
  std::atomic<bool> release{false};
  std::shared_ptr<const EncodedPicture> late;
  std::thread slow([&] {
    late = cache.Get(kGif, 5, [&](const PictureKey&) {
      EXPECT_TRUE(WaitFor([&] { return release.load(); }));
      return Picture("five");
    });
  });
  ASSERT_TRUE(WaitFor([&] { return cache.Stats().encodes == 1; }));
  const auto six = cache.Get(kGif, 6, [](const PictureKey&) { return Picture("six"); });
  release = true;
  slow.join();
  EXPECT_EQ("five", Text(*late));
  EXPECT_EQ(six, cache.Get(kGif, 6, [](const PictureKey&) { return Picture("unused"); }));
  EXPECT_EQ(1u, cache.Stats().entries);
  EXPECT_EQ(3u, cache.Stats().bytes);
}

// Past either bound a request encodes for itself; what is kept still answers.
TEST(PictureCacheTest, BoundsMakeFurtherRequestsEncodeForThemselves) {
  int encodes = 0;
  auto encode = [&encodes](const PictureKey& key) {
    ++encodes;
    return Picture(std::string(static_cast<std::size_t>(key.width), 'x'));
  };
  {
    PictureCache cache;  // at most 16 entries
    for (int i = 0; i < 16; ++i) cache.Get(PictureKey{2, 1, i}, 1, encode);
    cache.Get(PictureKey{2, 1, 16}, 1, encode);
    cache.Get(PictureKey{2, 1, 16}, 1, encode);
    cache.Get(PictureKey{2, 1, 0}, 1, encode);
    EXPECT_EQ(18, encodes);
    EXPECT_EQ(16u, cache.Stats().entries);
    EXPECT_EQ(2u, cache.Stats().bypasses);
  }
  encodes = 0;
  PictureCache cache(16, 100);  // at most 100 bytes
  cache.Get(PictureKey{2, 60, 0}, 1, encode);
  cache.Get(PictureKey{2, 50, 0}, 1, encode);  // does not fit beside the 60
  cache.Get(PictureKey{2, 50, 0}, 1, encode);
  cache.Get(PictureKey{2, 40, 0}, 1, encode);  // fits exactly
  cache.Get(PictureKey{2, 40, 0}, 1, encode);
  EXPECT_EQ(4, encodes);
  EXPECT_EQ(2u, cache.Stats().entries);
  EXPECT_EQ(100u, cache.Stats().bytes);
  cache.Get(PictureKey{2, 50, 0}, 2, encode);  // a new frame frees the room
  EXPECT_EQ(50u, cache.Stats().bytes);
}

// A failed encode (no bytes, or an exception) reaches the requests that waited for it,
// is not kept, and the next request encodes again.
TEST(PictureCacheTest, AFailedEncodeIsSharedWithItsWaitersButNotKept) {
  for (const bool throws : {false, true}) {
    PictureCache cache;
    std::shared_ptr<const EncodedPicture> waited;
    std::thread waiter;
    auto failing = [&](const PictureKey&) -> EncodedPicture {
      waiter = std::thread([&] { waited = cache.Get(kGif, 3, [](const PictureKey&) {
        return Picture("never");
      }); });
      EXPECT_TRUE(WaitFor([&] { return cache.Stats().waits == 1; }));
      if (throws) throw std::runtime_error("out of memory");
      return EncodedPicture{};
    };
    if (throws) {
      EXPECT_THROW(cache.Get(kGif, 3, failing), std::runtime_error);
    } else {
      EXPECT_FALSE(cache.Get(kGif, 3, failing)->bytes);
    }
    waiter.join();
    ASSERT_NE(nullptr, waited) << throws;
    EXPECT_FALSE(waited->bytes) << throws;
    EXPECT_EQ(0u, cache.Stats().entries) << throws;
    EXPECT_EQ("again", Text(*cache.Get(kGif, 3, [](const PictureKey&) {
      return Picture("again");
    }))) << throws;
  }
}

// What a picture route asks of the store: one picture per frame and size, shared by the
// requests, with that frame's capture time, and a new one once a newer frame is published.
TEST(CameraPictureLookupTest, SharesOnePicturePerFrameWithItsCaptureTime) {
  LatestFrame frames;
  PictureCache cache;
  const SharedCameraPicture none = ShareCameraPicture(frames, cache, CameraRoute::Png, 0, 0);
  ASSERT_NE(none.picture, nullptr);
  EXPECT_FALSE(none.picture->hasPixels);
  EXPECT_EQ(none.captured, std::chrono::system_clock::time_point());

  const auto first = std::chrono::system_clock::time_point(std::chrono::seconds(1000));
  frames.Publish(CPicture(32, 24, 24, kFormatBmp), 24, 32, first);
  const SharedCameraPicture a = ShareCameraPicture(frames, cache, CameraRoute::Png, 0, 0);
  const SharedCameraPicture b = ShareCameraPicture(frames, cache, CameraRoute::Png, 0, 0);
  ASSERT_TRUE(a.picture->bytes);
  EXPECT_EQ(a.picture, b.picture);
  EXPECT_EQ(a.captured, first);
  const SharedCameraPicture smaller = ShareCameraPicture(frames, cache, CameraRoute::Png, 16, 12);
  EXPECT_NE(smaller.picture, a.picture);
  EXPECT_EQ(cache.Stats().encodes, 3u);  // the empty store's, and the two sizes of the frame

  const auto second = first + std::chrono::seconds(1);
  frames.Publish(CPicture(32, 24, 24, kFormatBmp), 24, 32, second);
  const SharedCameraPicture c = ShareCameraPicture(frames, cache, CameraRoute::Png, 0, 0);
  EXPECT_NE(c.picture, a.picture);
  EXPECT_EQ(c.captured, second);
}

}  // namespace
}  // namespace orbiscope
