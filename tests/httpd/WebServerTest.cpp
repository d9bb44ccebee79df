#include "httpd/WebServer.h"

#include <gtest/gtest.h>

#include <sys/resource.h>

#include <algorithm>
#include <iterator>

#include "log/LogXML.h"
#include "resources/ResourceIds.h"
#include "resources/ResourceLibrary.h"
#include "tests/httpd/FixedResponseClient.h"
#include "tests/httpd/LoopbackSupport.h"

namespace orbiscope {
namespace {

using testing::LogEntries;
using testing::WriteFile;

const std::string kMime =
    "<MIME><MIME1><KEY>HTM</KEY><VALUE>text/html</VALUE></MIME1>"
    "<MIME2><KEY>JPG</KEY><VALUE>image/jpeg</VALUE></MIME2></MIME>";

class WebServerTest : public ::testing::Test {
public:
  WebServerTest() {
    log_.SetExecutablePath(dir_.File("orbiscope"));
    log_.Open();
    resources_.Load(std::string(ORBISCOPE_BIN_DIR) + "/Resource.so");
  }

  void WriteSettings(const std::string& general, const std::string& rest,
                     bool withMime = true) {
    WriteFile(dir_.File("WebServer.config.xml"),
              "<?xml version=\"1.0\" encoding=\"windows-1252\" ?><WebServerConfigSettings>"
              "<GENERAL>" + general + (withMime ? "<MimeRegistred>2</MimeRegistred>" : "") +
                  "</GENERAL>" + rest + (withMime ? kMime : "") + "</WebServerConfigSettings>");
  }

  std::unique_ptr<CWebServer> MakeServer() {
    return std::make_unique<CWebServer>(
        resources_,
        [this](std::string_view caption, std::string_view text) {
          boxes_.push_back(std::string(caption) + ": " + std::string(text));
        },
        dir_.path().string(),
        [] { return std::make_unique<testing::FixedResponseClient>(); });
  }

  bool Init(CWebServer& server, const std::string& bind = "127.0.0.1") {
    WebServerOptions options;
    options.bindAddress = bind;
    options.port = 0;
    options.contentDirectory = "/srv/content";
    return server.InitServer(log_, options);
  }

  // The entries the start-up wrote with the web server's module and function.
  std::vector<std::string> StartupLines() {
    log_.Close();
    std::vector<std::string> out;
    for (const auto& entry : LogEntries(log_.FilePath()))
      if (entry.rfind("127.0.0.1 - ", 0) != 0) out.push_back(entry);
    return out;
  }

