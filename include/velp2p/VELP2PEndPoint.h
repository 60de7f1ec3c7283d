// The base of every endpoint: a socket, the record that tells peers how to reach it, the event-loop hook,
// the receive path that validates, reassembles and parses blocks, and the splitting send path.
#ifndef VELP2P_VELP2PENDPOINT_H
#define VELP2P_VELP2PENDPOINT_H

#include <memory>
#include <string>

#include "velp2p/VELBaseUnknown.h"
#include "velp2p/VELP2PDrops.h"
#include "velp2p/VELP2PTypes.h"
#include "velp2p/VELUnicodeString.h"

class VELApplication;
class VELCommand;
class VELLoopLink;
struct VELP2PBlock;
class VELP2PHeader;
class VELP2PReassembler;
class VELP2PReceiver;

class VELP2P_API VELP2PEndPoint : public VELBaseUnknown {
  VEL_DECLARE_CLASS(VELP2PEndPoint)
 public:
  VELP2PEndPoint();

  // Opens the socket, fills the record and registers with the event loop.
  virtual VELResult Initialize(const char* address, int port) = 0;
  virtual int IsUnicast() = 0;
  virtual int IsMulticast() = 0;
  virtual VELResult SendToGroup(VELUnicodeString& group, const char* serviceName, char* data, int length) = 0;
  virtual VELResult SendToPeer(VELUnicodeString& group, const char* serviceName, char* data, int length,
                               VELP2PEndPointInfo* endPointInfo, VELP2PPeerInfo* peerInfo) = 0;
  // Reads one message from the socket and passes it to the receive path.
  virtual VELResult ReceiveData() = 0;
  // Puts one finished wire block on the network (used by SplitAndSend).
  virtual VELResult SendData(VELUnicodeString& group, const char* serviceName, char* bytes, int byteLength,
                             VELP2PEndPointInfo* endPointInfo, VELP2PPeerInfo* peerInfo) = 0;
  // Builds one wire block for a payload (used by SplitAndSend).
  virtual VELResult BuildMessage(VELUnicodeString& group, const char* serviceName, char* data, int length,
                                 VELP2PHeader& header) = 0;

  // Kept for the endpoint classes that call it first in Initialize(address, port); binds nothing.
  VELResult Initialize();
  VELP2PEndPointInfo* GetEndPointInfo() { return _endPointInfo.get(); }
  // Where received messages go, whose identity built blocks carry and which loop the endpoint runs on; the
  // peer sets it at registration, before Initialize, and takes it away when it lets the endpoint go.
  void SetReceiver(VELP2PReceiver* receiver);
  // What this endpoint dropped, by reason, since it was made.
  const VELP2PDropCounters& GetDrops() const { return _drops; }

  // The event loop's callback; loopArgument is not used.
  static void P2PRcvCB(int descriptor, void* loopArgument, VELP2PEndPoint* endPoint);

  // The receive path for the size bytes one read brought (from: the sender's record when the medium
  // tells it, else null): mode checks, reassembly, header parse against size, hand-over to the receiver.
  // The bytes stay the caller's. The caller holds a reference on the endpoint for the call, since a
  // service may disconnect the peer, which releases its endpoints.
  VELResult Receive(const char* bytes, int size, const VELP2PEndPointInfo* from);
  // The same, for endpoint classes written against the earlier form; message is left as it was.
  VELResult ReceiveBlock(char*& message, int size) { return Receive(message, size, nullptr); }

 protected:
  ~VELP2PEndPoint() override;

  // The loop of the node that registered the endpoint; null before the registration and once it is gone.
  VELApplication* Loop() const;
  // Registers the descriptor with that loop; fails without one.
  VELResult InstallP2PCB(int descriptor);
  // Ends that registration; the owner command is deleted once the loop's turn is over.
  VELResult RemoveP2PCB(int descriptor);
  // Receive for bytes the endpoint hands over (size of them), so that a large block is not copied again.
  VELResult ReceiveOwned(std::unique_ptr<char[]> bytes, int size, const VELP2PEndPointInfo* from);
  VELResult ReceiveOwned(VELP2PBlock&& block, const VELP2PEndPointInfo* from);
  // Builds one block in mode 0 (unicast) or 1 (multicast) from this endpoint's record and the receiver's
  // identity; fails without a receiver.
  VELResult BuildBlock(VELUnicodeString& group, const char* serviceName, const char* data, int length,
                       int mode, VELP2PHeader& header);
  // Counts a drop; always VEL_E_FAIL, for the receive path to return.
  VELResult Dropped(VELP2PDrop reason);
  // Sends a payload whole through BuildMessage and SendData, or as a fragment group when it is longer
  // than _splitThreshold.
  VELResult SplitAndSend(VELUnicodeString& group, const char* serviceName, char* data, int length,
                         VELP2PEndPointInfo* endPointInfo, VELP2PPeerInfo* peerInfo);

  VELP2PReceiver* _receiver;                          // the registering peer's side, not owned
  std::unique_ptr<VELP2PEndPointInfo> _endPointInfo;  // this endpoint's own record
  std::string _address;                               // the address given to Initialize
  int _port;
  int _fragmentSize;                                     // payload bytes per fragment
  int _splitThreshold;                                   // payloads longer than this are split
  VELCommand* _command;                                  // owner of the loop registration, null when none
  std::unique_ptr<VELP2PReassembler> _splittedMessages;  // fragment groups in progress, per sender
  int _descriptor;                                       // the descriptor registered with the loop, or -1
  VELP2PDropCounters _drops;

 private:
  std::unique_ptr<VELLoopLink> _loop;  // of the registering node; null before the registration
};

#endif
