#pragma once
// Extension to Content-Type, loaded once from the web server's settings file. Keys are the
// upper-case extension without its dot ("JPG"), exactly as the file writes them.

#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>

namespace orbiscope {

class ConfigStore;

class CMimeMap {
public:
  // The answer when no entry matches.
  static constexpr std::string_view kDefaultType = "application/octet-stream";

  virtual ~CMimeMap() = default;

  // Reads "MimeRegistred" entries from sections MIME\MIME1 .. MIME\MIMEn (keys "KEY",
  // "VALUE"); a later entry replaces an earlier one with the same key. Answers the number
  // of distinct keys (0: nothing loaded). The section argument is not used.
  int Load(const ConfigStore& store, std::string_view section = {});
  // The type for a local file name by its extension, or kDefaultType.
  virtual std::string GetMimeType(std::string_view localFileName) const;
  // Number of keys.
  std::size_t Size() const;

private:
  mutable std::mutex mutex_;
  std::unordered_map<std::string, std::string> map_;
  const ConfigStore* store_ = nullptr;
};

}  // namespace orbiscope
