// Why the last failing operation of the calling thread failed. Result codes stay as they are (most refusals
// are the generic failure); this tells a program, and its user, which refusal it was.
//
// A failing operation records its reason for the thread that called it; a successful one leaves the record
// as it is, like errno. Clear it before a call to know whether that call failed for a recorded reason.
#ifndef VELP2P_VELLASTERROR_H
#define VELP2P_VELLASTERROR_H

#include "velp2p/VELExport.h"

// Stable numbers: new reasons are added at the end, none is ever renumbered.
enum VELP2PErrorCode {
  VELP2P_ERROR_NONE = 0,                  // nothing recorded since the last clear
  VELP2P_ERROR_NOT_CONNECTED = 1,         // the peer is not started, or was disconnected
  VELP2P_ERROR_ALREADY_STARTED = 2,       // the peer is started already
  VELP2P_ERROR_UNKNOWN_PEER = 3,          // no peer of that name is known
  VELP2P_ERROR_EMPTY_DATA = 4,            // no data, or a length of zero or less
  VELP2P_ERROR_TOO_LONG = 5,              // the data would not fit a message
  VELP2P_ERROR_DESCRIPTION_TOO_LONG = 6,  // a status description that cannot fit one datagram
  VELP2P_ERROR_BAD_GROUP_NAME = 7,        // empty, or holding the separator "/"
  VELP2P_ERROR_AT_ROOT = 8,               // the root group has no parent to go back to
  VELP2P_ERROR_NO_STATUS = 9,             // no status is known for that peer
  VELP2P_ERROR_BAD_ARGUMENT = 10,         // a null or out-of-range argument
  VELP2P_ERROR_BAD_CONFIGURATION = 11,    // the endpoint configuration file cannot be used
  VELP2P_ERROR_NETWORK = 12,              // a socket could not be opened or a send found no route
  VELP2P_ERROR_OUT_OF_MEMORY = 13,
  VELP2P_ERROR_WRONG_MODE = 14,  // the operation belongs to the other mode
  VELP2P_ERROR_QUEUE_FULL = 15,  // the peer's send queue is full: let the loop run, then send again
  VELP2P_ERROR_BAD_OPTION = 16,  // an option that does not exist, or a value it cannot take
  VELP2P_ERROR_BUSY = 17,        // no longer used: a process holds as many peers as it likes
  VELP2P_ERROR_FAILED = 18,      // a failure without a more precise reason
  VELP2P_ERROR_NO_LOOP = 19,     // a start with no event loop to run on
};

// The reason recorded last on the calling thread, VELP2P_ERROR_NONE when none.
VELP2P_API int VELP2PGetLastErrorCode();
// Its text for people (never null; empty when none). Valid until the thread's next failure or clear.
VELP2P_API const char* VELP2PGetLastErrorText();
// Forgets the calling thread's reason.
VELP2P_API void VELP2PClearLastError();
// A short fixed text for a code ("unknown peer"), the start of the texts VELP2PGetLastErrorText gives.
VELP2P_API const char* VELP2PErrorCodeText(int code);

#endif
