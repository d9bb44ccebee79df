// orbiscope [--headless]

#include <cstdio>
#include <cstring>

#include "app/OrbiscopeApp.h"
#if ORBISCOPE_WINDOW
#include "app/WindowFrontEnd.h"
#endif

int main(int argc, char** argv) {
  orbiscope::COrbiscopeApp::Options options;
#if ORBISCOPE_WINDOW
  options.window = orbiscope::RunWindow;
#endif
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--headless") == 0) {
      options.headless = true;
    } else if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
      std::printf("Usage: orbiscope [--headless]\n\n"
                  "Orbiscope webcam server. Without options it opens its window (it needs a\n"
                  "display). --headless runs it without a window: messages go to standard\n"
                  "error. Either way SIGINT or SIGTERM close it and SIGHUP applies an edited\n"
                  "settings file (orbiscope.CONFIG.XML beside the executable).\n");
      return 0;
    } else {
      std::fprintf(stderr, "orbiscope: unknown option %s (try --help)\n", argv[i]);
      return 2;
    }
  }
  return orbiscope::COrbiscopeApp().Run(options);
}
