#pragma once
// One unit of work for the pool: answer a connection's request, or stop a worker.

#include <memory>

#include "httpd/HttpConnection.h"

namespace orbiscope {

struct CThreadPoolRequest {
  static constexpr unsigned kStop = 0;   // ends the worker that takes it
  static constexpr unsigned kServe = 1;  // answer m_pConnection's request

  bool m_bDirectedRequest = false;   // only the worker m_nDirectedRequestIndex may take it
  int m_nDirectedRequestIndex = -1;  // -1 when not directed
  unsigned m_dwID = kServe;          // the request type
  // For kServe: the connection with one whole request received. The request owns it until a
  // worker takes it; a queue dropping the request closes it.
  std::unique_ptr<HttpConnection> m_pConnection;
};

}  // namespace orbiscope
