#pragma once
// The live stream, /stream.mjpg: one multipart/x-mixed-replace answer that carries the
// newest frame as a JPEG part each time one is published.
//
// The streams of one size follow one feed channel. A thread of their own waits for each
// publication and offers the channels the frame's JPEG, taken from the picture cache, so a
// frame is encoded once per size however many watch it, and never on the event loop's
// thread, which only sends the shared bytes.

#include <chrono>
#include <memory>
#include <mutex>
#include <stop_token>
#include <string_view>
#include <thread>
#include <vector>

#include "capture/LatestFrame.h"
#include "httpd/Feed.h"
#include "httpd/camera/PictureCache.h"

namespace orbiscope {

class CHttpClient;
struct CameraQuery;
struct CameraState;

// The boundary between the stream's parts.
inline constexpr std::string_view kStreamBoundary = "orbiscope-frame";

class CameraStreams {
public:
  CameraStreams(const LatestFrame& frames, PictureCache& cache);
  ~CameraStreams();  // stops the feeding thread; running streams get nothing more
  CameraStreams(const CameraStreams&) = delete;
  CameraStreams& operator=(const CameraStreams&) = delete;

  // The channel of the streams of `width` x `height` (read as the JPEG route reads them)
  // at JPEG `quality` (0: the frame's own) and at most `fps` frames a second (0: every
  // frame), made on first use with the newest frame offered, so a new viewer starts with it.
  std::shared_ptr<FeedChannel> Join(int width, int height, int quality = 0, int fps = 0);
  // Capture stopped: every stream running now ends once its part is out, with the
  // closing boundary. Streams opened later wait for the next frame.
  void EndAll();

private:
  // When a channel with a rate of its own takes its next frame.
  struct Pace {
    std::mutex mutex;
    std::chrono::system_clock::time_point due {};
  };
  struct Size {
    int width = 0;
    int height = 0;
    int quality = 0;
    int fps = 0;
    std::shared_ptr<FeedChannel> channel;
    std::shared_ptr<Pace> pace;
  };
  // Whether a channel of `fps` frames a second takes the frame captured at `captured`.
  static bool TakesFrame(const Size& size, std::chrono::system_clock::time_point captured);
  void Feed(std::stop_token stop);
  void Offer(const Size& size, const SharedFrame& frame);

  const LatestFrame& frames_;
  PictureCache& cache_;
  std::mutex mutex_;
  std::vector<Size> sizes_;
  std::jthread feeder_;  // last: it stops before what it reads goes
};

// Answers GET, POST or HEAD on /stream.mjpg once the credentials passed: the head, then
// the connection follows the stream of the requested size until the client goes, the
// server stops or capture stops; its access-log line is written then.
void ServeCameraStream(CHttpClient& client, CameraState& camera, const CameraQuery& query);

}  // namespace orbiscope
