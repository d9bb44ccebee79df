#pragma once
// The splash window shown while the program starts: shaped by its picture, top-most,
// centred, with a line of text that changes once a second.
//
// Its timings come from ORBISCOPE_SPLASH_TIMING="FADEIN,STEP,HOLD,FADEOUT" (milliseconds)
// when that is set, so tests and screenshots need not wait the 5.5 seconds of a start.

#include <QString>
#include <QWidget>

namespace orbiscope {

class Skin;

struct SplashTimings {
  int fadeInMs = 500;    // fade-in, where the window system can fade windows
  int stepMs = 1000;     // before each of the four texts
  int holdMs = 1500;     // after the last text
  int fadeOutMs = 200;

  // The variable's value; false (and timings unchanged) for anything but four numbers
  // from 0 to 60000 separated by commas.
  static bool Parse(const char* text, SplashTimings& timings);
  // The defaults, or ORBISCOPE_SPLASH_TIMING when it parses.
  static SplashTimings FromEnvironment();
};

class CSplashScreenEx final : public QWidget {
  Q_OBJECT
public:
  static constexpr const char* kTimingVariable = "ORBISCOPE_SPLASH_TIMING";
  // Where the text is drawn, in the picture's pixels.
  static constexpr QRect kTextRect{125, 90, 240, 35};
  // The picture's progress track, which fills a step with each text.
  static constexpr QRect kProgressTrack{150, 232, 190, 3};

  CSplashScreenEx(const Skin& skin, SplashTimings timings, QWidget* owner = nullptr);

  // Shows the splash, steps through its texts and hides it; returns when it is gone.
  void Run();
  const QString& Text() const { return text_; }

signals:
  void textShown(const QString& text);

protected:
  void paintEvent(QPaintEvent* event) override;

private:
  void SetText(const QString& text);
  void Fade(double from, double to, int ms);

  const Skin& skin_;
  SplashTimings timings_;
  QString text_;
  int textsShown_ = 0;
};

// Runs the event loop for ms milliseconds, so that painting and timers go on meanwhile.
void PumpEvents(int ms);

}  // namespace orbiscope
