// The server engine with the stand-in session (a fixed 100-byte answer, one access-log line
// per request), for measuring the listener, the pool and the sends from outside with wrk.
//
//   httpd_standin_server PORT [POOL_SIZE] [LOG_FOLDER] [MAX_CONNECTIONS_PER_CLIENT]
//
// wrk's connections all come from 127.0.0.1, so its crowds need the per-client limit raised.
// Prints "listening on PORT" once it accepts and runs until SIGINT or SIGTERM; then prints
// how many requests it answered and how many access-log lines the log took.

#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "config/MessageSink.h"
#include "httpd/MyHttpServer.h"
#include "httpd/WebServer.h"
#include "log/LogXML.h"
#include "resources/ResourceLibrary.h"
#include "tests/httpd/FixedResponseClient.h"

int main(int argc, char** argv) {
  using namespace orbiscope;
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s PORT [POOL_SIZE] [LOG_FOLDER] [MAX_CONNECTIONS_PER_CLIENT]\n",
                 argv[0]);
    return 2;
  }
  // The signals are taken by sigwait below, not by a handler, so every thread blocks them.
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGINT);
  sigaddset(&stop, SIGTERM);
  ::pthread_sigmask(SIG_BLOCK, &stop, nullptr);

  const std::string folder = argc > 3 ? argv[3] : "/tmp";
  LogXML log;
  log.SetExecutablePath(folder + "/httpd_standin_server");
  if (!log.Open()) return 1;
  ResourceLibrary resources;  // no pages are needed: every answer is the fixed one

  CHttpServerSettings settings;
  settings.m_nPort = static_cast<std::uint16_t>(std::atoi(argv[1]));
  settings.m_bBind = true;
  settings.m_sBindAddress = "127.0.0.1";
  settings.m_nThreadPoolSize = argc > 2 ? std::atoi(argv[2]) : 10;
  if (argc > 4) settings.m_nMaxConnectionsPerClient = std::atoi(argv[4]);
  testing::FixedResponseClient::Tally tally;
  settings.m_ClientFactory = [&tally] {
    return std::make_unique<testing::FixedResponseClient>(std::string(100, 'x'), &tally);
  };

  RaiseDescriptorLimit(settings.m_nMaxConnections);  // as the program does at each start
  CMyHttpServer server(log, resources, StderrMessageSink());
  if (!server.Start(&settings)) return 1;
  std::printf("listening on %u\n", static_cast<unsigned>(server.GetListeningPort()));
  std::fflush(stdout);
  int signal = 0;
  ::sigwait(&stop, &signal);
  server.Stop();
  log.Close();
  std::printf("answered %ld requests, logged %ld access-log lines\n", tally.answered.load(),
              tally.logged.load());
  return 0;
}
