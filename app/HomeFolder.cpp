#include "app/HomeFolder.h"

#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <system_error>

#include "config/ConfigStore.h"

namespace orbiscope {
namespace {

namespace fs = std::filesystem;

std::string WithoutTrailingSlash(std::string text) {
  while (text.size() > 1 && text.back() == '/') text.pop_back();
  return text;
}

// A name beside `target` that no other program start uses, so that a copy interrupted
// half-way never stands under the real name.
fs::path Staging(const fs::path& target) {
  return target.parent_path() / ("." + target.filename().string() + ".new-" + std::to_string(::getpid()));
}

// Copies a file or a whole folder to `target` through a staging name; `prepare` may change
// the staged copy before it takes its real name.
template <typename Prepare>
std::string Install(const fs::path& source, const fs::path& target, Prepare prepare) {
  std::error_code ec;
  if (!fs::exists(source, ec)) return source.string() + " is missing";
  const fs::path staged = Staging(target);
  fs::remove_all(staged, ec);
  fs::copy(source, staged, fs::copy_options::recursive, ec);
  std::string error = ec ? "cannot copy " + source.string() + ": " + ec.message() : prepare(staged);
  if (error.empty()) {
    fs::rename(staged, target, ec);
    if (ec) error = "cannot create " + target.string() + ": " + ec.message();
  }
  if (!error.empty()) fs::remove_all(staged, ec);
  return error;
}

std::string NoChange(const fs::path&) { return {}; }

// The caption a new home starts with: the machine's name tells a viewer which camera this
// is. Only names the caption box could hold are taken as they are.
std::string StarterCaption() {
  constexpr std::size_t kCaptionLength = 35;
  char name[256] = {};
  if (::gethostname(name, sizeof name - 1) != 0) return kStarterCaption;
  std::string text(name);
  const bool printable = !text.empty() && text.size() <= kCaptionLength &&
                         std::all_of(text.begin(), text.end(), [](unsigned char c) { return c > 0x20 && c < 0x7F; });
  return printable ? text : std::string(kStarterCaption);
}

}  // namespace

std::string ChosenHome(const std::string& option, const char* environment) {
  std::string chosen = option;
  if (chosen.empty() && environment != nullptr) chosen = environment;
  if (chosen.empty()) return {};
  std::error_code ec;
  const fs::path absolute = fs::absolute(chosen, ec);
  return WithoutTrailingSlash((ec ? fs::path(chosen) : absolute).lexically_normal().string());
}

std::string DefaultsFolder(const std::string& exeFolder) {
  std::error_code ec;
  if (fs::exists(fs::path(exeFolder) / "WebServer.config.xml", ec)) return exeFolder;
  return WithoutTrailingSlash((fs::path(exeFolder) / "../../share/orbiscope").lexically_normal().string());
}

HomeReport PrepareHome(const std::string& home, const std::string& defaults,
                       const std::string& settingsName) {
  HomeReport report;
  const fs::path dir(home);
  const fs::path from(defaults);
  std::error_code ec;
  if (!fs::is_directory(dir, ec)) {
    fs::create_directories(dir, ec);
    if (ec) {
      report.error = "cannot create " + home + ": " + ec.message();
      return report;
    }
    // The settings inside hold the camera password's digest, which the picture routes accept
    // in place of the password.
    fs::permissions(dir, fs::perms::owner_all, ec);
  }

  const auto add = [&](const std::string& name, const fs::path& source, auto prepare) {
    if (!report.error.empty() || fs::exists(dir / name, ec)) return;
    report.error = Install(source, dir / name, prepare);
    if (report.error.empty()) report.created.push_back(name);
  };
  add("WebServer.config.xml", from / "WebServer.config.xml", NoChange);
  add("Log.xsl", from / "Log.xsl", NoChange);
  add("root", from / "root", NoChange);
  // Last, so that a home whose settings exist is complete.
  add(settingsName, from / kStarterSettingsName, [&](const fs::path& staged) -> std::string {
    std::error_code permissionError;
    fs::permissions(staged, fs::perms::owner_read | fs::perms::owner_write, permissionError);
    ConfigStore starter;
    starter.SetFileName(staged.string());
    if (starter.SetValue("SERVER", "VIRTDIR", (dir / "root").string()) != ConfigStore::kOk)
      return "cannot write the content folder into the starter settings " +
             (from / kStarterSettingsName).string();
    if (starter.SetValue("VIDEO\\OVERLAYTEXT", "TEXT", StarterCaption()) != ConfigStore::kOk)
      return "cannot write the caption into the starter settings " +
             (from / kStarterSettingsName).string();
    return {};
  });
  report.ok = report.error.empty();
  return report;
}

}  // namespace orbiscope
