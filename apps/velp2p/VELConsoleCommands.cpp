#include "VELConsoleCommands.h"

#include <strings.h>

#include "VELConsoleJson.h"
#include "VELConsoleLine.h"
#include "velp2p/VELLastError.h"
#include "velp2p/VELP2PPeer.h"

namespace {

// The type and header that /msg gives chat text.
const unsigned char kChatType = 1;
const char kChatHeader[] = "text";

std::vector<std::string> Texts(const VELListValVELUnicodeString* list) {
  std::vector<std::string> texts;
  if (list) {
    for (const VELUnicodeString& text : *list)
      texts.push_back(text.Str());
  }
  return texts;
}

std::string Text(const VELUnicodeString* text) {
  return text ? text->Str() : std::string();
}

// The trailing arguments from first on, joined with single spaces: the free text of a short form.
std::string Rest(const std::vector<std::string>& arguments, size_t first) {
  std::string text;
  for (size_t i = first; i < arguments.size(); ++i) {
    if (i > first)
      text += ' ';
    text += arguments[i];
  }
  return text;
}

}  // namespace

const VELConsoleCommands::Entry VELConsoleCommands::kEntries[] = {
    {"InitP2P", "InitP2P", 0, 0, "InitP2P", "starts the peer in standard mode (groups, directory, search)",
     kAnyMode, &VELConsoleCommands::InitP2P},
    {"InitP2PForRTC", "InitP2PForRTC", 0, 0, "InitP2PForRTC",
     "starts the peer in collaboration mode (presence, status, messages, sessions)", kAnyMode,
     &VELConsoleCommands::InitP2PForRTC},
    {"Disconnect", "Disconnect", 0, 0, "Disconnect", "leaves the network; the others hear the peer leave",
     kAnyMode, &VELConsoleCommands::Disconnect},
    {"Refresh", "Refresh", 0, 0, "Refresh", "succeeds while the peer is started", kAnyMode,
     &VELConsoleCommands::Refresh},
    {"GetPeerName", "GetPeerName", 0, 0, "GetPeerName", "the local peer's name", kAnyMode,
     &VELConsoleCommands::GetPeerName},
    {"GetCurrentGroup", "GetCurrentGroup", 0, 0, "GetCurrentGroup", "the group the peer is in", kAnyMode,
     &VELConsoleCommands::GetCurrentGroup},
    {"GetSubGroups", "GetSubGroups", 0, 0, "GetSubGroups",
     "the sub-groups of the current group heard of so far", kAnyMode, &VELConsoleCommands::GetSubGroups},
    {"CreateAndOrJoinSubGroup", "CreateAndOrJoinSubGroup", 1, 1, "CreateAndOrJoinSubGroup NAME",
     "moves into the sub-group NAME of the current group (NAME holds no /)", kAnyMode,
     &VELConsoleCommands::CreateAndOrJoinSubGroup},
    {"LeaveCurrentGroup", "LeaveCurrentGroup", 0, 0, "LeaveCurrentGroup", "moves back to the parent group",
     kAnyMode, &VELConsoleCommands::LeaveCurrentGroup},
    {"ChangeP2PStatus", "ChangeP2PStatus", 2, 2, "ChangeP2PStatus STATUS DESCRIPTION",
     "announces a new status (a number; 0 online, 1 available, 2 busy, 3 away, 4 do-not-disturb,\n"
     "5 invisible, 6 unset) and description to every peer",
     kAnyMode, &VELConsoleCommands::ChangeP2PStatus},
    {"GetStatus", "GetStatus", 0, 0, "GetStatus", "the local status", kAnyMode,
     &VELConsoleCommands::GetStatus},
    {"GetDesc", "GetDesc", 0, 0, "GetDesc", "the local description", kAnyMode, &VELConsoleCommands::GetDesc},
    {"GetStatusAndDesc", "GetStatusAndDesc", 1, 1, "GetStatusAndDesc PEER", "the status PEER announced last",
     kAnyMode, &VELConsoleCommands::GetStatusAndDesc},
    {"GetConnectedPeers", "GetConnectedPeers", 0, 0, "GetConnectedPeers",
     "the peers present (collaboration mode)", kAnyMode, &VELConsoleCommands::GetConnectedPeers},
    {"IsPeerConnected", "IsPeerConnected", 1, 1, "IsPeerConnected PEER", "1 when PEER is present, else 0",
     kAnyMode, &VELConsoleCommands::IsPeerConnected},
    {"SendP2PMessage", "SendP2PMessage", 4, 4, "SendP2PMessage PEER TYPE HEADER DATA",
     "sends a message of TYPE (0 to 255) to PEER; DATA is text, or hex:0a0b... for bytes", kAnyMode,
     &VELConsoleCommands::SendP2PMessage},
    {"OpenP2PSession", "OpenP2PSession", 2, 2, "OpenP2PSession PEER SESSIONTYPE",
     "tells PEER and the local peer that a session of SESSIONTYPE opened", kAnyMode,
     &VELConsoleCommands::OpenP2PSession},
    {"CloseP2PSession", "CloseP2PSession", 2, 2, "CloseP2PSession PEER SESSIONTYPE",
     "tells PEER and the local peer that a session of SESSIONTYPE closed", kAnyMode,
     &VELConsoleCommands::CloseP2PSession},
    {"CrossGroupPeerSearch", "CrossGroupPeerSearch", 0, 0, "CrossGroupPeerSearch",
     "asks every group for its peers; the answers arrive as events", kAnyMode,
     &VELConsoleCommands::CrossGroupPeerSearch},
    {"/peers", "GetConnectedPeers", 0, 0, "/peers", "the peers present, with their status", kAnyMode,
     &VELConsoleCommands::Peers},
    {"/msg", "SendP2PMessage", 2, -1, "/msg PEER TEXT", "sends TEXT as a chat message", kCollaborationOnly,
     &VELConsoleCommands::Message},
    {"/status", "ChangeP2PStatus", 1, -1, "/status NUMBER [TEXT]", "announces a new status and description",
     kCollaborationOnly, &VELConsoleCommands::Status},
    {"/join", "CreateAndOrJoinSubGroup", 1, 1, "/join NAME", "moves into the sub-group NAME", kStandardOnly,
     &VELConsoleCommands::CreateAndOrJoinSubGroup},
    {"/leave", "LeaveCurrentGroup", 0, 0, "/leave", "moves back to the parent group", kStandardOnly,
     &VELConsoleCommands::LeaveCurrentGroup},
    {"/group", "GetCurrentGroup", 0, 0, "/group", "the current group and its sub-groups", kStandardOnly,
     &VELConsoleCommands::Group},
    {"/search", "CrossGroupPeerSearch", 0, 0, "/search", "asks every group for its peers", kStandardOnly,
     &VELConsoleCommands::CrossGroupPeerSearch},
    {"/open", "OpenP2PSession", 2, 2, "/open PEER SESSIONTYPE", "opens a session with PEER",
     kCollaborationOnly, &VELConsoleCommands::OpenP2PSession},
    {"/close", "CloseP2PSession", 2, 2, "/close PEER SESSIONTYPE", "closes a session with PEER",
     kCollaborationOnly, &VELConsoleCommands::CloseP2PSession},
    {"/me", "GetPeerName", 0, 0, "/me", "the local name, group and status", kAnyMode,
     &VELConsoleCommands::Me},
    {"/help", "help", 0, 1, "/help [COMMAND]", "the commands, or what COMMAND does", kAnyMode,
     &VELConsoleCommands::Help},
};

