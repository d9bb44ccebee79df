#include "httpd/ThreadPoolClient.h"

#include <new>

#include "httpd/HttpServer.h"
#include "httpd/ThreadPoolServer.h"

namespace orbiscope {

void CThreadPoolClient::SetRequestToStop() {
  requestToStop_.exchange(1);
}

void CThreadPoolClient::ClearRequestToStop() {
  requestToStop_.exchange(0);
}

bool CThreadPoolClient::Run(CThreadPoolRequest& /*request*/) { return false; }

void CThreadPoolClient::WorkerProcedure() {
  const bool ok = InitInstance();
  initialisedOk_.exchange(ok);
  initialised_.Set();
  if (ok) {
    CThreadPoolQueue* queue = pool_->GetQueue();
    CThreadPoolRequest request;
    while (queue->GetRequest(request, threadIndex_, kInfinite)) {
      if (request.m_dwID == PoolRequestKind::Stop) break;
      // A request that ran out of memory ends alone (its connection closes as the request
      // unwinds); the worker goes on. Sessions answer it themselves; this is the backstop.
      try {
        if (!Run(request)) break;
      } catch (const std::bad_alloc&) {
        if (server_ != nullptr)
          server_->OnError("CThreadPoolClient::WorkerProcedure, Out of memory serving a request");
      }
    }
  }
  ExitInstance();
}

}  // namespace orbiscope
