#include "httpd/ThreadPoolClient.h"

#include "httpd/ThreadPoolServer.h"

namespace orbiscope {

void CThreadPoolClient::SetRequestToStop() {
  requestToStop_.exchange(1);
  stopEvent_.Set();
}

void CThreadPoolClient::ClearRequestToStop() {
  requestToStop_.exchange(0);
  stopEvent_.Reset();
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
      if (request.m_dwID == CThreadPoolRequest::kStop) break;
      if (!Run(request)) break;
    }
  }
  ExitInstance();
}

}  // namespace orbiscope
