#pragma once
// One unit of work for the pool: serve a connection, or stop a worker.

#include <netinet/in.h>

#include "httpd/WSocket.h"

namespace orbiscope {

struct CThreadPoolRequest {
  static constexpr unsigned kStop = 0;   // ends the worker that takes it
  static constexpr unsigned kServe = 1;  // m_pData is an AcceptedConnection

  bool m_bDirectedRequest = false;   // only the worker m_nDirectedRequestIndex may take it
  int m_nDirectedRequestIndex = -1;  // -1 when not directed
  unsigned m_dwID = kServe;          // the request type
  void* m_pData = nullptr;           // owned by the request until a worker takes it
};

// One accepted socket waiting for a worker; heap-made by the listener, freed by the worker
// that serves it or by the queue that still holds it when the server stops.
struct AcceptedConnection {
  sockaddr_in m_ClientAddress {};
  CHttpSocket m_Socket;
};

}  // namespace orbiscope
