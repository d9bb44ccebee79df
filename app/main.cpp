// orbiscope [--headless]

#include <cstdio>
#include <cstring>

#include "app/OrbiscopeApp.h"

int main(int argc, char** argv) {
  orbiscope::COrbiscopeApp::Options options;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--headless") == 0) {
      options.headless = true;
    } else if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
      std::printf("Usage: orbiscope [--headless]\n\n"
                  "Orbiscope webcam server. --headless runs it without a window: messages go\n"
                  "to standard error, SIGINT or SIGTERM close it, SIGHUP applies an edited\n"
                  "settings file (orbiscope.CONFIG.XML beside the executable).\n");
      return 0;
    } else {
      std::fprintf(stderr, "orbiscope: unknown option %s (try --help)\n", argv[i]);
      return 2;
    }
  }
  return orbiscope::COrbiscopeApp().Run(options);
}
