#pragma once
// The program's XML event log: one document per run beside the executable.
//
// Every entry is one LogItem with date, time, optional module and function names and the
// text. The file is recreated at every start and restarted when it grows past 5 MiB; the
// file it replaces is kept as "<file>.1". Safe from any thread: each entry is written whole
// under one lock, in one write, and a write that fails half-way is cut back off.

#include <mutex>
#include <string>
#include <string_view>

namespace orbiscope {

class LogXML {
public:
  static constexpr long long kMaxSize = 5LL * 1048576;  // rotation when strictly above

  LogXML() = default;
  ~LogXML();  // runs Close
  LogXML(const LogXML&) = delete;
  LogXML& operator=(const LogXML&) = delete;

  // The log of an executable /dir/orbiscope is /dir/orbiscope.LOG.xml with AppName orbiscope.
  void SetExecutablePath(std::string exePath);
  const std::string& FilePath() const { return filePath_; }

  // Keeps an existing file as "<file>.1", creates the file and writes the head. False
  // leaves the log closed (the program runs on without a log).
  bool Open();
  // Writes one LogItem; module and function are left out when empty. False when the log
  // is closed or a write failed.
  bool WriteEntry(std::string_view entry, std::string_view module = {},
                  std::string_view function = {});
  // Writes the closing item and </LogFile>, and closes the file.
  void Close();
  bool IsOpen() const;

private:
  bool OpenLocked();
  void CloseFileLocked();
  void AppendLine(std::string& out, std::string_view text) const;
  void AppendElement(std::string& out, std::string_view name, std::string_view text) const;
  void AppendDateTime(std::string& out) const;
  // Closes any open item and the document.
  void AppendTailLocked(std::string& out);
  void AppendItem(std::string& out, std::string_view entry, std::string_view module,
                  std::string_view function);
  bool WriteRaw(std::string_view bytes);

  mutable std::mutex mutex_;
  std::string exePath_;
  std::string filePath_;
  std::string appName_;
  int fd_ = -1;
  int depth_ = 0;
};

// The process-wide log.
LogXML& TheLog();

}  // namespace orbiscope