const VELConsoleCommands::Entry* VELConsoleCommands::Find(const std::string& typed) {
  for (const Entry& entry : kEntries) {
    if (strcasecmp(typed.c_str(), entry.name) == 0)
      return &entry;
  }
  return nullptr;
}

VELConsoleReply VELConsoleCommands::Run(const std::vector<std::string>& words, bool& quit) {
  quit = false;
  if (words.empty())
    return VELConsoleReply::Error("", "empty command");
  const std::string& typed = words[0];
  if (strcasecmp(typed.c_str(), "quit") == 0 || strcasecmp(typed.c_str(), "/quit") == 0) {
    if (words.size() > 1)
      return VELConsoleReply::Error(typed, "quit takes no argument");
    quit = true;
    return Quit();
  }
  const Entry* entry = Find(typed);
  if (!entry)
    return VELConsoleReply::Error(typed, "unknown command " + typed);
  if ((entry->mode == kStandardOnly && _collaboration) ||
      (entry->mode == kCollaborationOnly && !_collaboration)) {
    return VELConsoleReply::Error(typed,
                                  typed + " is a " + (_collaboration ? "standard" : "collaboration") +
                                      "-mode command; this peer runs in " +
                                      (_collaboration ? "collaboration" : "standard") + " mode",
                                  VELP2P_ERROR_WRONG_MODE);
  }
  std::vector<std::string> arguments(words.begin() + 1, words.end());
  int count = static_cast<int>(arguments.size());
  if (count < entry->minimum || (entry->maximum >= 0 && count > entry->maximum))
    return VELConsoleReply::Error(typed, std::string("wrong number of arguments; usage: ") + entry->usage);
  VELConsoleReply reply(entry->reply);
  _error.clear();
  VELP2PClearLastError();
  (this->*entry->handler)(arguments, reply);
  if (!_error.empty())
    return VELConsoleReply::Error(typed, _error);
  if (VEL_FAILED(reply.Result()))
    reply.SetReason(VELP2PGetLastErrorCode(), VELP2PGetLastErrorText());
  if (VEL_SUCCEEDED(reply.Result()) && strcasecmp(entry->reply, "InitP2PForRTC") == 0)
    _collaboration = true;
  return reply;
}

