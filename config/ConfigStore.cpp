#include "config/ConfigStore.h"

#include "config/Codepage.h"

#include <fcntl.h>
#include <libxml/parser.h>
#include <libxml/tree.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace orbiscope {
namespace {

struct DocFree {
  void operator()(xmlDoc* d) const { xmlFreeDoc(d); }
};
struct CtxtFree {
  void operator()(xmlParserCtxt* c) const { xmlFreeParserCtxt(c); }
};
using DocPtr = std::unique_ptr<xmlDoc, DocFree>;

const xmlChar* X(const std::string& s) { return reinterpret_cast<const xmlChar*>(s.c_str()); }

// What loading found: the document, or why there is none.
struct Loaded {
  DocPtr doc;
  ConfigStore::ParseProblem problem;  // line 0 and no reason when nothing was parsed
};

// Loads the file, or the empty document when there is no file. Reading needs no write
// access: a read-only file is read, and only saving it fails. A file that exists but cannot
// be read is no empty document either (that would start the open defaults): like a
// malformed one it gives no document, with the reason and line 0.
Loaded Load(const std::string& path) {
  Loaded out;
  std::unique_ptr<xmlParserCtxt, CtxtFree> ctxt(xmlNewParserCtxt());
  if (!ctxt) return out;
  const int options = XML_PARSE_NOERROR | XML_PARSE_NOWARNING | XML_PARSE_NONET;
  const auto unreadable = [&out](std::string reason) {
    out.problem.line = 0;
    out.problem.reason = std::move(reason);
    return std::move(out);
  };
  int fd = -1;
  if (!path.empty()) {
    // Non-blocking, so that a FIFO in the file's place cannot hang the caller.
    fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0 && errno != ENOENT) return unreadable(std::strerror(errno));
  }
  xmlDoc* doc = nullptr;
  if (fd >= 0) {
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
      ::close(fd);
      return unreadable("not a regular file");
    }
    doc = xmlCtxtReadFd(ctxt.get(), fd, path.c_str(), nullptr, options);
    ::close(fd);
  } else {
    const std::string_view text = ConfigStore::kEmptyDocument;
    doc = xmlCtxtReadMemory(ctxt.get(), text.data(), static_cast<int>(text.size()), nullptr,
                            nullptr, options);
  }
  if (doc != nullptr && xmlDocGetRootElement(doc) != nullptr) {
    out.doc.reset(doc);
    return out;
  }
  const bool rootless = doc != nullptr;
  xmlFreeDoc(doc);
  const xmlError* err = xmlCtxtGetLastError(ctxt.get());
  std::string reason = err != nullptr && err->message != nullptr ? err->message : "";
  while (!reason.empty() && (reason.back() == '\n' || reason.back() == '\r')) reason.pop_back();
  // A document without a root element is no settings file either.
  if (reason.empty() && rootless) reason = "no root element";
  out.problem.line = err != nullptr && err->line > 0 ? err->line : 1;
  out.problem.reason = std::move(reason);
  return out;
}

// Loads for one call of the store: a malformed file is shown once per call.
DocPtr LoadForCall(const std::string& path, const MessageSink& sink) {
  Loaded loaded = Load(path);
  if (!loaded.doc && !loaded.problem.reason.empty() && sink)
    sink(ConfigStore::kMalformedCaption, loaded.problem.reason);
  return std::move(loaded.doc);
}

bool IsElementName(const std::string& name) {
  return !name.empty() && xmlValidateNameValue(X(name)) != 0;
}

xmlNode* FirstChildElement(xmlNode* parent, const std::string& name) {
  for (xmlNode* c = parent->children; c != nullptr; c = c->next)
    if (c->type == XML_ELEMENT_NODE && xmlStrcmp(c->name, X(name)) == 0) return c;
  return nullptr;
}

xmlNode* FindNode(xmlDoc* doc, const std::vector<std::string>& names, bool create) {
  xmlNode* node = xmlDocGetRootElement(doc);
  for (const std::string& name : names) {
    if (node == nullptr || !IsElementName(name)) return nullptr;
    xmlNode* child = FirstChildElement(node, name);
    if (child == nullptr) {
      if (!create) return nullptr;
      child = xmlNewChild(node, nullptr, X(name), nullptr);
    }
    node = child;
  }
  return node;
}

