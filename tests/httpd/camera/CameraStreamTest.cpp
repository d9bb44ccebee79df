#include "httpd/camera/CameraStream.h"

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "httpd/camera/CameraHeaders.h"
#include "httpd/camera/CameraRoutes.h"
#include "httpd/camera/CameraState.h"
#include "tests/httpd/camera/CameraTestSupport.h"
#include "tests/httpd/camera/StreamReader.h"
#include "tests/httpd/client/LoopbackServer.h"

namespace orbiscope {
namespace {

using namespace orbiscope::testing;
using Clock = std::chrono::steady_clock;


std::string StreamTarget(int w, int h, const std::string& digest = Digest(kPassword)) {
  return "/stream.mjpg?user=" + std::string(kUser) + "&pass=" + digest + "&w=" + std::to_string(w) +
         "&h=" + std::to_string(h);
}

// A frame of noise, so its JPEG is large and differs from every other frame's.
CPicture NoiseFrame(unsigned seed, std::uint32_t width = 640, std::uint32_t height = 480) {
  CPicture frame(width, height, 24, kFormatBmp);
  std::minstd_rand random(seed + 1);  // 0 would give the sequence of 1
  for (std::uint32_t y = 0; y < height; ++y) {
    std::uint8_t* row = frame.Row(y);
    for (std::uint32_t x = 0; x < 3 * width; ++x) row[x] = static_cast<std::uint8_t>(random());
  }
  return frame;
}

// Waits up to a few seconds for `done`; false when it never came.
template <class F>
bool Eventually(F done) {
  const auto until = Clock::now() + std::chrono::seconds(kReadTimeoutSeconds);
  while (!done()) {
    if (Clock::now() > until) return false;
    std::this_thread::yield();
  }
  return true;
}

std::pair<std::uint32_t, std::uint32_t> JpegSize(const std::string& jpeg) {
  CPicture picture(reinterpret_cast<const std::uint8_t*>(jpeg.data()), jpeg.size(), kFormatJpeg);
  return {picture.Width(), picture.Height()};
}

class CameraStreamTest : public ::testing::Test {
protected:
  void Start(int pool = 2) {
    camera_.m_sCameraUser = kUser;
    camera_.m_sCameraPassword = Digest(kPassword);
    camera_.m_LatestFrame.Publish(NoiseFrame(0), 480, 640);
    server_.settings().m_nThreadPoolSize = pool;
    server_.settings().m_ClientFactory = [this] {
      return MakeCameraSession(server_.resources(), camera_);
    };
    server_.Start();
  }
  void Publish(unsigned seed) { camera_.m_LatestFrame.Publish(NoiseFrame(seed), 480, 640); }
  bool NoStreamsLeft() {
    return Eventually([this] { return camera_.m_nStreams.load() == 0; });
  }