VELConsoleReply VELConsoleCommands::Quit() {
  VELConsoleReply reply("quit");
  bool connected = VELP2PPeer::IsConnected() != 0;
  reply.SetResult(connected ? _peer->Disconnect() : VEL_S_OK);
  reply.AddNote(connected ? "left the network, bye" : "bye");
  return reply;
}

std::string VELConsoleCommands::ResolvePeer(const std::string& name) {
  if (_peer->IsPeerConnected(name) || _events.GroupPeers().count(name) != 0)
    return name;
  VELListValVELUnicodeString connected;
  (void)_peer->GetConnectedPeers(connected);
  std::vector<std::string> known = Texts(&connected);
  known.insert(known.end(), _events.GroupPeers().begin(), _events.GroupPeers().end());
  const std::string prefix = name + "_";
  std::string found;
  for (const std::string& candidate : known) {
    if (candidate.compare(0, prefix.size(), prefix) != 0 || candidate == found)
      continue;
    if (!found.empty())
      return name;  // ambiguous: left as typed
    found = candidate;
  }
  return found.empty() ? name : found;
}

void VELConsoleCommands::InitP2P(const std::vector<std::string>&, VELConsoleReply& r) {
  r.SetResult(_peer->InitP2P());
}

void VELConsoleCommands::InitP2PForRTC(const std::vector<std::string>&, VELConsoleReply& r) {
  r.SetResult(_peer->InitP2PForRTC());
}

void VELConsoleCommands::Disconnect(const std::vector<std::string>&, VELConsoleReply& r) {
  r.SetResult(_peer->Disconnect());
}

void VELConsoleCommands::Refresh(const std::vector<std::string>&, VELConsoleReply& r) {
  r.SetResult(_peer->Refresh());
}

void VELConsoleCommands::GetPeerName(const std::vector<std::string>&, VELConsoleReply& r) {
  const VELUnicodeString* name = _peer->GetPeerName();
  r.SetResult(name ? VEL_S_OK : VEL_E_FAIL);
  r.AddText("peerName", Text(name), "peer name");
}

void VELConsoleCommands::GetCurrentGroup(const std::vector<std::string>&, VELConsoleReply& r) {
  const VELUnicodeString* group = _peer->GetCurrentGroup();
  r.SetResult(group ? VEL_S_OK : VEL_E_FAIL);
  r.AddText("currentGroup", Text(group), "current group");
}

void VELConsoleCommands::GetSubGroups(const std::vector<std::string>&, VELConsoleReply& r) {
  const VELListValVELUnicodeString* subGroups = _peer->GetSubGroups();
  r.SetResult(subGroups ? VEL_S_OK : VEL_E_FAIL);
  r.AddList("subGroups", Texts(subGroups), "sub-groups");
}

