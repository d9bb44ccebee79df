#pragma once
// Copying a frame into a picture that already holds one of the same size: the pixels go
// into the block it has instead of a fresh allocation. Frames of one capture all have the
// same size, and a fresh block for each one costs more in page faults than the copy.

namespace orbiscope {

class CPicture;

// Makes target a copy of source (pixels, selection and alpha), as CPicture::CopyFrom does.
void CopyFrame(CPicture& target, const CPicture& source);

}  // namespace orbiscope
