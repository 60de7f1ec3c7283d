// A started collaboration-mode peer on socket-free endpoints, with what it notified and printed, for the
// tests of the awareness, status, chat and session services.
#ifndef VELP2P_TESTS_UNIT_COLLABORATIONTESTSUPPORT_H
#define VELP2P_TESTS_UNIT_COLLABORATIONTESTSUPPORT_H

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "host/VELNetResolve.h"
#include "host/VELSystemOverrides.h"
#include "support/FakeEndPoints.h"
#include "support/PeerTestAccess.h"
#include "velp2p/VELDiagnostics.h"
#include "velp2p/VELP2PNotifications.h"
#include "velp2p/VELP2PPeer.h"

namespace collabtest {

// One notification as a subscriber saw it; only the fields of its class are set.
struct Event {
  std::string kind;  // the notification's class name
  std::string peer;
  int status = -1;
  std::string desc;
  int type = -1;
  std::string header;
  std::vector<char> data;
  int sessionType = -1;
  int eventType = -1;
};

// Every notification the local peer dispatches while it lives, with the values copied during the dispatch.
class NotificationLog {
 public:
  explicit NotificationLog(VELP2PPeer* peer) {
    _callback = AddCallback(nullptr, peer->GetP2PPublisher(), "VELP2PNotif",
                            [this](VELNotification* notification) { Record(notification); });
  }
  ~NotificationLog() { RemoveCallback(_callback); }

  std::vector<Event> Of(const std::string& kind) const {
    std::vector<Event> found;
    for (const Event& event : _events) {
      if (event.kind == kind)
        found.push_back(event);
    }
    return found;
  }
  int Count(const std::string& kind) const { return static_cast<int>(Of(kind).size()); }
  void Clear() { _events.clear(); }

 private:
  void Record(VELNotification* notification) {
    Event event;
    event.kind = notification->IsA();
    auto* p2p = static_cast<VELP2PNotif*>(notification);
    if (p2p->getPeerName())
      event.peer = p2p->getPeerName()->Str();
    if (auto* status = dynamic_cast<VELP2PChangeStatusNotif*>(notification)) {
      event.status = status->getStatus();
      VELUnicodeString desc;
      status->getDescription(desc);
      event.desc = desc.Str();
    }
    if (auto* message = dynamic_cast<VELP2PMessageReceivedNotif*>(notification)) {
      event.type = message->getType();
      if (message->getHeader())
        event.header = message->getHeader()->Str();
      event.data.assign(message->getBuffer(), message->getBuffer() + message->getLength());
    }
    if (auto* session = dynamic_cast<VELP2PSessionNotif*>(notification)) {
      event.sessionType = session->getSessionType();
      event.eventType = session->getEventType();
    }
    _events.push_back(std::move(event));
  }

  VELCallback* _callback;
  std::vector<Event> _events;
};

// What the library prints on its diagnostic stream while it lives.
class DiagnosticCapture {
 public:
  DiagnosticCapture() : _file(std::tmpfile()) { VELSetDiagnosticStream(_file); }
  ~DiagnosticCapture() {
    VELSetDiagnosticStream(stdout);
    if (_file)
      std::fclose(_file);
  }
  std::string Text() const {
    if (!_file)
      return std::string();
    std::string text;
    std::rewind(_file);
    char chunk[256];
    size_t read = 0;
    while ((read = std::fread(chunk, 1, sizeof(chunk), _file)) > 0)
      text.append(chunk, read);
    std::fseek(_file, 0, SEEK_END);
    return text;
  }
  bool Contains(const std::string& line) const { return Text().find(line) != std::string::npos; }