void VELConsoleCommands::CreateAndOrJoinSubGroup(const std::vector<std::string>& a, VELConsoleReply& r) {
  VELUnicodeString name(a[0]);
  r.SetResult(_peer->CreateAndOrJoinSubGroup(&name));
}

void VELConsoleCommands::LeaveCurrentGroup(const std::vector<std::string>&, VELConsoleReply& r) {
  r.SetResult(_peer->LeaveCurrentGroup());
}

void VELConsoleCommands::ChangeP2PStatus(const std::vector<std::string>& a, VELConsoleReply& r) {
  int32_t status = 0;
  if (!VELConsoleLine::ParseInt32(a[0], status)) {
    _error = "the status must be a 32-bit integer, not " + a[0];
    return;
  }
  r.SetResult(_peer->ChangeP2PStatus(status, VELUnicodeString(a[1])));
}

void VELConsoleCommands::GetStatus(const std::vector<std::string>&, VELConsoleReply& r) {
  r.AddNumber("status", _peer->GetStatus(), "status");
  r.AddText("statusName", VELConsoleEvents::StatusName(_peer->GetStatus()), "status name");
}

void VELConsoleCommands::GetDesc(const std::vector<std::string>&, VELConsoleReply& r) {
  r.AddText("description", _peer->GetDesc().Str(), "description");
}

void VELConsoleCommands::GetStatusAndDesc(const std::vector<std::string>& a, VELConsoleReply& r) {
  VELP2PUserStatus status = 0;
  VELUnicodeString description;
  r.SetResult(_peer->GetStatusAndDesc(VELUnicodeString(ResolvePeer(a[0])), status, description));
  r.AddNumber("status", status, "status");
  r.AddText("statusName", VELConsoleEvents::StatusName(status), "status name");
  r.AddText("description", description.Str(), "description");
}

void VELConsoleCommands::GetConnectedPeers(const std::vector<std::string>&, VELConsoleReply& r) {
  VELListValVELUnicodeString names;
  r.SetResult(_peer->GetConnectedPeers(names));
  r.AddList("peers", Texts(&names), "connected peers");
}

void VELConsoleCommands::IsPeerConnected(const std::vector<std::string>& a, VELConsoleReply& r) {
  r.AddNumber("connected", _peer->IsPeerConnected(VELUnicodeString(ResolvePeer(a[0]))) ? 1 : 0, "connected");
}

void VELConsoleCommands::SendP2PMessage(const std::vector<std::string>& a, VELConsoleReply& r) {
  uint8_t type = 0;
  if (!VELConsoleLine::ParseByte(a[1], type)) {
    _error = "the message type must be a number from 0 to 255, not " + a[1];
    return;
  }
  std::string data;
  if (!VELConsoleLine::ParseData(a[3], data, _error))
    return;
  r.SetResult(_peer->SendP2PMessage(VELUnicodeString(ResolvePeer(a[0])), type, VELUnicodeString(a[2]),
                                    data.empty() ? nullptr : &data[0], static_cast<int>(data.size())));
}

void VELConsoleCommands::Session(const std::vector<std::string>& a, VELConsoleReply& r, bool open) {
  int32_t sessionType = 0;
  if (!VELConsoleLine::ParseInt32(a[1], sessionType)) {
    _error = "the session type must be a 32-bit integer, not " + a[1];
    return;
  }
  VELUnicodeString peer(ResolvePeer(a[0]));
  r.SetResult(open ? _peer->OpenP2PSession(peer, sessionType) : _peer->CloseP2PSession(peer, sessionType));
}

void VELConsoleCommands::OpenP2PSession(const std::vector<std::string>& a, VELConsoleReply& r) {
  Session(a, r, true);
}

void VELConsoleCommands::CloseP2PSession(const std::vector<std::string>& a, VELConsoleReply& r) {
  Session(a, r, false);
}

void VELConsoleCommands::CrossGroupPeerSearch(const std::vector<std::string>&, VELConsoleReply& r) {
  r.SetResult(_peer->CrossGroupPeerSearch());
}

