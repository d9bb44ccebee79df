#include "log/LogXML.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "config/Codepage.h"

namespace orbiscope {
namespace {

constexpr std::string_view kHead =
    "<?xml version=\"1.0\" encoding=\"windows-1252\" ?>"
    "<?xml-stylesheet href=\"Log.xsl\" type=\"text/xsl\" ?>";
constexpr std::string_view kRotationEntry = "Fichero de LOG borrado por sobrepasar los 5MB";
constexpr std::string_view kClosedEntry = "Log File closed";
constexpr std::string_view kLogModule = "LogXML";
constexpr std::string_view kRotationFunction = "LogXML::WriteDAta";
constexpr const char* kReopenedEntry =
    "Fichero de LOG reabierto: no se pudo crear al sobrepasar los 5MB; entradas perdidas: %llu";
constexpr const char* kPreviousSuffix = ".1";

// The messages of this log are formatted and then dropped: nothing reaches the user when
// the log itself fails, and the program runs on. Kept so the failure paths read plainly.
void DropMessage(const char* format, const std::string& path) {
  char buffer[512];
  std::snprintf(buffer, sizeof buffer, format, path.c_str());
}

// What a text needs before it goes into the file. Plain: printable ASCII, tabs and line
// ends, none of "&", "<" or ">", spelled as it stands. Markup: the same ASCII with some of
// those three, which only they change. Other: anything else, converted character by
// character. Nearly every entry is plain or markup (an access line always is, but for its
// user and request; a query with "&" is markup), and is not decoded character by character.
enum class TextKind { Plain, Markup, Other };

TextKind KindOf(std::string_view text) {
  TextKind kind = TextKind::Plain;
  for (const char c : text) {
    const auto b = static_cast<unsigned char>(c);
    if (b >= 0x80 || (b < 0x20 && b != '\t' && b != '\n' && b != '\r')) return TextKind::Other;
    if (b == '&' || b == '<' || b == '>') kind = TextKind::Markup;
  }
  return kind;
}

// XmlTextCp1252 of markup text, run by run: "&" and "<" become references, and so does a
// ">" that would end "]]>"; the rest reads the same in windows-1252.
std::string EscapedMarkup(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 32);
  std::size_t done = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    const char* reference = c == '&'   ? "&amp;"
                            : c == '<' ? "&lt;"
                            : c == '>' && i >= 2 && text[i - 1] == ']' && text[i - 2] == ']'
                                ? "&gt;"
                                : nullptr;
    if (reference == nullptr) continue;
    out.append(text.substr(done, i - done)).append(reference);
    done = i + 1;
  }
  out.append(text.substr(done));
  return out;
}

std::string EscapedCopy(std::string_view text, TextKind kind) {
  switch (kind) {
    case TextKind::Plain: return std::string(text);
    case TextKind::Markup: return EscapedMarkup(text);
    case TextKind::Other: break;
  }
  return XmlTextCp1252(text);
}

std::string Escaped(std::string_view text) { return EscapedCopy(text, KindOf(text)); }

std::string AppNameOf(const std::string& exePath) {
  const std::size_t slash = exePath.rfind('/');
  std::string name = slash == std::string::npos ? exePath : exePath.substr(slash + 1);
  const std::size_t dot = name.rfind('.');
  if (dot != std::string::npos && dot != 0) name.resize(dot);
  return name;
}

}  // namespace

LogXML::~LogXML() { Close(); }

void LogXML::SetExecutablePath(std::string exePath) {
  std::lock_guard lock(mutex_);
  exePath_ = std::move(exePath);
  filePath_ = exePath_ + ".LOG.xml";
  appName_ = AppNameOf(exePath_);
}

bool LogXML::IsOpen() const {
  std::lock_guard lock(mutex_);
  return fd_ >= 0;
}

bool LogXML::Open() {
  std::lock_guard lock(mutex_);
  return OpenLocked();
}

