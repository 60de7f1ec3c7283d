// The functions of velp2p/velp2p.h: argument checks, the conversion of results and reasons into the C
// interface's codes, and copies of what the caller gets to keep. Every call starts by forgetting the
// thread's last reason, so that a failure's code always is the reason of that very call, and no exception
// crosses the interface.
#include "velp2p/velp2p.h"

#include <climits>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "capi/VELP2PCNode.h"
#include "host/VELLastError.h"
#include "velp2p/VELHashDicVELP2PPeerInfo.h"
#include "velp2p/VELLastError.h"
#include "velp2p/VELP2PPeer.h"

namespace {

// The negative code of the reason just recorded, or of a generic failure when none was.
int Failure() {
  int code = VELP2PGetLastErrorCode();
  if (code == VELP2P_ERROR_NONE) {
    VELFail(VELP2P_ERROR_FAILED);
    code = VELP2P_ERROR_FAILED;
  }
  return -code;
}

int Result(VELResult result) {
  if (VEL_FAILED(result))
    return Failure();
  // A success carries no reason, even one an inner attempt left.
  VELP2PClearLastError();
  return VELP2P_OK;
}

int BadArgument(const char* what) {
  VELFail(VELP2P_ERROR_BAD_ARGUMENT, what);
  return VELP2P_E_BAD_ARGUMENT;
}

// Runs body for a node, with the thread's reason cleared first; body returns a result code.
template <class Body>
int Call(velp2p_node_t* node, Body body) {
  VELP2PClearLastError();
  if (!node)
    return BadArgument("no node");
  try {
    return body(*node);
  } catch (...) {
    VELFail(VELP2P_ERROR_OUT_OF_MEMORY);
    return VELP2P_E_OUT_OF_MEMORY;
  }
}

// The same for a body on the started peer.
template <class Body>
int OnPeer(velp2p_node_t* node, Body body) {
  return Call(node, [&](VELP2PCNode& n) {
    VELP2PPeer* peer = n.Peer();
    return peer ? body(*peer) : Failure();
  });
}

// The same for a body that gives a pointer; null on failure.
template <class T, class Body>
T* Give(velp2p_node_t* node, Body body) {
  T* given = nullptr;
  Call(node, [&](VELP2PCNode& n) {
    given = body(n);
    return given ? VELP2P_OK : Failure();
  });
  return given;
}

char* Copy(const std::string& text) {
  char* copy = static_cast<char*>(std::malloc(text.size() + 1));
  if (copy)
    std::memcpy(copy, text.c_str(), text.size() + 1);
  return copy;
}

// A NULL-terminated copy of the texts; null, with the reason, when memory is short.
char** CopyAll(const std::vector<std::string>& texts) {
  char** strv = static_cast<char**>(std::calloc(texts.size() + 1, sizeof(char*)));
  for (size_t i = 0; strv && i < texts.size(); ++i) {
    if (!(strv[i] = Copy(texts[i]))) {
      velp2p_strv_free(&strv);
      break;
    }
  }
  if (!strv)
    VELFail(VELP2P_ERROR_OUT_OF_MEMORY);
  return strv;
}

std::vector<std::string> Texts(const VELListValVELUnicodeString& list) {
  std::vector<std::string> texts;
  for (const VELUnicodeString& text : list)
    texts.push_back(text.Str());
  return texts;
}

}  // namespace