void VELConsoleCommands::Peers(const std::vector<std::string>& a, VELConsoleReply& r) {
  GetConnectedPeers(a, r);
  VELListValVELUnicodeString names;
  if (VEL_FAILED(_peer->GetConnectedPeers(names)))
    return;
  const VELUnicodeString* self = _peer->GetPeerName();
  for (const VELUnicodeString& name : names) {
    VELP2PUserStatus status = 0;
    VELUnicodeString description;
    std::string line = "  " + name.Str();
    if (self && name == *self) {
      // The status store holds what others announced; the local status is the peer's own.
      line += " (you)  status " + VELConsoleEvents::StatusText(_peer->GetStatus(), _peer->GetDesc().Str());
    } else if (VEL_SUCCEEDED(_peer->GetStatusAndDesc(name, status, description))) {
      line += "  status " + VELConsoleEvents::StatusText(status, description.Str());
    }
    r.AddNote(line);
  }
  for (const std::string& member : _events.GroupPeers())
    r.AddNote("  " + member + " (in the group)");
  if (names.Size() == 0 && _events.GroupPeers().empty()) {
    r.AddNote("nobody yet");
  } else {
    r.AddNote(std::to_string(names.Size()) + " connected, " + std::to_string(_events.GroupPeers().size()) +
              " in the group");
  }
}

void VELConsoleCommands::Message(const std::vector<std::string>& a, VELConsoleReply& r) {
  std::string text = Rest(a, 1);
  r.SetResult(_peer->SendP2PMessage(VELUnicodeString(ResolvePeer(a[0])), kChatType,
                                    VELUnicodeString(kChatHeader), &text[0], static_cast<int>(text.size())));
}

void VELConsoleCommands::Status(const std::vector<std::string>& a, VELConsoleReply& r) {
  ChangeP2PStatus({a[0], Rest(a, 1)}, r);
}

void VELConsoleCommands::Group(const std::vector<std::string>& a, VELConsoleReply& r) {
  GetCurrentGroup(a, r);
  r.AddList("subGroups", Texts(_peer->GetSubGroups()), "sub-groups");
}

void VELConsoleCommands::Me(const std::vector<std::string>& a, VELConsoleReply& r) {
  GetPeerName(a, r);
  std::string group = Text(_peer->GetCurrentGroup());
  VELP2PUserStatus status = _peer->GetStatus();
  std::string description = _peer->GetDesc().Str();
  r.AddText("currentGroup", group, "group");
  r.AddNumber("status", status, "status");
  r.AddText("statusName", VELConsoleEvents::StatusName(status), "status name");
  r.AddText("description", description, "description");
  r.AddNote("you are " + Text(_peer->GetPeerName()) + (VELP2PPeer::IsConnected() ? "" : " (not connected)"));
  r.AddNote("group " + group);
  r.AddNote("status " + VELConsoleEvents::StatusText(status, description));
}

void VELConsoleCommands::Help(const std::vector<std::string>& a, VELConsoleReply& r) {
  std::string help;
  if (!a.empty()) {
    const Entry* entry = Find(a[0]);
    if (!entry) {
      _error = "no command " + a[0] + "; /help lists them";
      return;
    }
    help = std::string("usage: ") + entry->usage + "\n" + entry->details;
    if (entry->mode != kAnyMode)
      help +=
          std::string("\n(") + (entry->mode == kStandardOnly ? "standard" : "collaboration") + " mode only)";
  } else {
    help =
        "Library operations (names are case-insensitive; quote arguments that hold spaces):\n"
        "  InitP2P InitP2PForRTC Disconnect Refresh GetPeerName GetCurrentGroup GetSubGroups\n"
        "  CreateAndOrJoinSubGroup LeaveCurrentGroup ChangeP2PStatus GetStatus GetDesc GetStatusAndDesc\n"
        "  GetConnectedPeers IsPeerConnected SendP2PMessage OpenP2PSession CloseP2PSession\n"
        "  CrossGroupPeerSearch\n"
        "Short forms: /peers /me /help /quit; collaboration mode: /msg /status /open /close;\n"
        "             standard mode: /join /leave /group /search\n"
        "A peer may be named by its first part (bob for bob_KVZ). /help COMMAND tells more.";
  }
  size_t start = 0;
  while (start < help.size()) {
    size_t end = help.find('\n', start);
    if (end == std::string::npos)
      end = help.size();
    r.AddNote(help.substr(start, end - start));
    start = end + 1;
  }
  r.AddText("text", help + "\n", "help");
}
