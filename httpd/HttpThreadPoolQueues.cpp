#include "httpd/HttpThreadPoolQueues.h"

namespace orbiscope {

namespace {

void FreeConnection(const CThreadPoolRequest& request) {
  if (request.m_dwID == CThreadPoolRequest::kServe)
    delete static_cast<AcceptedConnection*>(request.m_pData);  // closes its socket
}

}  // namespace

// Close runs here, while the object is still of this class, so DiscardPending reaches the
// override; the base destructor's Close then finds nothing left.
CHttpDirectedThreadPoolQueue::~CHttpDirectedThreadPoolQueue() { Close(); }

void CHttpDirectedThreadPoolQueue::DiscardPending(const CThreadPoolRequest& request) {
  FreeConnection(request);
}

CHttpIOCPThreadPoolQueue::~CHttpIOCPThreadPoolQueue() { Close(); }

void CHttpIOCPThreadPoolQueue::DiscardPending(const CThreadPoolRequest& request) {
  FreeConnection(request);
}

}  // namespace orbiscope