  testing::TempDir dir_;
  LogXML log_;
  ResourceLibrary resources_;
  std::vector<std::string> boxes_;
};

TEST_F(WebServerTest, StartupBlockIsWrittenWordForWordInItsOrder) {
  WriteSettings(
      "<Directories>1</Directories><DNSLookup>1</DNSLookup><Timeout>15000</Timeout>"
      "<WritableTimeout>5000</WritableTimeout><ServerName>Cam/2</ServerName>"
      "<ThreadPoolSize>3</ThreadPoolSize><EnableThreadLifetime>1</EnableThreadLifetime>"
      "<MaxConnections>100</MaxConnections><MaxConnectionsPerClient>5</MaxConnectionsPerClient>"
      "<ThreadLifetime>30</ThreadLifetime><AutoExpire>1</AutoExpire><AllowDeletes>1</AllowDeletes>"
      "<AllowAnonymous>0</AllowAnonymous><AllowNTLMAuthentication>1</AllowNTLMAuthentication>",
      "<DIR0><Alias>/</Alias></DIR0>");
  auto server = MakeServer();
  ASSERT_TRUE(Init(*server));
  ASSERT_NE(server->Server(), nullptr);
  server->Stop();
  server->Release();
  const std::vector<std::string> expected = {
      "Web server is starting...\n",
      "Listening for incoming connections on port 0\n",
      "Reverse DNS lookups will be performed on client requests\n",
      "Binding to local address: 127.0.0.1\n",
      "Client idle timeout: 15000 ms\n",
      "Client write timeout: 5000 ms\n",
      "Configured Server Name: Cam/2\n",
      "Thread pool size: 3\n",
      "Maximum connections: 100\n",
      "Maximum connections per client: 5\n",
      "Threads in the thread pool will be recycled every 30 minute(s)\n",
      "Using Directed Thread pool queue\n",
      "Using Keep Alives\n",
      "Reponses will be marked with an immediate \"Expires\" header\n",
      "HTTP DELETE verb will be allowed\n",
      "CGI support is disabled in this configuration\n",
      "ISAPI support is disabled in this configuration\n",
      "Anonymous Connections are not allowed\n",
      "Basic Authentication allowed\n",
      "NTLM Authentication allowed\n",
      "Anonymous Connections are challenged, but no system account checks the credentials: "
      "protect folders with an alias's Username and Password\n",
  };
  log_.Close();
  EXPECT_EQ(testing::LogEntriesOf(log_.FilePath(), "CWebServer::InitServer"), expected);
}

// The start raises the soft descriptor limit to what the connections need, and says so
// when the hard limit does not allow it. Run in a child, so the lowered limits stay there.
int DescriptorLimitChild(WebServerTest& test) {
  rlimit limit {};
  limit.rlim_cur = 512;
  limit.rlim_max = 4096;
  if (::setrlimit(RLIMIT_NOFILE, &limit) != 0) return 2;
  auto server = test.MakeServer();
  if (!test.Init(*server)) return 3;
  server->Stop();
  server->Release();
  ::getrlimit(RLIMIT_NOFILE, &limit);
  if (limit.rlim_cur < 2 * 1000) return 4;
  limit.rlim_cur = limit.rlim_max = 512;
  if (::setrlimit(RLIMIT_NOFILE, &limit) != 0) return 5;
  if (!test.Init(*server)) return 6;
  server->Stop();
  const auto lines = test.StartupLines();
  const std::string shortfall =
      "The descriptor limit of 512 is below what the maximum connections need; "
      "connections may be refused sooner\n";
  return std::count(lines.begin(), lines.end(), shortfall) == 1 ? 0 : 7;
}

TEST_F(WebServerTest, TheDescriptorLimitIsRaisedForTheConnectionsOrTheShortfallLogged) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  WriteSettings("<Directories>1</Directories><MaxConnections>1000</MaxConnections>", "");
  EXPECT_EXIT(std::_Exit(DescriptorLimitChild(*this)), ::testing::ExitedWithCode(0), "");
}

TEST_F(WebServerTest, DefaultsFillWhatTheFileLeavesOutAndOptionalLinesStayAway) {
  WriteSettings("<Directories>1</Directories>", "");
  auto server = MakeServer();
  ASSERT_TRUE(Init(*server, ""));
  const CHttpServerSettings& s = *server->Settings();
  EXPECT_EQ(s.m_sServerName, "Zentrux/1.62");
  EXPECT_EQ(s.m_nThreadPoolSize, 10);
  EXPECT_EQ(s.m_nMaxConnections, 4096);
  EXPECT_EQ(s.m_nMaxConnectionsPerClient, 64);
  EXPECT_EQ(s.m_dwIdleClientTimeout, 30000u);
  EXPECT_EQ(s.m_dwWritableTimeout, 10000u);
  EXPECT_EQ(s.m_dwThreadLifetime, 120u);
  EXPECT_TRUE(s.m_bKeepAlives);
  EXPECT_TRUE(s.m_bAllowAnonymous);
  EXPECT_TRUE(s.m_bAllowBasicAuthentication);
  EXPECT_FALSE(s.m_bAllowNTLMAuthentication || s.m_bAllowDeleteRequest || s.m_bAutoExpire ||
               s.m_bUseIOCPQueue || s.m_bEnableThreadLifetime || s.m_bDNSLookup || s.m_bBind);
  ASSERT_EQ(s.m_Directories.size(), 1u);
  EXPECT_EQ(s.m_Directories[0].m_sDefaultFile, "index.html");
  EXPECT_EQ(s.m_Directories[0].m_sDirectory, "/srv/content");
  EXPECT_NE(s.m_pMimeManager, nullptr);
  server->Stop();
  const auto lines = StartupLines();
  for (const auto& line : lines) {
    EXPECT_EQ(line.find("Binding to local address"), std::string::npos);
    EXPECT_EQ(line.find("recycled"), std::string::npos);
    EXPECT_EQ(line.find("Reverse DNS"), std::string::npos);
    EXPECT_EQ(line.find("trusted proxies"), std::string::npos);
  }
  EXPECT_NE(std::find(lines.begin(), lines.end(), "Anonymous Connections allowed\n"), lines.end());
  EXPECT_NE(std::find(lines.begin(), lines.end(), "HTTP DELETE verb will not be allowed\n"),
            lines.end());
}

// Commas and blanks of any mix separate the addresses; what is no dotted IPv4 address
// (a name, a short or octal form, a range) is named and left out, never guessed at.
TEST_F(WebServerTest, TrustedProxiesAreReadLoggedOnceAndOddEntriesNamed) {
  WriteSettings("<Directories>1</Directories><TrustedProxies> 127.0.0.1,10.0.0.7\t ,,"
                "proxy.lan 192.168.1.254\n127.1 010.0.0.1 10.0.0.0/8</TrustedProxies>",
                "");
  auto server = MakeServer();
  ASSERT_TRUE(Init(*server));
  std::vector<std::string> rejected;
  EXPECT_EQ(server->Settings()->m_TrustedProxies,
            ParseTrustedProxies("127.0.0.1 10.0.0.7 192.168.1.254", rejected));
  EXPECT_TRUE(rejected.empty());
  server->Stop();
  const auto lines = StartupLines();
  const auto at = std::find(lines.begin(), lines.end(), "Maximum connections per client: 64\n");
  ASSERT_NE(at, lines.end());
  ASSERT_GE(std::distance(at, lines.end()), 6);
  EXPECT_EQ(std::vector<std::string>(at + 1, at + 6),
            (std::vector<std::string>{
                "Connections from these trusted proxies are not limited per client: "
                "127.0.0.1, 10.0.0.7, 192.168.1.254\n",
                "Warning: TrustedProxies entry \"proxy.lan\" is not an IPv4 address and is ignored\n",
                "Warning: TrustedProxies entry \"127.1\" is not an IPv4 address and is ignored\n",
                "Warning: TrustedProxies entry \"010.0.0.1\" is not an IPv4 address and is ignored\n",
                "Warning: TrustedProxies entry \"10.0.0.0/8\" is not an IPv4 address and is ignored\n"}));
}

TEST_F(WebServerTest, DirectoriesAreReadFromDirZeroUpInOrderOntoTheContentFolder) {
  WriteSettings("<Directories>2</Directories>",
                "<DIR0><Alias>/</Alias><DefaultFile>home.htm</DefaultFile></DIR0>"
                "<DIR1><Alias>cam</Alias><DirectoryListing>1</DirectoryListing><Writable>1</Writable>"
                "<Script>1</Script><Username>u</Username><Password>p</Password><Realm>R</Realm></DIR1>");
  auto server = MakeServer();
  ASSERT_TRUE(Init(*server));
  const auto& dirs = server->Settings()->m_Directories;
  ASSERT_EQ(dirs.size(), 2u);
  EXPECT_EQ(dirs[0].m_sAlias, "/");
  EXPECT_EQ(dirs[0].m_sDefaultFile, "home.htm");
  EXPECT_FALSE(dirs[0].m_bDirectoryListing);
  EXPECT_EQ(dirs[1].m_sAlias, "cam");
  EXPECT_EQ(dirs[1].m_sDefaultFile, "index.html");
  EXPECT_TRUE(dirs[1].m_bDirectoryListing && dirs[1].m_bWritable && dirs[1].m_bScript);
  EXPECT_EQ(dirs[1].m_sUsername, "u");
  EXPECT_EQ(dirs[1].m_sPassword, "p");
  EXPECT_EQ(dirs[1].m_sRealm, "R");
  for (const auto& d : dirs) EXPECT_EQ(d.m_sDirectory, "/srv/content");
  server->Stop();
  server->Release();

  WriteSettings("<Directories>1</Directories>", "<DIR1><Alias>/never</Alias></DIR1>");
  ASSERT_TRUE(Init(*server));
  ASSERT_EQ(server->Settings()->m_Directories.size(), 1u);
  EXPECT_EQ(server->Settings()->m_Directories[0].m_sAlias, "");  // DIR1 is never read
  server->Stop();
  server->Release();

  WriteSettings("<Directories>-3</Directories>", "");
  ASSERT_TRUE(Init(*server));
  EXPECT_TRUE(server->Settings()->m_Directories.empty());
}

// Every alias maps onto the content folder, so an open alias serves a protected alias's
// files too: the start-up says so once for each protected alias.
TEST_F(WebServerTest, ProtectedAliasesReachableWithoutCredentialsAreNamed) {
  WriteSettings("<Directories>4</Directories>",
                "<DIR0><Alias>/cam</Alias><Username>u</Username><Password>p</Password></DIR0>"
                "<DIR1><Alias>/cgi</Alias><Script>1</Script></DIR1>"
                "<DIR2><Alias>/</Alias></DIR2>"
                "<DIR3><Alias>/private</Alias><Username>v</Username></DIR3>");
  auto server = MakeServer();
  ASSERT_TRUE(Init(*server));
  server->Stop();
  const auto lines = StartupLines();
  std::vector<std::string> warnings;
  std::copy_if(lines.begin(), lines.end(), std::back_inserter(warnings),
               [](const std::string& line) { return line.rfind("Warning:", 0) == 0; });
  EXPECT_EQ(warnings,
            (std::vector<std::string>{
                "Warning: the files of the protected alias /cam are also served without "
                "credentials through the alias /\n",
                "Warning: the files of the protected alias /private are also served without "
                "credentials through the alias /\n"}));

  // Folders apart share nothing; one inside the other shares what is inside.
  auto directory = [](const char* alias, const char* folder, const char* user) {
    HttpDirectorySettings d;
    d.m_sAlias = alias;
    d.m_sDirectory = folder;
    d.m_sUsername = user;
    return d;
  };
  EXPECT_TRUE(ExposedDirectoryWarnings({directory("/a", "/srv/a", "u"), directory("/b", "/srv/b", ""),
                                        directory("/c", "/srv/ab", "")})
                  .empty());
  EXPECT_EQ(ExposedDirectoryWarnings({directory("/a", "/srv/a/", "u"), directory("/s", "/srv", "")}).size(), 1u);
  EXPECT_EQ(ExposedDirectoryWarnings({directory("/a", "/srv/a", "u"), directory("/p", "/srv/a/./pub", "")}).size(),
            1u);
}

TEST_F(WebServerTest, MissingDirectoriesOrMimeEntriesRefuseToStart) {
  WriteSettings("", "<DIR0><Alias>/</Alias></DIR0>");
  auto server = MakeServer();
  EXPECT_FALSE(Init(*server));
  EXPECT_EQ(server->Server(), nullptr);
  ASSERT_EQ(boxes_.size(), 1u);
  EXPECT_NE(boxes_[0].find(resources_.String(res::kStrNoDirectories)), std::string::npos);
  EXPECT_FALSE(resources_.String(res::kStrNoDirectories).empty());

  WriteSettings("<Directories>1</Directories>", "", /*withMime=*/false);
  EXPECT_FALSE(Init(*server));
  EXPECT_EQ(server->Server(), nullptr);
  const auto lines = StartupLines();
  EXPECT_NE(std::find(lines.begin(), lines.end(), "Could not read any directory settings from the xml file"),
            lines.end());
  EXPECT_NE(std::find(lines.begin(), lines.end(), "Failed to read any MIME map settings from xml file\n"),
            lines.end());
}

TEST_F(WebServerTest, StartFailuresAreLoggedAndTheCallerStopsAndReleases) {
  WriteSettings("<Directories>1</Directories><UseIOCPQueue>1</UseIOCPQueue>"
                "<EnableThreadLifetime>1</EnableThreadLifetime>",
                "");
  auto server = MakeServer();
  EXPECT_FALSE(Init(*server));
  EXPECT_NE(server->Server(), nullptr);  // stays until the caller releases it
  server->Stop();
  server->Release();
  EXPECT_EQ(server->Server(), nullptr);

  WriteSettings("<Directories>1</Directories><UseIOCPQueue>1</UseIOCPQueue>"
                "<ThreadPoolSize>0</ThreadPoolSize>",
                "");
  EXPECT_FALSE(Init(*server));  // started, but without a worker
  server->Stop();
  server->Release();
  const auto lines = StartupLines();
  EXPECT_NE(std::find(lines.begin(), lines.end(), "Failed to start up the web server\n"), lines.end());
  EXPECT_NE(std::find(lines.begin(), lines.end(), "Error WaitForThreadsInitInstance \n"), lines.end());
  EXPECT_NE(std::find(lines.begin(), lines.end(), "Using IOCP Thread pool queue\n"), lines.end());
}

// The server is released right after it started, again and again: nothing of the server
// may still be in use by then (the waiter thread included).
TEST_F(WebServerTest, RestartsCleanlyAndServesBetweenRestarts) {
  WriteSettings("<Directories>1</Directories><ThreadPoolSize>2</ThreadPoolSize>", "");
  auto server = MakeServer();
  const int before = testing::OpenDescriptorCount();
  for (int round = 0; round < 5; ++round) {
    ASSERT_TRUE(Init(*server));
    if (round == 0) {
      const int fd = testing::ConnectLoopback(server->Server()->GetListeningPort());
      ASSERT_TRUE(testing::SendAll(fd, "GET / HTTP/1.0\r\n\r\n"));
      EXPECT_EQ(testing::ReadResponses(fd, 1).rfind("HTTP/1.0 200 OK\r\n", 0), 0u);
      ::close(fd);
    }
    server->Stop();
    server->Release();
  }
  EXPECT_EQ(testing::OpenDescriptorCount(), before);
}

TEST_F(WebServerTest, StartingAgainWithoutAStopReplacesTheRunningServer) {
  WriteSettings("<Directories>1</Directories><ThreadPoolSize>1</ThreadPoolSize>", "");
  auto server = MakeServer();
  ASSERT_TRUE(Init(*server));
  ASSERT_TRUE(Init(*server));
  const int fd = testing::ConnectLoopback(server->Server()->GetListeningPort());
  ASSERT_TRUE(testing::SendAll(fd, "GET / HTTP/1.0\r\n\r\n"));
  EXPECT_EQ(testing::ReadResponses(fd, 1).rfind("HTTP/1.0 200 OK\r\n", 0), 0u);
  ::close(fd);
}

}  // namespace
}  // namespace orbiscope
