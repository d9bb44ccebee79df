#include "httpd/HttpDirectory.h"

#include <algorithm>

namespace orbiscope {

void CHttpDirectory::SetAlias(std::string_view alias) {
  // A configured "/cam/" must match like "/cam": the lookup works on backslashes only.
  std::string text(alias);
  std::replace(text.begin(), text.end(), '/', '\\');
  if (text.empty() || text.front() != '\\') text.insert(text.begin(), '\\');
  if (text.size() > 1 && text.back() != '\\') text += '\\';
  alias_ = std::move(text);
}

}  // namespace orbiscope
