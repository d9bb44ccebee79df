#pragma once
// The web server's settings record: built by CWebServer from WebServer.config.xml at every
// start and read, without a lock, by the listener and the workers for the server's life.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "httpd/ThreadPoolServer.h"

namespace orbiscope {

class CMimeMap;

// One virtual directory as the settings file gives it (section DIR<n>); the directory code
// builds its CHttpDirectory from this record.
struct HttpDirectorySettings {
  std::string m_sAlias;              // as written in the file; SetAlias normalises it
  std::string m_sDirectory;          // physical folder
  std::string m_sDefaultFile;
  bool m_bDirectoryListing = false;
  bool m_bWritable = false;
  bool m_bScript = false;
  std::string m_sUsername;           // empty: the directory is not protected
  std::string m_sPassword;
  std::string m_sRealm;
};

// The start-up warnings for protected directories whose files are also served without
// credentials: one per protected directory that an unprotected one (not a script
// directory) overlaps, the same folder or one inside the other, naming both aliases as
// configured. Every alias maps onto the one content folder, so an open "/" beside a
// protected alias always does this.
std::vector<std::string> ExposedDirectoryWarnings(const std::vector<HttpDirectorySettings>& directories);

// The addresses of "TrustedProxies": dotted IPv4 addresses separated by commas and/or
// blanks, as s_addr values (network byte order), in the order written. Each entry that is
// no such address goes, as written, into `rejected`.
std::vector<std::uint32_t> ParseTrustedProxies(std::string_view text, std::vector<std::string>& rejected);

// The addresses as the log shows them: dotted, separated by ", ".
std::string FormatAddresses(const std::vector<std::uint32_t>& addresses);

class CHttpServerSettings {
public:
  static constexpr const char* kDefaultServerName = "Zentrux/1.62";

  // The defaults; the one directory maps "/" to executableDir with default file
  // "default.htm" and is never served (CWebServer replaces the list or refuses to start).
  explicit CHttpServerSettings(const std::string& executableDir = {});

  std::uint16_t m_nPort = 80;                         // always replaced by the caller's port
  std::vector<HttpDirectorySettings> m_Directories;   // in configuration order
  bool m_bBind = false;                               // bind to m_sBindAddress, not to any
  std::string m_sBindAddress;                         // dotted number or host name
  unsigned m_dwIdleClientTimeout = 30000;             // ms ("Timeout")
  std::string m_sServerName = kDefaultServerName;     // the Server header
  ClientFactory m_ClientFactory;                      // makes each worker's client object
  std::string m_sUsername;                            // account for the listener (not used on Linux)
  std::string m_sPassword;                            // its password, cleared after the logon step
  int m_nThreadPoolSize = 10;                         // workers: requests answered at once
  bool m_bDNSLookup = false;                          // reverse-resolve client addresses
  unsigned m_dwWritableTimeout = 10000;               // ms ("WritableTimeout")
  bool m_bEnableThreadLifetime = false;               // recycle workers
  unsigned m_dwThreadLifetime = 120;                  // minutes
  CMimeMap* m_pMimeManager = nullptr;                 // not owned
  bool m_bUseIOCPQueue = false;                       // unbounded queue instead of the directed one
  bool m_bKeepAlives = true;                          // honour "Connection: Keep-Alive"
  bool m_bAutoExpire = false;                         // immediate Expires on files
  bool m_bAllowDeleteRequest = false;                 // accept DELETE
  bool m_bAllowAnonymous = true;                      // serve requests without credentials
  bool m_bAllowBasicAuthentication = true;
  bool m_bAllowNTLMAuthentication = false;
  int m_nMaxConnections = 4096;                       // open at once ("MaxConnections")
  int m_nMaxConnectionsPerClient = 64;                // from one address ("MaxConnectionsPerClient")
  // Addresses exempt from the per-client limit ("TrustedProxies"): a reverse proxy brings
  // every viewer from its own address. s_addr values, network byte order.
  std::vector<std::uint32_t> m_TrustedProxies;
};

}  // namespace orbiscope
