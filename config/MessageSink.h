#pragma once
// How library code shows a message box without knowing the front-end.
//
// The desktop front-end shows a modal box on its UI thread; the headless one prints one
// line "CAPTION: TEXT" on standard error. A sink returns only once the user has dismissed
// the message, so code that must wait for the user (the listener's bind failure) simply
// calls it.

#include <functional>
#include <string>
#include <string_view>

namespace orbiscope {

// caption, text (both UTF-8).
using MessageSink = std::function<void(std::string_view caption, std::string_view text)>;

// The headless behaviour: "CAPTION: TEXT" and a line end on standard error.
void PrintMessageToStderr(std::string_view caption, std::string_view text);

// A sink that prints to standard error; the default wherever no front-end supplied one.
MessageSink StderrMessageSink();

}  // namespace orbiscope