bool LogXML::OpenLocked() {
  CloseFileLocked();
  if (filePath_.empty()) return false;
  // The previous file becomes the ".1" file (replacing an older one), so neither a restart
  // nor a rotation loses the last log. Where it cannot be renamed it is truncated as before.
  if (::rename(filePath_.c_str(), (filePath_ + kPreviousSuffix).c_str()) != 0 && errno != ENOENT)
    DropMessage("LogXML: Error renaming file \"%s\".\n", filePath_);
  fd_ = OpenFile(filePath_);
  if (fd_ < 0) {
    DropMessage("LogXML: Error opening file \"%s\".\n", filePath_);
    return false;
  }
  depth_ = 0;
  std::string head(kHead);
  AppendLine(head, "<LogFile>");
  depth_ = 1;
  AppendElement(head, "AppName", appName_);
  timespec now {};
  ::clock_gettime(CLOCK_REALTIME, &now);
  char stamp[64];
  std::snprintf(stamp, sizeof stamp, "<Timestamp>%.3f</Timestamp>",
                static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec / 1000000) / 1000.0);
  AppendLine(head, stamp);
  AppendDateTime(head);
  return WriteRaw(head);
}

int LogXML::OpenFile(const std::string& path) {
  return ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0644);
}

std::chrono::steady_clock::time_point LogXML::Now() const { return std::chrono::steady_clock::now(); }

bool LogXML::ReopenLocked() {
  const auto now = Now();
  // Bounded, so that a disk that stays broken costs one try a second, not one per entry.
  if (now < nextReopen_) {
    ++lost_;
    return false;
  }
  nextReopen_ = now + kReopenInterval;
  if (!OpenLocked()) {
    ++lost_;
    return false;
  }
  reopening_ = false;
  char text[160];
  std::snprintf(text, sizeof text, kReopenedEntry, lost_);
  lost_ = 0;
  std::string item;
  AppendItem(item, text, kLogModule, kRotationFunction);
  return WriteRaw(item);
}

void LogXML::CloseFileLocked() {
  if (fd_ < 0) return;
  if (::close(fd_) != 0) DropMessage("LogXML: Error closing file \"%s\".\n", filePath_);
  fd_ = -1;
}

void LogXML::AppendLine(std::string& out, std::string_view text) const {
  out += '\n';
  out.append(static_cast<std::size_t>(2 * depth_), ' ');
  out.append(text);
}

void LogXML::AppendElement(std::string& out, std::string_view name, std::string_view text) const {
  AppendEscapedElement(out, name, Escaped(text));
}

void LogXML::AppendEscapedElement(std::string& out, std::string_view name,
                                  std::string_view escaped) const {
  out += '\n';
  out.append(static_cast<std::size_t>(2 * depth_), ' ');
  out.append("<").append(name).append(">");
  out.append(escaped);
  out.append("</").append(name).append(">");
}

void LogXML::AppendDateTime(std::string& out) {
  timespec now {};
  ::clock_gettime(CLOCK_REALTIME, &now);
  const char* tz = std::getenv("TZ");
  if (now.tv_sec != stamp_.second ||
      (tz == nullptr ? stamp_.tz.has_value() : !stamp_.tz || *stamp_.tz != tz)) {
    tm local {};
    ::localtime_r(&now.tv_sec, &local);
    char line[64];
    std::strftime(line, sizeof line, "<Date>%Y-%m-%d</Date>", &local);
    stamp_.date = line;
    std::strftime(line, sizeof line, "<Time>%H:%M:%S.", &local);
    stamp_.time = line;
    stamp_.second = now.tv_sec;
    stamp_.tz = tz != nullptr ? std::optional<std::string>(tz) : std::nullopt;
  }
  AppendLine(out, stamp_.date);
  const int millis = static_cast<int>(now.tv_nsec / 1000000);
  const char digits[] = {static_cast<char>('0' + millis / 100),
                         static_cast<char>('0' + millis / 10 % 10),
                         static_cast<char>('0' + millis % 10)};
  AppendLine(out, stamp_.time);
  out.append(digits, sizeof digits).append("</Time>");
}

