#include "httpd/camera/PictureCache.h"

#include <algorithm>

namespace orbiscope {

// One key's picture: under way until `done`, then the picture its requests get. Requests
// that wait hold the slot, so it outlives its entry when a newer frame drops that.
struct PictureCache::Slot {
  bool done = false;
  std::shared_ptr<const EncodedPicture> picture;
};

PictureCache::PictureCache(std::size_t maxEntries, std::size_t maxBytes)
    : maxEntries_(maxEntries), maxBytes_(maxBytes),
      failed_(std::make_shared<const EncodedPicture>()) {
  entries_.reserve(maxEntries);
}

std::shared_ptr<const EncodedPicture> PictureCache::Get(const PictureKey& key,
                                                        std::uint64_t generation,
                                                        PictureEncoder encode) {
  std::shared_ptr<Slot> slot;
  {
    std::unique_lock lock(mutex_);
    if (generation > generation_) {
      // Nothing kept is wanted any more. Encodes under way for the older frame still
      // answer their own requests, but are not kept.
      entries_.clear();
      stats_.bytes = 0;
      generation_ = generation;
    }
    if (generation == generation_) {
      const auto it = std::find_if(entries_.begin(), entries_.end(),
                                   [&key](const Entry& e) { return e.key == key; });
      if (it != entries_.end()) {
        const std::shared_ptr<Slot> found = it->slot;
        if (found->done) {
          ++stats_.hits;
        } else {
          ++stats_.waits;
          finished_.wait(lock, [&found] { return found->done; });
        }
        return found->picture;
      }
      if (entries_.size() < maxEntries_) {
        slot = std::make_shared<Slot>();
        entries_.push_back(Entry{key, slot});
        ++stats_.encodes;
      }
    }
    // A full cache, or a request that still has an older frame than the cache: it
    // encodes for itself.
    if (!slot) ++stats_.bypasses;
  }
  if (!slot) return std::make_shared<const EncodedPicture>(encode(key));

  std::shared_ptr<const EncodedPicture> picture;
  try {
    picture = std::make_shared<const EncodedPicture>(encode(key));
  } catch (...) {
    // The waiting requests must not wait for ever: they get a failed picture.
    std::lock_guard lock(mutex_);
    Finish(slot, failed_);
    throw;
  }
  std::lock_guard lock(mutex_);
  Finish(slot, picture);
  return picture;
}

void PictureCache::Finish(const std::shared_ptr<Slot>& slot,
                          std::shared_ptr<const EncodedPicture> picture) {
  const auto it = std::find_if(entries_.begin(), entries_.end(),
                               [&slot](const Entry& e) { return e.slot == slot; });
  // The entry is gone when a newer frame arrived meanwhile.
  if (it != entries_.end()) {
    if (picture->bytes && picture->size <= maxBytes_ - stats_.bytes) {
      stats_.bytes += picture->size;
    } else {
      entries_.erase(it);
    }
  }
  slot->picture = std::move(picture);
  slot->done = true;
  finished_.notify_all();
}

PictureCacheStats PictureCache::Stats() const {
  std::lock_guard lock(mutex_);
  PictureCacheStats stats = stats_;
  stats.entries = entries_.size();
  return stats;
}

}  // namespace orbiscope