  // Outlives the server, whose sessions read it.
  CameraState camera_;
  LoopbackServer server_;
};

// The head, then one part per published frame, each a JPEG of the requested size and each
// from a newer frame than the one before; the access log gets one line when it ends.
TEST_F(CameraStreamTest, SendsOnePartPerFrameAtTheRequestedSize) {
  Start();
  StreamReader reader(server_.port());
  const std::string head = reader.Open(StreamTarget(320, 240));
  EXPECT_EQ(StatusLine(head), "HTTP/1.0 200 OK");
  EXPECT_EQ(FieldNames(head),
            (std::vector<std::string>{"Date", "Server", "Allow", "Cache-Control", "Content-Type"}));
  EXPECT_EQ(Field(head, "Cache-Control"), "no-cache");
  EXPECT_EQ(Field(head, "Content-Type"),
            "multipart/x-mixed-replace; boundary=" + std::string(kStreamBoundary));
  std::string previous;
  for (unsigned frame = 1; frame <= 4; ++frame) {
    // The first part is the frame stored when the stream began.
    const std::optional<std::string> part = reader.NextPart();
    ASSERT_TRUE(part.has_value()) << frame;
    EXPECT_EQ(JpegSize(*part), std::make_pair(320u, 240u));
    EXPECT_NE(*part, previous);
    previous = *part;
    Publish(frame);
  }
  EXPECT_EQ(camera_.m_nStreams.load(), 1);
  // The stream at frame size shares the one sized for it by the JPEG route's rules.
  StreamReader whole(server_.port());
  whole.Open(StreamTarget(0, 0));
  const std::optional<std::string> full = whole.NextPart();
  ASSERT_TRUE(full.has_value());
  EXPECT_EQ(JpegSize(*full), std::make_pair(640u, 480u));
  whole.Close();

  // The part of the frame published last is read before the client goes.
  ASSERT_TRUE(reader.NextPart().has_value());
  const std::uint64_t received = reader.received();
  reader.Close();
  ASSERT_TRUE(NoStreamsLeft());
  server_.Stop();
  const std::string log = server_.LogText();
  const std::string line =
      "GET /stream.mjpg?user=Cam&amp;pass=*&amp;w=320&amp;h=240 HTTP/1.0\" 200 ";
  const std::size_t at = log.find(line);
  ASSERT_NE(at, std::string::npos) << log;
  // Every part's JPEG with its boundary, fields and line end; at least the JPEGs.
  EXPECT_GE(std::stoull(log.substr(at + line.size())), received);
  EXPECT_EQ(log.find(Digest(kPassword)), std::string::npos);
}

// A reader that stops reading skips frames and holds at most about one part queued, while
// a reader of the same stream that keeps up gets every frame; both end on the newest.
TEST_F(CameraStreamTest, ASlowReaderSkipsFramesWithinOnePart) {
  // Slow, not gone: the write time-out would end a reader that takes nothing for that long.
  server_.settings().m_dwWritableTimeout = 120000;
  Start();
  StreamReader fast(server_.port());
  StreamReader slow(server_.port(), 4096);
  fast.Open(StreamTarget(0, 0));
  slow.Open(StreamTarget(0, 0));
  std::vector<std::string> frames;  // as the fast reader saw them
  std::optional<std::string> part = fast.NextPart();
  ASSERT_TRUE(part.has_value());
  frames.push_back(*part);
  constexpr unsigned kFrames = 30;
  for (unsigned seed = 1; seed <= kFrames; ++seed) {
    Publish(seed);
    part = fast.NextPart();
    ASSERT_TRUE(part.has_value()) << seed;
    frames.push_back(*part);
  }
  std::vector<std::size_t> seen;  // indices into frames, in the order the slow reader got them
  while (seen.empty() || seen.back() + 1 < frames.size()) {
    part = slow.NextPart();
    ASSERT_TRUE(part.has_value());
    const auto it = std::find(frames.begin(), frames.end(), *part);
    ASSERT_NE(it, frames.end());
    seen.push_back(static_cast<std::size_t>(it - frames.begin()));
  }
  EXPECT_LT(seen.size(), frames.size() / 2);
  EXPECT_TRUE(std::is_sorted(seen.begin(), seen.end()));
  EXPECT_EQ(std::adjacent_find(seen.begin(), seen.end()), seen.end());  // never one twice
  std::size_t largest = 0;
  for (const std::string& f : frames) largest = std::max(largest, f.size());
  EXPECT_LE(camera_.m_Streams.Join(0, 0)->MostQueued(), largest + 256);
}

// Wrong credentials are refused like the other camera routes; HEAD gets the head alone.
TEST_F(CameraStreamTest, RefusesWrongCredentialsAndAnswersHeadWithTheHead) {
  Start();
  for (const std::string& target : {StreamTarget(320, 240, Digest("wrong")),
                                    "/stream.mjpg?user=cam&pass=" + Digest(kPassword)}) {
    RawClient client(server_.port());
    client.Send("GET " + target + " HTTP/1.0\r\nConnection: Keep-Alive\r\n\r\n");
    EXPECT_EQ(StatusLine(client.ReadResponse()), "HTTP/1.0 401 Unauthorized") << target;
    EXPECT_TRUE(client.ClosedByServer()) << target;
  }
  const std::string head =
      Exchange(server_.port(), "HEAD " + StreamTarget(8, 6) + " HTTP/1.0\r\n\r\n");
  EXPECT_EQ(StatusLine(head), "HTTP/1.0 200 OK");
  EXPECT_EQ(Body(head), "");
  EXPECT_EQ(camera_.m_nStreams.load(), 0);
}

// Streams hold no worker: one worker still answers pictures beside them. Stopping the
// server ends every stream at once, and capture stopping ends them after the closing
// boundary.
TEST_F(CameraStreamTest, StreamsHoldNoWorkerAndEndOnStopAndCaptureStop) {
  Start(/*pool=*/1);
  std::vector<std::unique_ptr<StreamReader>> readers;
  for (int i = 0; i < 6; ++i) {
    readers.push_back(std::make_unique<StreamReader>(server_.port()));
    readers.back()->Open(StreamTarget(i % 2 ? 64 : 0, i % 2 ? 48 : 0));
    ASSERT_TRUE(readers.back()->NextPart().has_value());
  }
  EXPECT_EQ(camera_.m_nStreams.load(), 6);
  const std::string png = "/image.png?user=Cam&pass=" + Digest(kPassword) + "&w=8&h=6";
  const std::string picture = Exchange(server_.port(), "GET " + png + " HTTP/1.0\r\n\r\n");
  EXPECT_EQ(StatusLine(picture), "HTTP/1.0 200 OK");
  camera_.m_Streams.EndAll();
  for (int i = 0; i < 3; ++i) {
    EXPECT_FALSE(readers[i]->NextPart().has_value());
    EXPECT_TRUE(readers[i]->closed());
    EXPECT_TRUE(readers[i]->Ended());
  }
  // A stream opened later starts again from the stored frame.
  StreamReader later(server_.port());
  later.Open(StreamTarget(0, 0));
  ASSERT_TRUE(later.NextPart().has_value());
  Publish(99);
  ASSERT_TRUE(later.NextPart().has_value());

  const auto before = Clock::now();
  server_.Stop();
  EXPECT_LT(Clock::now() - before, std::chrono::seconds(2));
  EXPECT_FALSE(later.NextPart().has_value());
  EXPECT_TRUE(later.Ended());
  EXPECT_EQ(camera_.m_nStreams.load(), 0);
}


// fps= gives every n-th frame of a faster camera (a third at 5 of 15), each part stamped
// with its frame's capture time; /?action=stream is the same stream, with the CORS origin.
TEST_F(CameraStreamTest, FewerFramesOnRequestWithTheirCaptureTimes) {
  camera_.m_sCorsOrigin = "http://mainsail.local";
  Start();
  const std::string query = "user=" + std::string(kUser) + "&pass=" + kPassword + "&w=64&h=48";
  StreamReader all(server_.port());
  StreamReader fifth(server_.port());
  const std::string head = all.Open("/webcam/?action=stream&" + query + "&cacheBust=1");
  EXPECT_EQ(Field(head, "Access-Control-Allow-Origin"), "http://mainsail.local");
  fifth.Open("/?action=stream&fps=5&" + query);
  ASSERT_TRUE(all.NextPart() && fifth.NextPart());  // the frame stored when they began
  const auto base = std::chrono::system_clock::now() + std::chrono::seconds(1);
  const auto frameAt = [&](int i) { return base + std::chrono::microseconds(66667) * i; };
  for (int i = 0; i < 30; ++i) {
    camera_.m_LatestFrame.Publish(NoiseFrame(100 + i, 64, 48), 48, 64, frameAt(i));
    // Each frame reaches the full-rate stream before the next is published, so the feeder
    // sees every one of them.
    const std::optional<std::string> part = all.NextPart();
    ASSERT_TRUE(part.has_value()) << i;
    EXPECT_EQ(all.timestamp(), FormatCaptureTime(frameAt(i)));
  }
  for (int i = 0; i < 30; i += 3) {
    ASSERT_TRUE(fifth.NextPart().has_value()) << i;
    EXPECT_EQ(fifth.timestamp(), FormatCaptureTime(frameAt(i)));
  }
}

}  // namespace
}  // namespace orbiscope
