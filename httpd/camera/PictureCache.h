#pragma once
// The encoded pictures of the newest frame, so that a frame is encoded once per route and
// size however many requests ask for it.
//
// A camera picture depends only on the frame, the route and the requested size. The cache
// keeps, for the newest frame generation it has seen, one encoded picture per key, shared
// by reference with every request that asks for it. When several requests ask for a key
// that is not there yet, one of them encodes (without any lock held) and the others wait
// for its result. A request for a newer generation drops everything kept for the older
// one. The cache is bounded: when its entries or bytes are used up, a request encodes for
// itself, as it would without a cache.

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <type_traits>
#include <vector>

#include "image/Picture.h"

namespace orbiscope {

// What identifies a picture of one frame. The caller chooses the numbers: requests with
// equal keys must get the same bytes from one frame. (Keys that differ but give the same
// bytes only cost an entry more.)
struct PictureKey {
  int route = 0;
  int width = 0;
  int height = 0;
  int quality = 0;  // a JPEG quality other than the frame's own; 0 for the frame's
  friend bool operator==(const PictureKey&, const PictureKey&) = default;
};

// One encoded picture. Without bytes it stands for a failed encode.
struct EncodedPicture {
  EncodedBytes bytes;
  std::size_t size = 0;
  bool hasPixels = false;  // the picture held pixels after the route's conversions
};

// Counts since construction, and what the cache holds now.
struct PictureCacheStats {
  std::uint64_t hits = 0;      // answered with a kept picture
  std::uint64_t waits = 0;     // answered with another request's encode, after waiting
  std::uint64_t encodes = 0;   // encodes run on the cache's behalf
  std::uint64_t bypasses = 0;  // encodes run beside the cache: full, or an older frame
  std::size_t entries = 0;     // kept pictures and encodes under way
  std::size_t bytes = 0;       // bytes of the kept pictures
};

// The encode step Get runs: any callable `EncodedPicture (const PictureKey&) const`, such
// as a lambda. It is borrowed for the call, never copied, so building one costs nothing.
class PictureEncoder {
public:
  template <class F>
    requires(!std::is_same_v<std::remove_cvref_t<F>, PictureEncoder>)
  PictureEncoder(const F& encode)  // implicit: Get takes the lambda itself
      : object_(&encode), call_([](const void* object, const PictureKey& key) {
          return (*static_cast<const F*>(object))(key);
        }) {}
  EncodedPicture operator()(const PictureKey& key) const { return call_(object_, key); }

private:
  const void* object_;
  EncodedPicture (*call_)(const void*, const PictureKey&);
};

class PictureCache {
public:
  static constexpr std::size_t kMaxEntries = 16;
  static constexpr std::size_t kMaxBytes = std::size_t{64} << 20;

  explicit PictureCache(std::size_t maxEntries = kMaxEntries, std::size_t maxBytes = kMaxBytes);
  PictureCache(const PictureCache&) = delete;
  PictureCache& operator=(const PictureCache&) = delete;

  // The picture of `key` for frame `generation` (never null). A kept one is shared; one
  // being encoded is waited for; otherwise `encode` runs on this thread. A failed encode
  // (no bytes) is handed to the requests that waited for it but never kept, so the next
  // request tries again. When `encode` throws, the exception reaches this caller and the
  // waiting requests get a failed picture.
  std::shared_ptr<const EncodedPicture> Get(const PictureKey& key, std::uint64_t generation,
                                            PictureEncoder encode);

  PictureCacheStats Stats() const;

private:
  struct Slot;
  struct Entry {
    PictureKey key;
    std::shared_ptr<Slot> slot;
  };
  // Under the lock: hands the finished slot's picture to its waiters and keeps it when it
  // is still wanted and fits.
  void Finish(const std::shared_ptr<Slot>& slot, std::shared_ptr<const EncodedPicture> picture);

  const std::size_t maxEntries_;
  const std::size_t maxBytes_;
  const std::shared_ptr<const EncodedPicture> failed_;  // made up front: no allocation to fail
  mutable std::mutex mutex_;
  std::condition_variable finished_;  // a slot's encode has ended
  std::uint64_t generation_ = 0;      // the frame the entries belong to
  std::vector<Entry> entries_;        // few: searched in order
  PictureCacheStats stats_;
};

}  // namespace orbiscope
