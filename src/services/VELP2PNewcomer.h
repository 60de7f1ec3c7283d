// How the collaboration services meet a peer they did not know: what its multicast header says of it, and
// the answer a birth gets.
#ifndef VELP2P_SERVICES_VELP2PNEWCOMER_H
#define VELP2P_SERVICES_VELP2PNEWCOMER_H

#include <cstdint>
#include <memory>
#include <vector>

#include "velp2p/VELResult.h"

class VELIP2PMessage;
class VELP2PPeer;
class VELP2PPeerInfo;
struct VELP2PReceivedMessage;

// The sender of a multicast message as a directory record: the multicast endpoint that sent it, and the TCP
// endpoint its header names for answers (when it names one). Null when the message reads no header.
std::unique_ptr<VELP2PPeerInfo> VELP2PSenderFromHeader(VELIP2PMessage* message,
                                                       const VELP2PReceivedMessage& received);

// Answers a newcomer as a birth heard by multicast is answered: announcement, with its kind byte set to kind,
// then the local status as an update, both to the newcomer's record, in the current group. Fails without a
// current group or announcement.
VELResult VELP2PAnswerNewcomer(VELP2PPeer& peer, VELP2PPeerInfo& newcomer, std::vector<char>& announcement,
                               uint8_t kind);

#endif
