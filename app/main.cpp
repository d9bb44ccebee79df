// Orbiscope start-up. The controller and the front-ends arrive with the program's own
// work; until then the executable loads its resource library and says what it is.

#include <cstdio>
#include <string>

#include "app/SingleInstance.h"
#include "resources/ResourceLibrary.h"


int main() {
  const std::string exe = orbiscope::ExecutablePath();
  const std::string folder = orbiscope::FolderOf(exe) + "/";
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