extern "C" {

velp2p_node_t* velp2p_node_new(void) {
  VELP2PClearLastError();
  try {
    return new velp2p_node_t();
  } catch (...) {
    VELFail(VELP2P_ERROR_OUT_OF_MEMORY);
    return nullptr;
  }
}

int velp2p_node_set(velp2p_node_t* node, const char* option, const char* value) {
  return Call(node, [&](VELP2PCNode& n) {
    if (!option || !value)
      return BadArgument("no option or no value");
    return Result(n.Set(option, value));
  });
}

int velp2p_node_start(velp2p_node_t* node) {
  return Call(node, [](VELP2PCNode& n) { return Result(n.Start()); });
}

void velp2p_node_destroy(velp2p_node_t** node_p) {
  VELP2PClearLastError();
  if (!node_p || !*node_p)
    return;
  delete *node_p;
  *node_p = nullptr;
}

const char* velp2p_node_name(velp2p_node_t* node) {
  VELP2PClearLastError();
  return node ? node->Name() : "";
}

int velp2p_node_fd(velp2p_node_t* node) {
  return Call(node, [](VELP2PCNode& n) {
    const int descriptor = n.Descriptor();
    return descriptor >= 0 ? descriptor : Result(VELFail(VELP2P_ERROR_FAILED, "no descriptor"));
  });
}

int velp2p_node_timeout_ms(velp2p_node_t* node) {
  return Call(node, [](VELP2PCNode& n) { return n.TimeoutMs(); });
}

int velp2p_node_process(velp2p_node_t* node) {
  return Call(node, [](VELP2PCNode& n) {
    const int queued = n.Process();
    return queued >= 0 ? queued : Result(VELFail(VELP2P_ERROR_FAILED, "the loop failed"));
  });
}

velp2p_event_t* velp2p_node_recv(velp2p_node_t* node, int timeout_ms) {
  velp2p_event_t* event = nullptr;
  Call(node, [&](VELP2PCNode& n) {
    event = n.Receive(timeout_ms).release();
    return VELP2P_OK;
  });
  return event;
}

uint64_t velp2p_node_dropped(velp2p_node_t* node) {
  VELP2PClearLastError();
  return node ? node->Dropped() : 0;
}

int velp2p_node_send(velp2p_node_t* node, const char* peer, int type, const char* header, const void* data,
                     size_t size) {
  return OnPeer(node, [&](VELP2PPeer& p) {
    if (!peer || type < 0 || type > 255 || (!data && size > 0))
      return BadArgument("a null peer or data, or a type outside 0 to 255");
    if (size > INT_MAX)
      return Result(VELFail(VELP2P_ERROR_TOO_LONG));
    // The data is only read: the send copies it into its queue.
    return Result(p.SendP2PMessage(peer, static_cast<unsigned char>(type), header ? header : "",
                                   static_cast<char*>(const_cast<void*>(data)), static_cast<int>(size)));
  });
}

int velp2p_node_set_status(velp2p_node_t* node, int32_t status, const char* text) {
  return OnPeer(node, [&](VELP2PPeer& p) { return Result(p.ChangeP2PStatus(status, text ? text : "")); });
}

int velp2p_node_peer_status(velp2p_node_t* node, const char* peer, int32_t* status, char** text) {
  if (text)
    *text = nullptr;
  return OnPeer(node, [&](VELP2PPeer& p) {
    if (!peer || !status)
      return BadArgument("a null peer or status");
    VELP2PUserStatus heard = 0;
    VELUnicodeString description;
    if (VEL_FAILED(p.GetStatusAndDesc(peer, heard, description)))
      return Failure();
    if (text && !(*text = Copy(description.Str())))
      return Result(VELFail(VELP2P_ERROR_OUT_OF_MEMORY));
    *status = heard;
    return Result(VEL_S_OK);
  });
}

int velp2p_node_open_session(velp2p_node_t* node, const char* peer, int32_t type) {
  return OnPeer(node, [&](VELP2PPeer& p) {
    return peer ? Result(p.OpenP2PSession(peer, type)) : BadArgument("no peer");
  });
}

int velp2p_node_close_session(velp2p_node_t* node, const char* peer, int32_t type) {
  return OnPeer(node, [&](VELP2PPeer& p) {
    return peer ? Result(p.CloseP2PSession(peer, type)) : BadArgument("no peer");
  });
}

char** velp2p_node_peers(velp2p_node_t* node) {
  return Give<char*>(node, [](VELP2PCNode& n) -> char** {
    VELP2PPeer* peer = n.Peer();
    if (!peer)
      return nullptr;
    std::vector<std::string> names;
    if (peer->Collaboration()) {
      VELListValVELUnicodeString connected;
      if (VEL_FAILED(peer->GetConnectedPeers(connected)))
        return nullptr;
      names = Texts(connected);
    } else if (VELHashDicVELP2PPeerInfo* group = peer->GetGroupPeers()) {
      int bucket = 1, position = 0;
      while (VELP2PPeerInfo* info = group->Next(bucket, position))
        names.push_back(info->name.Str());
    }
    return CopyAll(names);
  });
}

int velp2p_node_join(velp2p_node_t* node, const char* name) {
  return OnPeer(node, [&](VELP2PPeer& p) {
    if (!name)
      return BadArgument("no group name");
    const VELUnicodeString group(name);
    return Result(p.CreateAndOrJoinSubGroup(&group));
  });
}

int velp2p_node_leave(velp2p_node_t* node) {
  return OnPeer(node, [](VELP2PPeer& p) { return Result(p.LeaveCurrentGroup()); });
}

int velp2p_node_search(velp2p_node_t* node) {
  return OnPeer(node, [](VELP2PPeer& p) { return Result(p.CrossGroupPeerSearch()); });
}

char* velp2p_node_group(velp2p_node_t* node) {
  return Give<char>(node, [](VELP2PCNode& n) -> char* {
    VELP2PPeer* peer = n.Peer();
    const VELUnicodeString* group = peer ? peer->GetCurrentGroup() : nullptr;
    if (!group)
      return nullptr;
    char* copy = Copy(group->Str());
    if (!copy)
      VELFail(VELP2P_ERROR_OUT_OF_MEMORY);
    return copy;
  });
}

char** velp2p_node_subgroups(velp2p_node_t* node) {
  return Give<char*>(node, [](VELP2PCNode& n) -> char** {
    VELP2PPeer* peer = n.Peer();
    if (!peer)
      return nullptr;
    const VELListValVELUnicodeString* groups = peer->GetSubGroups();
    return CopyAll(groups ? Texts(*groups) : std::vector<std::string>());
  });
}

void velp2p_strv_free(char*** strv_p) {
  if (!strv_p || !*strv_p)
    return;
  for (char** text = *strv_p; *text; ++text)
    std::free(*text);
  std::free(*strv_p);
  *strv_p = nullptr;
}

void velp2p_str_free(char** text_p) {
  if (!text_p)
    return;
  std::free(*text_p);
  *text_p = nullptr;
}

const char* velp2p_event_kind(const velp2p_event_t* event) {
  return event ? event->kind : "";
}

const char* velp2p_event_peer(const velp2p_event_t* event) {
  return event ? event->peer.c_str() : "";
}

const char* velp2p_event_text(const velp2p_event_t* event) {
  return event ? event->text.c_str() : "";
}

const char* velp2p_event_header(const velp2p_event_t* event) {
  return event ? event->header.c_str() : "";
}

int32_t velp2p_event_status(const velp2p_event_t* event) {
  return event ? event->status : 0;
}

int velp2p_event_type(const velp2p_event_t* event) {
  return event ? event->type : 0;
}

const void* velp2p_event_data(const velp2p_event_t* event, size_t* size) {
  const bool any = event && !event->data.empty();
  if (size)
    *size = any ? event->data.size() : 0;
  return any ? event->data.data() : nullptr;
}

void velp2p_event_destroy(velp2p_event_t** event_p) {
  if (!event_p)
    return;
  delete *event_p;
  *event_p = nullptr;
}

int velp2p_last_error(void) {
  return -VELP2PGetLastErrorCode();
}

const char* velp2p_strerror(int code) {
  if (code == VELP2P_OK)
    return "success";
  if (code < 0 && -code == VELP2PGetLastErrorCode())
    return VELP2PGetLastErrorText();
  if (code > 0 || code < -VELP2P_ERROR_FAILED)
    return "unknown reason";
  return VELP2PErrorCodeText(-code);
}

const char* velp2p_version(void) {
  return VELP2P_VERSION_TEXT;
}

}  // extern "C"
