#pragma once
// Settings kept as text values in an XML file, addressed by a section path and a key.
//
// Section "VIDEO\OVERLAYTEXT\FONT", key "NAME" is the element VIDEO/OVERLAYTEXT/FONT/NAME
// below the root. No state is kept between calls: every call loads the file afresh and
// every write saves it at once, so edits made by other programs are seen by the next call.
// Files are windows-1252 on disk; every text crossing this interface is UTF-8.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "config/MessageSink.h"

namespace orbiscope {

class ConfigStore {
public:
  // Write results.
  static constexpr int kOk = 0;
  static constexpr int kCannotLoad = -1;    // the document could not be loaded (malformed file)
  static constexpr int kCannotReach = -2;   // the element could not be reached or created
  static constexpr int kCannotSet = -3;     // the value could not be set
  static constexpr int kCannotSave = -4;    // the file could not be saved; the old file is whole

  // The document used when the file cannot be opened for reading and writing.
  static constexpr std::string_view kEmptyDocument =
      "<?xml version=\"1.0\" encoding=\"windows-1252\" ?>"
      "<ORBISCOPEConfigSettings></ORBISCOPEConfigSettings>";
  // Caption of the box that reports a malformed file, once per call.
  static constexpr std::string_view kMalformedCaption = "LoadXML Malformed XML Error";

  // The sink shows the malformed-file message; by default it goes to standard error.
  explicit ConfigStore(MessageSink sink = StderrMessageSink());

  // Points the store at a file; the file is not touched.
  void SetFileName(std::string path);
  const std::string& FileName() const { return path_; }
  void SetMessageSink(MessageSink sink) { sink_ = std::move(sink); }

  // Why a file that exists could not be used.
  struct ParseProblem {
    int line = 0;        // 1-based line the parser stopped at; 0 when it could not be read
    std::string reason;  // the parser's reason text, or why the file could not be read
  };
  // The problem when the file exists but cannot be read or is not a well-formed document;
  // nothing when it parses or does not exist (reads then give the defaults). Shows nothing.
  std::optional<ParseProblem> Malformed() const;

  // The value text, possibly empty, or `def` when the element or the file is missing.
  std::string GetValue(std::string_view section, std::string_view key, std::string_view def) const;
  // The value read with atol semantics (12abc gives 12, abc gives 0), or `def`.
  long GetInt(std::string_view section, std::string_view key, long def) const;

  // 0 or one of the negative codes above.
  int SetValue(std::string_view section, std::string_view key, std::string_view value);
  int SetInt(std::string_view section, std::string_view key, long value);

  // Section path plus key to element names: blanks become underscores, trailing
  // backslashes are dropped, backslashes separate the names.
  static std::vector<std::string> SplitPath(std::string_view section, std::string_view key);

private:
  std::string path_;
  MessageSink sink_;
};

// atol semantics on a text: leading blanks, optional sign, decimal digits up to the first
// other character; no digits gives 0.
long AtoL(std::string_view text);

}  // namespace orbiscope

namespace orbiscope {
// The process-wide store over the program's settings file (named by start-up).
ConfigStore& TheConfig();
}  // namespace orbiscope