 private:
  FILE* _file;
};

inline void PutInt32LE(std::vector<char>& bytes, int32_t value) {
  for (int i = 0; i < 4; ++i)
    bytes.push_back(static_cast<char>((static_cast<uint32_t>(value) >> (8 * i)) & 0xFF));
}

inline void PutRecord(std::vector<char>& bytes, const VELP2PEndPointInfo& record) {
  const char* raw = reinterpret_cast<const char*>(&record);
  bytes.insert(bytes.end(), raw, raw + sizeof(record));
}

// An awareness message: kind, the record count, the process id and the records.
inline std::vector<char> Announcement(char kind, int32_t processId,
                                      const std::vector<VELP2PEndPointInfo>& records) {
  std::vector<char> bytes{kind, static_cast<char>(records.size() >> 8),
                          static_cast<char>(records.size() & 0xFF)};
  PutInt32LE(bytes, processId);
  for (const VELP2PEndPointInfo& record : records)
    PutRecord(bytes, record);
  return bytes;
}

// A status payload as the library's streamer lays it out: kind, status, then the description as an array.
inline std::vector<char> StatusPayload(char kind, int32_t status, const std::string& desc) {
  std::vector<char> bytes{kind};
  PutInt32LE(bytes, status);
  PutInt32LE(bytes, static_cast<int32_t>(desc.size()));
  bytes.insert(bytes.end(), desc.begin(), desc.end());
  return bytes;
}

inline std::vector<char> Bytes(const std::string& text) {
  return std::vector<char>(text.begin(), text.end());
}

// The local peer is "alice", started in collaboration mode with one interface, 127.0.0.1: a fake multicast
// endpoint (224.0.1.85:2678) and a fake TCP endpoint (127.0.0.1, port 0). Other peers are simulated with
// Deliver.
class CollaborationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    VELP2PPeerTestAccess::Reset();
    FakeSent().clear();
    unsetenv("VELP2PLogin");
    unsetenv("VELP2PConfig");
    VELSystemSetOverrides("alice", "pc1");
    VELSetResolverOverride([](const std::string&, std::vector<VELIPv4>& out) {
      out.push_back(VELIPv4{127, 0, 0, 1});
      return VEL_S_OK;
    });
    _printed = std::make_unique<DiagnosticCapture>();
    _peer = VELP2PPeer::GetLocalPeer();
    _log = std::make_unique<NotificationLog>(_peer);
  }
  void TearDown() override {
    _log.reset();
    VELP2PPeerTestAccess::Reset();
    _printed.reset();
    VELSetResolverOverride(nullptr);
    VELSystemSetOverrides(nullptr, nullptr);
    FakeSent().clear();
  }

  // Starts the peer; its birth announcement is then the only thing sent, and is forgotten.
  void Start() {
    ASSERT_EQ(_peer->InitP2PForRTC(), VEL_S_OK);
    ASSERT_EQ(_peer->GetPeerName()->Str(), "alice");
    ASSERT_EQ(FakeSent().size(), 1u);
    _birth = FakeSent()[0].payload;
    FakeSent().clear();
    _log->Clear();
  }

  // A message from another peer, as its endpoint would hand it over.
  static VELResult FromPeer(const char* sender, const char* service, const std::vector<char>& payload,
                            bool multicast = false, const char* group = "/") {
    return Deliver(group, service, sender, payload, multicast, UnicastRecord("127.0.0.2", 4000));
  }
  // The local announcement heard back by multicast: the local peer enters its own directory.
  void HearOwnBirth() {
    ASSERT_EQ(Deliver("/", "AwarenessService", "alice", _birth, true, UnicastRecord("127.0.0.1", 0)),
              VEL_S_OK);
  }
  // Makes name a connected peer reachable at 127.0.0.2:port, as its answer to our birth would.
  void Connect(const char* name, int port = 4000) {
    ASSERT_EQ(FromPeer(name, "AwarenessService", Announcement('1', 4242, {UnicastRecord("127.0.0.2", port)})),
              VEL_S_OK);
  }
  int32_t Status(const char* name) {
    VELP2PUserStatus status = -1;
    VELUnicodeString desc;
    return VEL_SUCCEEDED(_peer->GetStatusAndDesc(name, status, desc)) ? status : -1;
  }
  std::string Desc(const char* name) {
    VELP2PUserStatus status = -1;
    VELUnicodeString desc;
    _peer->GetStatusAndDesc(name, status, desc);
    return desc.Str();
  }

  VELP2PPeer* _peer = nullptr;
  std::vector<char> _birth;  // the local birth announcement as it was multicast
  ScopedFakeEndPoints _endpoints;
  std::unique_ptr<NotificationLog> _log;
  std::unique_ptr<DiagnosticCapture> _printed;
};

}  // namespace collabtest

#endif
