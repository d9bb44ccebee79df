// Orbiscope start-up. The controller and the front-ends arrive with the program's own
// work; until then the executable loads its resource library and says what it is.

#include <unistd.h>

#include <climits>
#include <cstdio>
#include <string>

#include "resources/ResourceLibrary.h"

namespace {

std::string ExecutablePath() {
  char buffer[PATH_MAX];
  const ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  return n > 0 ? std::string(buffer, static_cast<std::size_t>(n)) : std::string("orbiscope");
}

}  // namespace

int main() {
  const std::string exe = ExecutablePath();
  const std::string folder = exe.substr(0, exe.rfind('/') + 1);
  orbiscope::ResourceLibrary resources;
  if (!resources.Load(folder + std::string(orbiscope::ResourceLibrary::kFileName))) {
    std::fprintf(stderr, "Error loading %s\n", orbiscope::ResourceLibrary::kFileName.data());
    return 1;
  }
  std::printf("%s %s (%s)\n", resources.String(orbiscope::res::kStrAppTitle).c_str(),
              "1.0.0", exe.c_str());
  std::printf("The web server and the camera are not part of this build yet.\n");
  return 0;
}
