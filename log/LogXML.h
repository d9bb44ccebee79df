#pragma once
// The program's XML event log: one document per run beside the executable.
//
// Every entry is one LogItem with date, time, optional module and function names and the
// text. The file is recreated at every start and restarted when it grows past 5 MiB; the
// file it replaces is kept as "<file>.1". Safe from any thread: each entry is written whole
// under one lock, in one write, and a write that fails half-way is cut back off. A file
// that cannot be made again at a rotation (no descriptor left, say) is tried again with a
// later entry, at most once a second, and the first entry in it tells how many were lost.

#include <chrono>
#include <ctime>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

namespace orbiscope {

class LogXML {
public:
  static constexpr long long kMaxSize = 5LL * 1048576;  // rotation when strictly above
  static constexpr std::chrono::seconds kReopenInterval {1};  // between tries after a rotation

  LogXML() = default;
  virtual ~LogXML();  // runs Close
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

protected:
  // The system's part, replaced by tests: creating the file (a descriptor, or -1) and the
  // clock the tries to reopen it go by.
  virtual int OpenFile(const std::string& path);
  virtual std::chrono::steady_clock::time_point Now() const;

private:
  // After a rotation that could not make the file: tries again once the interval is over.
  bool ReopenLocked();
  bool OpenLocked();
  void CloseFileLocked();
  void AppendLine(std::string& out, std::string_view text) const;
  void AppendElement(std::string& out, std::string_view name, std::string_view text) const;
  void AppendEscapedElement(std::string& out, std::string_view name, std::string_view escaped) const;
  void AppendDateTime(std::string& out);
  // Closes any open item and the document.
  void AppendTailLocked(std::string& out);
  // An item's texts as the file spells them; the names stay empty when they were. A text
  // that needs no escaping (nearly every one) is viewed where it stands, not copied.
  struct ItemText {
    ItemText(std::string_view entryText, std::string_view moduleName,
             std::string_view functionName);
    ItemText(const ItemText&) = delete;  // the views may point into the copies below
    ItemText& operator=(const ItemText&) = delete;
    std::string_view entry;
    std::string_view module;
    std::string_view function;

  private:
    std::string escaped_[3];
  };
  void AppendItem(std::string& out, std::string_view entry, std::string_view module,
                  std::string_view function);
  void AppendItem(std::string& out, const ItemText& text);
  // `sizeBefore` is the file's size when the caller just asked for it, else -1: a write
  // that fails half-way cuts the file back to it.
  bool WriteRaw(std::string_view bytes, long long sizeBefore = -1);

  mutable std::mutex mutex_;
  std::string exePath_;
  std::string filePath_;
  std::string appName_;
  int fd_ = -1;
  int depth_ = 0;
  bool reopening_ = false;  // the file was lost at a rotation; entries try to make it again
  std::chrono::steady_clock::time_point nextReopen_ {};
  unsigned long long lost_ = 0;  // entries not written since
  // The date and time to the second of the last item, made again when the second or the
  // zone asked for (TZ) changes: only the milliseconds differ between most items.
  struct Stamp {
    std::time_t second = -1;
    std::optional<std::string> tz;  // unset and empty are different zones
    std::string date;               // "<Date>...</Date>"
    std::string time;               // "<Time>hh:mm:ss."
  };
  Stamp stamp_;
};

// The process-wide log.
LogXML& TheLog();

}  // namespace orbiscope
