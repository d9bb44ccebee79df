#pragma once
// One unit of work for the pool: answer a connection's request, or stop a worker.

#include <memory>

#include "httpd/HttpConnection.h"

namespace orbiscope {

// What a request asks of the worker that takes it. The queues carry it and never look at
// it, so any value of the underlying type passes through them unchanged.
enum class PoolRequestKind : unsigned {
  Stop,   // end the worker
  Serve,  // answer m_pConnection's request
};

struct CThreadPoolRequest {
  bool m_bDirectedRequest = false;   // only the worker m_nDirectedRequestIndex may take it
  int m_nDirectedRequestIndex = -1;  // -1 when not directed
  PoolRequestKind m_dwID = PoolRequestKind::Serve;  // the request type
  // For Serve: the connection with one whole request received. The request owns it until a
  // worker takes it; a queue dropping the request closes it.
  std::unique_ptr<HttpConnection> m_pConnection;
};

}  // namespace orbiscope
