// A received message as a service sees it: the parsed header behind the VELIP2PMessage interface.
#ifndef VELP2P_WIRE_VELP2PMESSAGE_H
#define VELP2P_WIRE_VELP2PMESSAGE_H

#include "host/VELBBMessage.h"
#include "velp2p/VELIP2PMessage.h"
#include "velp2p/VELP2PTypes.h"

class VELP2PHeader;
class VELIBBStreamer;

// The message reads a header it does not own: one made by the dispatch lives on the dispatcher's stack next
// to its header, and is valid only during that dispatch. A message without a header (the default constructor,
// or creation by the class name "VELP2PMessage") serves to obtain a streamer, which its VELBBMessage base
// hands out.
class VELP2PMessage : public VELBBMessage, public VELIP2PMessage {
  VEL_DECLARE_CLASS(VELP2PMessage)
 public:
  VELP2PMessage();
  // A new streamer with one reference, obtained through a message that is released at once; null when
  // none can be had.
  static VELIBBStreamer* NewStreamer();
  explicit VELP2PMessage(VELP2PHeader& header);
  VELP2PMessage(const VELP2PMessage& other);
  VELP2PMessage& operator=(const VELP2PMessage& other);
  // Public so that the dispatch can keep the message on its stack; it must hold no reference beyond its own.
  ~VELP2PMessage() override;

  unsigned long AddRef() override { return VELBBMessage::AddRef(); }
  unsigned long Release() override { return VELBBMessage::Release(); }
  // Answers IID_VELIP2PMessage with this message, and IID_VELIBBStreamer (a new streamer) through
  // VELBBMessage.
  VELResult QueryInterface(const VELIID& iid, void** object) override;

  VELResult GetMessageGroup(VELUnicodeString& group) override;
  VELResult GetSendingPeerName(VELUnicodeString& name) override;
  VELResult GetBufferLenght(int& length) override;
  VELResult GetBuffer(char* destination) override;
  // The same, refusing a destination of fewer than the payload's bytes.
  VELResult GetBuffer(char* destination, int capacity);
  int IsMulticast() override;
  int IsUnicast() override;

  // The sender's endpoint of a kind: the sending endpoint itself when the mode byte has a bit of kindMask,
  // else the endpoint of the other kind that the sender advertised. Only port and address of info are
  // written, as they lie in the header.
  VELResult GetSendingPeerEPInfo(VELP2PEndPointInfo& info, int kindMask);
  // The header's version byte.
  VELResult GetVersion(int& version);

 private:
  // Reads the payload in place during the dispatch instead of copying it.
  friend struct VELP2PReceivedMessage;

  // The header, when it has been built or parsed; null otherwise.
  VELP2PHeader* ReadableHeader() const;

  VELP2PHeader* _header;  // not owned
};

#endif
