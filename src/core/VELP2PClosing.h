// Why the local peer closes when it closes on its own rather than at the application's request.
#ifndef VELP2P_CORE_VELP2PCLOSING_H
#define VELP2P_CORE_VELP2PCLOSING_H

// While one lives, VELP2PCloseReason() gives its reason.
class VELP2PClosing {
 public:
  explicit VELP2PClosing(const char* reason);
  ~VELP2PClosing();
  VELP2PClosing(const VELP2PClosing&) = delete;
  VELP2PClosing& operator=(const VELP2PClosing&) = delete;

 private:
  const char* _outer;
};

#endif
