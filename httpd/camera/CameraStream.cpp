#include "httpd/camera/CameraStream.h"

#include <algorithm>
#include <string>

#include "httpd/camera/CameraHeaders.h"
#include "httpd/camera/CameraPicture.h"
#include "httpd/camera/CameraState.h"
#include "httpd/client/HttpClient.h"
#include "log/PlatformTexts.h"

namespace orbiscope {
namespace {

constexpr std::string_view kFailureText = platform_texts::kTransmitPacketsFailed;

// One part: its boundary and fields, the JPEG shared with the cache, and the line end.
std::shared_ptr<const FeedPart> MakePart(std::shared_ptr<const EncodedPicture> picture,
                                         std::chrono::system_clock::time_point captured) {
  auto head = std::make_shared<std::string>();
  head->append("--").append(kStreamBoundary).append("\r\nContent-Type: image/jpeg\r\n");
  head->append("Content-Length: ").append(std::to_string(picture->size)).append("\r\n");
  head->append(CameraFields(captured, {})).append("\r\n");
  static constexpr std::string_view kLineEnd = "\r\n";
  auto part = std::make_shared<FeedPart>();
  const std::string_view bytes(reinterpret_cast<const char*>(picture->bytes.get()), picture->size);
  part->pieces.push_back({head, *head});
  part->pieces.push_back({std::move(picture), bytes});
  part->pieces.push_back({nullptr, kLineEnd});
  return part;
}

std::shared_ptr<const FeedPart> ClosingPart() {
  auto text = std::make_shared<std::string>();
  text->append("--").append(kStreamBoundary).append("--\r\n");
  auto part = std::make_shared<FeedPart>();
  part->pieces.push_back({text, *text});
  return part;
}

}  // namespace

CameraStreams::CameraStreams(const LatestFrame& frames, PictureCache& cache)
    : frames_(frames), cache_(cache) {}

CameraStreams::~CameraStreams() = default;

std::shared_ptr<FeedChannel> CameraStreams::Join(int width, int height, int quality, int fps) {
  // Values no picture or pace is made for share the channel of those that mean the same.
  if (quality < 1 || quality > 100) quality = 0;
  if (fps < 0) fps = 0;
  Size size;
  {
    std::lock_guard lock(mutex_);
    const auto it = std::find_if(sizes_.begin(), sizes_.end(), [&](const Size& s) {
      return s.width == width && s.height == height && s.quality == quality && s.fps == fps;
    });
    if (it != sizes_.end()) return it->channel;
    size = Size {width, height, quality, fps, std::make_shared<FeedChannel>(),
                 std::make_shared<Pace>()};
    sizes_.push_back(size);
    if (!feeder_.joinable()) feeder_ = std::jthread([this](std::stop_token stop) { Feed(stop); });
  }
  // On the joining worker's thread: the feeder may be busy with other sizes.
  Offer(size, frames_.Share());
  return size.channel;
}

void CameraStreams::EndAll() {
  std::vector<Size> ended;
  {
    std::lock_guard lock(mutex_);
    ended.swap(sizes_);
  }
  const std::shared_ptr<const FeedPart> closing = ClosingPart();
  for (const Size& size : ended) size.channel->Close(closing);
}

void CameraStreams::Feed(std::stop_token stop) {
  std::uint64_t seen = 0;
  std::vector<Size> sizes;
  while (!stop.stop_requested()) {
    seen = frames_.WaitNewer(seen, stop);
    if (stop.stop_requested()) return;
    // The newest frame, which may be newer still than the one that woke us.
    const SharedFrame frame = frames_.Share();
    seen = std::max(seen, frame.generation);
    sizes.clear();
    {
      std::lock_guard lock(mutex_);
      // A channel only this list holds has no viewer, nor a worker about to add one.
      std::erase_if(sizes_, [](const Size& s) { return s.channel.use_count() == 1; });
      sizes = sizes_;
    }
    for (const Size& size : sizes) Offer(size, frame);
  }
}

bool CameraStreams::TakesFrame(const Size& size, std::chrono::system_clock::time_point captured) {
  if (size.fps <= 0) return true;
  const auto interval = std::chrono::duration_cast<std::chrono::system_clock::duration>(
      std::chrono::duration<double>(1.0 / size.fps));
  std::lock_guard lock(size.pace->mutex);
  // A quarter interval early still counts: capture times jitter, and a frame missed by a
  // hair would halve the rate.
  if (captured < size.pace->due - interval / 4) return false;
  // Due times follow the requested rate, not the frames taken, so it holds on average; a
  // gap (a pause, a clock step) starts the count afresh instead of sending a burst.
  const bool behind = size.pace->due.time_since_epoch().count() == 0 || captured > size.pace->due + interval;
  size.pace->due = (behind ? captured : size.pace->due) + interval;
  return true;
}

void CameraStreams::Offer(const Size& size, const SharedFrame& frame) {
  if (frame.generation == 0) return;
  // A viewer asking for fewer frames is left out of the encode as well as the send.
  if (!TakesFrame(size, frame.captured)) return;
  std::shared_ptr<const EncodedPicture> picture =
      CachedCameraPicture(cache_, CameraRoute::Jpeg, frame, size.width, size.height, size.quality);
  if (!picture->bytes) return;
  size.channel->Offer(frame.generation, MakePart(std::move(picture), frame.captured));
}

void ServeCameraStream(CHttpClient& client, CameraState& camera, const CameraQuery& query) {
  const std::string fields = CameraFields({}, camera.m_sCorsOrigin);
  const std::string type = "multipart/x-mixed-replace; boundary=" + std::string(kStreamBoundary);
  Response response;
  response.fields.AddCacheControl("no-cache");
  response.type = type;
  response.routeFields = fields;
  // No length ends the answer: only the connection's end does.
  response.lengthless = true;
  response.headlessFailure = kFailureText;
  if (client.Request().verb != HttpVerb::Head) {
    std::atomic<int>& streams = camera.m_nStreams;
    ++streams;
    response.feed = camera.m_Streams.Join(query.width, query.height, query.quality, query.fps);
    response.onFeedEnd = [&streams] { --streams; };
  }
  client.Respond(std::move(response));
}

}  // namespace orbiscope