// Writes the bytes to a temporary file in the target's folder and renames it over the
// target, so that a crash or a full disk never leaves a half-written settings file.
bool SaveAtomically(const std::string& path, const xmlChar* bytes, int size) {
  std::string target = path;
  struct stat lst {};
  if (::lstat(path.c_str(), &lst) == 0 && S_ISLNK(lst.st_mode)) {
    char resolved[PATH_MAX];
    if (::realpath(path.c_str(), resolved) == nullptr) return false;
    target = resolved;
  }
  struct stat st {};
  const bool exists = ::stat(target.c_str(), &st) == 0;
  if (exists && (!S_ISREG(st.st_mode) || ::access(target.c_str(), W_OK) != 0)) return false;

  const std::size_t slash = target.rfind('/');
  const std::string dir = slash == std::string::npos ? "." : target.substr(0, slash + 1);
  const std::string base = slash == std::string::npos ? target : target.substr(slash + 1);
  std::string tmp = dir + (dir.back() == '/' ? "" : "/") + "." + base + ".XXXXXX";
  const int fd = ::mkostemp(tmp.data(), O_CLOEXEC);
  if (fd < 0) return false;

  bool ok = true;
  for (int done = 0; ok && done < size;) {
    const ssize_t n = ::write(fd, bytes + done, static_cast<std::size_t>(size - done));
    if (n < 0 && errno == EINTR) continue;
    ok = n > 0;
    if (ok) done += static_cast<int>(n);
  }
  ok = ok && ::fchmod(fd, exists ? (st.st_mode & 07777) : 0644) == 0;
  ok = ok && ::fsync(fd) == 0;
  ok = ::close(fd) == 0 && ok;
  ok = ok && ::rename(tmp.c_str(), target.c_str()) == 0;
  if (!ok) {
    ::unlink(tmp.c_str());
    return false;
  }
  const int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dfd >= 0) {
    ::fsync(dfd);
    ::close(dfd);
  }
  return true;
}

}  // namespace

ConfigStore::ConfigStore(MessageSink sink) : sink_(std::move(sink)) {}

void ConfigStore::SetFileName(std::string path) { path_ = std::move(path); }

std::vector<std::string> ConfigStore::SplitPath(std::string_view section, std::string_view key) {
  std::string joined;
  joined.reserve(section.size() + key.size() + 1);
  joined.append(section).append("\\").append(key);
  for (char& c : joined)
    if (c == ' ') c = '_';
  while (!joined.empty() && joined.back() == '\\') joined.pop_back();
  std::vector<std::string> names;
  std::size_t start = 0;
  for (;;) {
    const std::size_t pos = joined.find('\\', start);
    names.push_back(joined.substr(start, pos - start));
    if (pos == std::string::npos) break;
    start = pos + 1;
  }
  return names;
}

std::string ConfigStore::GetValue(std::string_view section, std::string_view key,
                                  std::string_view def) const {
  const auto names = SplitPath(section, key);
  DocPtr doc = LoadForCall(path_, sink_);
  if (!doc) return std::string(def);
  xmlNode* node = FindNode(doc.get(), names, false);
  if (node == nullptr) return std::string(def);
  xmlChar* content = xmlNodeGetContent(node);
  std::string value = content != nullptr ? reinterpret_cast<const char*>(content) : "";
  xmlFree(content);
  return value;
}

std::optional<ConfigStore::ParseProblem> ConfigStore::Malformed() const {
  Loaded loaded = Load(path_);
  if (loaded.doc || loaded.problem.reason.empty()) return std::nullopt;
  return std::move(loaded.problem);
}

long ConfigStore::GetInt(std::string_view section, std::string_view key, long def) const {
  return AtoL(GetValue(section, key, std::to_string(def)));
}

int ConfigStore::SetValue(std::string_view section, std::string_view key, std::string_view value) {
  const auto names = SplitPath(section, key);
  DocPtr doc = LoadForCall(path_, sink_);
  if (!doc) return kCannotLoad;
  xmlNode* node = FindNode(doc.get(), names, true);
  if (node == nullptr) return kCannotReach;
  // Replace every child by one text node; xmlNewText takes the text as it is, with no
  // entity parsing, so '&' and '<' in a value are kept as characters.
  while (node->children != nullptr) {
    xmlNode* child = node->children;
    xmlUnlinkNode(child);
    xmlFreeNode(child);
  }
  const std::string safe = XmlSafeUtf8(value);
  xmlNode* text = xmlNewText(X(safe));
  if (text == nullptr || xmlAddChild(node, text) == nullptr) {
    xmlFreeNode(text);
    return kCannotSet;
  }
  xmlChar* bytes = nullptr;
  int size = 0;
  xmlDocDumpMemoryEnc(doc.get(), &bytes, &size, "windows-1252");
  const bool saved = bytes != nullptr && size > 0 && !path_.empty() && SaveAtomically(path_, bytes, size);
  xmlFree(bytes);
  return saved ? kOk : kCannotSave;
}

int ConfigStore::SetInt(std::string_view section, std::string_view key, long value) {
  return SetValue(section, key, std::to_string(value));
}

long AtoL(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r'))) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  unsigned long value = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    const unsigned long digit = static_cast<unsigned long>(text[i] - '0');
    // glibc's atol saturates on overflow, as strtol does.
    if (value > (static_cast<unsigned long>(LONG_MAX) + (negative ? 1 : 0) - digit) / 10) {
      return negative ? LONG_MIN : LONG_MAX;
    }
    value = value * 10 + digit;
  }
  return negative ? static_cast<long>(0 - value) : static_cast<long>(value);
}

ConfigStore& TheConfig() {
  static ConfigStore store;
  return store;
}

}  // namespace orbiscope
