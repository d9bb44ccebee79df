#pragma once
// Log texts that name calls of the platform the program was first written for. They are
// the wording the program has always logged, kept as it stands byte for byte: readers of
// old logs and the tests look for these very texts, so none is put into Linux terms.

namespace orbiscope::platform_texts {

// The user-interface thread's component initialisation failed at start-up.
inline constexpr const char* kComInitFailed = "Error initializate COM objets!";

}  // namespace orbiscope::platform_texts
