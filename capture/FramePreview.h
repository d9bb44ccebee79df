#pragma once
// Where a processed frame is shown: the main window's preview area. The front-end paints
// the frame stretched to its area; the frame is only valid during the call.

namespace orbiscope {

class CPicture;

class FramePreview {
public:
  virtual ~FramePreview() = default;
  // Paints frame; called on the user-interface thread inside frame processing.
  virtual void PaintFrame(const CPicture& frame) = 0;
};

}  // namespace orbiscope
