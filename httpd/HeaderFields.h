#pragma once
// The two readings of header text that both the engine (to find where a request ends) and
// the request parser need.

#include <string>
#include <string_view>

namespace orbiscope {

// Splits "name: value" at the first colon, trimming white space around both. False for
// an empty line or one without a colon (name and value are then emptied).
bool SplitField(std::string_view line, std::string& name, std::string& value);

// atoi over a text that may not end where the number does: leading blanks, a sign and
// digits; saturates instead of overflowing.
int ParseDecimal(std::string_view text);

}  // namespace orbiscope
