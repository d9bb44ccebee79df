#pragma once
// Log texts that name calls of the platform the program was first written for. They are
// the wording the program has always logged, kept as it stands byte for byte: readers of
// old logs and the tests look for these very texts, so none is put into Linux terms.

namespace orbiscope::platform_texts {

// The user-interface thread's component initialisation failed at start-up.
inline constexpr const char* kComInitFailed = "Error initializate COM objets!";

// The server's start-up and accept loop. Each text ending in "GetLastError:" is followed by
// the error number in decimal; the logon one is a printf format (user name, error number).
inline constexpr const char* kThreadPoolCreateFailed =
    "CHttpServer::ListenSocketFunction, Failed to create thread pool, GetLastError:";
inline constexpr const char* kThreadLifetimeFailed =
    "CHttpServer::ListenSocketFunction, Failed in call to "
    "m_ThreadPool.SetMaxThreadClientLifetime, GetLastError:";
inline constexpr const char* kServerSocketCreateFailed =
    "CHttpServer::ListenSocketFunction, Failed to create server socket, GetLastError:";
inline constexpr const char* kServerSocketBindFailed =
    "CHttpServer::ListenSocketFunction, Failed to bind server socket, GetLastError:";
inline constexpr const char* kServerSocketListenFailed =
    "CHttpServer::ListenSocketFunction, Failed to listen on server socket, GetLastError:";
inline constexpr const char* kLogonFailedFormat =
    "CHttpServer::ListenSocketFunction, Failed to logon using user name: %s, GetLastError:%d";
// The readiness wait of the accept loop failed (reported as the event selection it replaces).
inline constexpr const char* kEventSelectFailed =
    "CHttpServer::ListenSocketFunction, Failed in call to WSAEventSelect, GetLastError:";
inline constexpr const char* kAcceptFailed =
    "CHttpServer::ListenSocketFunction, An error occurred accepting a client connection, "
    "GetLastError:";

// A session's send of a buffer or of a file part failed; the error number follows.
inline constexpr const char* kTransmitPacketsFailed =
    "CHttpClient::TransmitBuffer, Failed to send response via TransmitPackets, Error:";
inline constexpr const char* kTransmitFileFailed =
    "CHttpClient::TransmitFile, Failed to send response via TransmitFile, Error:";

// The start-up summary's line for the completion-queue setting (the shared work queue).
inline constexpr const char* kUsingIocpQueue = "Using IOCP Thread pool queue\n";

}  // namespace orbiscope::platform_texts