LogXML::ItemText::ItemText(std::string_view entryText, std::string_view moduleName,
                           std::string_view functionName) {
  const auto escape = [](std::string_view text, std::string& copy) {
    const TextKind kind = KindOf(text);
    if (kind == TextKind::Plain) return text;
    copy = EscapedCopy(text, kind);
    return std::string_view(copy);
  };
  entry = escape(entryText, escaped_[0]);
  if (!moduleName.empty()) module = escape(moduleName, escaped_[1]);
  if (!functionName.empty()) function = escape(functionName, escaped_[2]);
}

void LogXML::AppendItem(std::string& out, std::string_view entry, std::string_view module,
                        std::string_view function) {
  AppendItem(out, ItemText(entry, module, function));
}

void LogXML::AppendItem(std::string& out, const ItemText& text) {
  AppendLine(out, "<LogItem>");
  ++depth_;
  AppendDateTime(out);
  // A name escapes to nothing only when it was empty: an empty one is left out.
  if (!text.module.empty()) AppendEscapedElement(out, "Filename", text.module);
  if (!text.function.empty()) AppendEscapedElement(out, "Function", text.function);
  AppendEscapedElement(out, "Entry", text.entry);
  if (depth_ > 1) {
    --depth_;
    AppendLine(out, "</LogItem>");
  }
}

bool LogXML::WriteRaw(std::string_view bytes, long long sizeBefore) {
  struct stat st {};
  const bool sized = sizeBefore >= 0 || ::fstat(fd_, &st) == 0;
  if (sizeBefore >= 0) st.st_size = static_cast<off_t>(sizeBefore);
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd_, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      // A full disk may take part of the bytes: they are cut off again, so the file holds
      // whole items only and stays a document a reader can open.
      const bool cut = sized && ::ftruncate(fd_, st.st_size) == 0;
      static_cast<void>(cut);  // a file that cannot even shrink has nothing more to lose
      DropMessage("LogXML: Could not write to file \"%s\".\n", filePath_);
      return false;
    }
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

void LogXML::AppendTailLocked(std::string& out) {
  while (depth_ > 1) {
    --depth_;
    AppendLine(out, "</LogItem>");
  }
  depth_ = 0;
  AppendLine(out, "</LogFile>");
}

bool LogXML::WriteEntry(std::string_view entry, std::string_view module, std::string_view function) {
  // Escaped before the lock: it is the costly part of an entry, and workers logging at
  // once would otherwise queue behind each other's text.
  const ItemText text(entry, module, function);
  std::lock_guard lock(mutex_);
  if (fd_ < 0 && (!reopening_ || !ReopenLocked())) return false;
  struct stat st {};
  long long sizeBefore = ::fstat(fd_, &st) == 0 ? static_cast<long long>(st.st_size) : -1;
  if (sizeBefore > kMaxSize) {
    sizeBefore = -1;  // another file from here on
    // The kept file ends as a whole document.
    std::string tail;
    AppendTailLocked(tail);
    WriteRaw(tail);
    if (!OpenLocked()) {
      reopening_ = true;
      nextReopen_ = Now() + kReopenInterval;
      lost_ = 1;
      return false;
    }
    std::string rotation;
    AppendItem(rotation, kRotationEntry, kLogModule, kRotationFunction);
    WriteRaw(rotation);
  }
  // The whole item goes to the file in one write, so a reader never sees half an entry.
  std::string item;
  item.reserve(text.entry.size() + text.module.size() + text.function.size() + 160);
  AppendItem(item, text);
  return WriteRaw(item, sizeBefore);
}

void LogXML::Close() {
  std::lock_guard lock(mutex_);
  reopening_ = false;
  if (fd_ < 0) return;
  std::string tail;
  while (depth_ > 1) {
    --depth_;
    AppendLine(tail, "</LogItem>");
  }
  AppendItem(tail, kClosedEntry, kLogModule, {});
  AppendTailLocked(tail);
  WriteRaw(tail);
  CloseFileLocked();
}

LogXML& TheLog() {
  static LogXML log;
  return log;
}

}  // namespace orbiscope
