// orbiscope [--headless] [--home DIR]

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
    } else if (std::strcmp(argv[i], "--home") == 0 || std::strncmp(argv[i], "--home=", 7) == 0) {
      const char* value = argv[i][6] == '=' ? argv[i] + 7 : (i + 1 < argc ? argv[++i] : "");
      if (*value == '\0') {
        std::fprintf(stderr, "orbiscope: --home needs a folder (try --help)\n");
        return 2;
      }
      options.home = value;
    } else if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
      std::printf("Usage: orbiscope [--headless] [--home DIR]\n\n"
                  "Orbiscope webcam server. Without options it opens its window (it needs a\n"
                  "display). --headless runs it without a window: messages go to standard\n"
                  "error. Either way SIGINT or SIGTERM close it and SIGHUP applies an edited\n"
                  "settings file (orbiscope.CONFIG.XML beside the executable).\n"
                  "--home DIR (or the variable ORBISCOPE_HOME) keeps the settings, the log,\n"
                  "WebServer.config.xml and the content folder root/ in DIR instead, making\n"
                  "what DIR lacks from the installed defaults on the first start.\n"
                  "See orbiscope(1).\n");
      return 0;
    } else {
      std::fprintf(stderr, "orbiscope: unknown option %s (try --help)\n", argv[i]);
      return 2;
    }
  }
  return orbiscope::COrbiscopeApp().Run(options);
}
