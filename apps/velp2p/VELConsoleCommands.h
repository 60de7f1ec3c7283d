// The console's command table: one entry per peer operation (plus quit), and the short forms for people,
// each turning its arguments into a call on the local peer and the call's outcome into one reply.
#ifndef VELP2P_APPS_VELCONSOLECOMMANDS_H
#define VELP2P_APPS_VELCONSOLECOMMANDS_H

#include <string>
#include <vector>

#include "VELConsoleEvents.h"
#include "VELConsoleReply.h"

class VELIP2PPeer;

class VELConsoleCommands {
 public:
  // peer stays owned by the caller; events is asked for the group's peers; collaboration tells the mode the
  // peer is started in, for the short forms that belong to one mode.
  VELConsoleCommands(VELIP2PPeer* peer, const VELConsoleEvents& events, bool collaboration)
      : _peer(peer), _events(events), _collaboration(collaboration) {}

  // Runs one command line already split into words (the first is the command). quit is set when the
  // session should end after printing the reply.
  VELConsoleReply Run(const std::vector<std::string>& words, bool& quit);

  // A name as typed, or the one peer it is short for (bob for bob_KVZ or bob_ON_host#12), among the
  // connected peers and those of the group.
  std::string ResolvePeer(const std::string& name);

  // Leaves the network when the peer is connected (its departure is announced) and reports the result
  // under the name "quit".
  VELConsoleReply Quit();

 private:
  typedef void (VELConsoleCommands::*Handler)(const std::vector<std::string>& arguments,
                                              VELConsoleReply& reply);
  enum Mode { kAnyMode, kStandardOnly, kCollaborationOnly };
  struct Entry {
    const char* name;   // canonical name, or the short form with its slash
    const char* reply;  // the name the reply carries (the operation a short form stands for)
    int minimum;        // arguments (after the name)
    int maximum;        // -1: any number, the extra ones are joined with spaces into the last
    const char* usage;
    const char* details;  // what /help COMMAND adds to the usage
    Mode mode;            // the short forms that make sense in one mode only are refused in the other
    Handler handler;
  };
  static const Entry kEntries[];

  // The entry typed, or null.
  static const Entry* Find(const std::string& typed);

  void InitP2P(const std::vector<std::string>& a, VELConsoleReply& r);
  void InitP2PForRTC(const std::vector<std::string>& a, VELConsoleReply& r);
  void Disconnect(const std::vector<std::string>& a, VELConsoleReply& r);
  void Refresh(const std::vector<std::string>& a, VELConsoleReply& r);
  void GetPeerName(const std::vector<std::string>& a, VELConsoleReply& r);
  void GetCurrentGroup(const std::vector<std::string>& a, VELConsoleReply& r);
  void GetSubGroups(const std::vector<std::string>& a, VELConsoleReply& r);
  void CreateAndOrJoinSubGroup(const std::vector<std::string>& a, VELConsoleReply& r);
  void LeaveCurrentGroup(const std::vector<std::string>& a, VELConsoleReply& r);
  void ChangeP2PStatus(const std::vector<std::string>& a, VELConsoleReply& r);
  void GetStatus(const std::vector<std::string>& a, VELConsoleReply& r);
  void GetDesc(const std::vector<std::string>& a, VELConsoleReply& r);
  void GetStatusAndDesc(const std::vector<std::string>& a, VELConsoleReply& r);
  void GetConnectedPeers(const std::vector<std::string>& a, VELConsoleReply& r);
  void IsPeerConnected(const std::vector<std::string>& a, VELConsoleReply& r);
  void SendP2PMessage(const std::vector<std::string>& a, VELConsoleReply& r);
  void OpenP2PSession(const std::vector<std::string>& a, VELConsoleReply& r);
  void CloseP2PSession(const std::vector<std::string>& a, VELConsoleReply& r);
  void CrossGroupPeerSearch(const std::vector<std::string>& a, VELConsoleReply& r);
  void Session(const std::vector<std::string>& a, VELConsoleReply& r, bool open);

  // Short forms.
  void Peers(const std::vector<std::string>& a, VELConsoleReply& r);
  void Message(const std::vector<std::string>& a, VELConsoleReply& r);
  void Status(const std::vector<std::string>& a, VELConsoleReply& r);
  void Group(const std::vector<std::string>& a, VELConsoleReply& r);
  void Me(const std::vector<std::string>& a, VELConsoleReply& r);
  void Help(const std::vector<std::string>& a, VELConsoleReply& r);

  VELIP2PPeer* _peer;
  const VELConsoleEvents& _events;
  bool _collaboration;
  std::string _error;  // set by a handler that refuses its arguments
};

#endif
