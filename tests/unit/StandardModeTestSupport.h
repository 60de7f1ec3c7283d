// A local peer started in the standard mode with its real group, peer and discovery services over
// socket-free endpoints, and the payloads and notifications the standard-mode tests look at.
#ifndef VELP2P_TESTS_UNIT_STANDARDMODETESTSUPPORT_H
#define VELP2P_TESTS_UNIT_STANDARDMODETESTSUPPORT_H

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "host/VELNetResolve.h"
#include "support/FakeEndPoints.h"
#include "support/PeerTestAccess.h"
#include "velp2p/VELHashDicVELP2PPeerInfo.h"
#include "velp2p/VELP2PNotifications.h"
#include "velp2p/VELP2PPeer.h"
#include "velp2p/VELP2PPeerService.h"

// The records of the fake endpoints the peer gets for the one interface 10.0.0.5: the default multicast
// endpoint (224.0.1.85, port 2678, address bytes reversed) and a unicast one on 10.0.0.5 port 0.
#define MULTICAST_RECORD 0x08, 0x02, 0x0A, 0x76, 0x55, 0x01, 0x00, 0xE0
#define UNICAST_RECORD 0x08, 0x01, 0x00, 0x00, 0x0A, 0x00, 0x00, 0x05

inline std::vector<char> Bytes(std::initializer_list<int> values) {
  std::vector<char> bytes;
  for (int value : values)
    bytes.push_back(static_cast<char>(value));
  return bytes;
}

// A peer message: command, record count, the records, four trailing zeros.
inline std::vector<char> PeerMessage(char command, const std::vector<VELP2PEndPointInfo>& records) {
  std::vector<char> bytes{command, static_cast<char>(records.size() >> 8), static_cast<char>(records.size())};
  for (const VELP2PEndPointInfo& record : records) {
    const char* raw = reinterpret_cast<const char*>(&record);
    bytes.insert(bytes.end(), raw, raw + sizeof(record));
  }
  bytes.insert(bytes.end(), 4, '\0');
  return bytes;
}

// A text and its terminator, as a single streamed string is laid out.
inline std::vector<char> Component(const std::string& text) {
  std::vector<char> bytes(text.begin(), text.end());
  bytes.push_back('\0');
  return bytes;
}

// Every notification the local peer dispatches while it lives, as "<class> <peer> [<group>]".
class NotificationLog {
 public:
  explicit NotificationLog(VELP2PPeer* peer) : _publisher(peer->GetP2PPublisher()) {
    _callback = AddCallback(nullptr, _publisher, "VELP2PNotif", [this](VELNotification* notification) {
      auto* p2p = static_cast<VELP2PNotif*>(notification);
      std::string line = std::string(notification->IsA()) + " " + p2p->getPeerName()->Str();
      if (auto* cross = dynamic_cast<VELP2PCrossGroupPeerCreatNotif*>(notification)) {
        line += " " + cross->getGroupName()->Str();
      } else if (auto* result = dynamic_cast<VELP2PSearchResultNotif*>(notification)) {
        line += " " + result->getGroupName()->Str();
      } else if (auto* group = dynamic_cast<VELP2PGroupModifNotif*>(notification)) {
        line += " " + group->getCurrentGroup()->Str();
      }
      _lines.push_back(line);
    });
  }
  ~NotificationLog() { RemoveCallback(_callback); }
  const std::vector<std::string>& Lines() const { return _lines; }
  int Count(const std::string& line) const {
    int count = 0;
    for (const std::string& seen : _lines)
      count += seen == line ? 1 : 0;
    return count;
  }
  void Clear() { _lines.clear(); }

 private:
  VELBaseUnknown* _publisher;
  VELCallback* _callback;
  std::vector<std::string> _lines;
};

class StandardMode : public ::testing::Test {
 protected:
  void SetUp() override {
    VELP2PPeerTestAccess::Reset();
    FakeSent().clear();
    VELSetResolverOverride([](const std::string&, std::vector<VELIPv4>& out) {
      out.push_back({10, 0, 0, 5});
      return VEL_S_OK;
    });
  }
  void TearDown() override {
    VELP2PPeerTestAccess::Reset();
    VELSetResolverOverride(nullptr);
    unsetenv("VELP2PConfig");
    if (!_config.empty())
      std::remove(_config.c_str());
  }

  // Starts the peer; a non-empty configuration text replaces the default endpoints.
  VELP2PPeer* Start(const std::string& config = "") {
    if (!config.empty()) {
      char path[] = "/tmp/velp2p-std-XXXXXX";
      int fd = mkstemp(path);
      EXPECT_EQ(write(fd, config.data(), config.size()), static_cast<ssize_t>(config.size()));
      close(fd);
      _config = path;
      setenv("VELP2PConfig", path, 1);
    }
    VELP2PPeer* peer = VELP2PPeer::GetLocalPeer();
    EXPECT_EQ(peer->InitP2P(), VEL_S_OK);
    VELP2PPeerTestAccess::SetPeerName(peer, "me");
    FakeSent().clear();
    return peer;
  }

  static VELP2PPeerService* Service(VELP2PPeer* peer, const char* wireName) {
    VELListPtrVELP2PService* services = VELP2PPeerTestAccess::Services(peer);
    for (int i = 1; services && i <= services->Size(); ++i) {
      if (std::strcmp((*services)[i]->GetServiceName(), wireName) == 0) {
        return dynamic_cast<VELP2PPeerService*>((*services)[i]);
      }
    }
    return nullptr;
  }

  // The names in a directory, sorted.
  static std::vector<std::string> Names(VELHashDicVELP2PPeerInfo* directory) {
    std::vector<std::string> names;
    int bucket = 1, position = 0;
    while (VELP2PPeerInfo* info = directory->Next(bucket, position))
      names.push_back(info->name.Str());
    std::sort(names.begin(), names.end());
    return names;
  }

  // Enters a sub-group and forgets what that sent.
  static void Join(VELP2PPeer* peer, const char* name) {
    VELUnicodeString text(name);
    ASSERT_EQ(peer->CreateAndOrJoinSubGroup(&text), VEL_S_OK);
    FakeSent().clear();
  }

  ScopedFakeEndPoints _endpoints;
  std::string _config;
};

#endif
