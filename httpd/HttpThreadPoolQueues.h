#pragma once
// The server's queues: they own the accepted connections they hold, so a connection still
// waiting for a worker when the server stops is closed and freed, not leaked.

#include "httpd/DirectedThreadPoolQueue.h"
#include "httpd/IOCPThreadPoolQueue.h"

namespace orbiscope {

class CHttpDirectedThreadPoolQueue : public CDirectedThreadPoolQueue {
public:
  ~CHttpDirectedThreadPoolQueue() override;

protected:
  void DiscardPending(const CThreadPoolRequest& request) override;
};

class CHttpIOCPThreadPoolQueue : public CIOCPThreadPoolQueue {
public:
  ~CHttpIOCPThreadPoolQueue() override;

protected:
  void DiscardPending(const CThreadPoolRequest& request) override;
};

}  // namespace orbiscope
