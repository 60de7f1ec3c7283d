// Peer names, configuration lines, port settings and the group split.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "core/VELP2PConfig.h"
#include "host/VELNetResolve.h"
#include "host/VELSystemOverrides.h"
#include "support/TraceCapture.h"

namespace {

std::string Name(const char* login, const char* host, long pid) {
  return VELP2PComposePeerName(login, host, pid).Str();
}

// A configuration file for the scope of a test, named by "VELP2PConfig".
class ConfigFile {
 public:
  explicit ConfigFile(const std::string& content) {
    char path[] = "/tmp/velp2p-config-XXXXXX";
    int fd = mkstemp(path);
    _path = path;
    FILE* file = fdopen(fd, "w");
    std::fwrite(content.data(), 1, content.size(), file);
    std::fclose(file);
    setenv("VELP2PConfig", _path.c_str(), 1);
  }
  ~ConfigFile() {
    unsetenv("VELP2PConfig");
    std::remove(_path.c_str());
  }

 private:
  std::string _path;
};

struct Columns {
  VELListValVELUnicodeString classes;
  VELListValVELUnicodeString addresses;
  VELRawCollint ports;
  VELResult result;
};

Columns Read() {
  Columns columns;
  columns.result = VELP2PReadEndPointConfig(columns.classes, columns.addresses, columns.ports);
  return columns;
}

}  // namespace

TEST(PeerNaming, JoinsLoginHostAndProcess) {
  EXPECT_EQ(Name("designer", "pc1", 77), "designer_ON_pc1#77");
  EXPECT_EQ(Name("Designer", "PC1", 77), "designer_ON_pc1#77");
  EXPECT_EQ(Name("dESIGNER", "pc1", 77), "dESIGNER_ON_pc1#77");
}

TEST(PeerNaming, DropsProcessIdThenCutsLoginThenHost) {
  const std::string login20(20, 'l');
  // 20 + 4 + 6 + 1 + 4 = 35 bytes: the process id goes, 30 remain.
  EXPECT_EQ(Name(login20.c_str(), "host06", 1234), login20 + "_ON_host06");
  // 20 + 4 + 12 = 36: the login is cut to 13 bytes.
  EXPECT_EQ(Name(login20.c_str(), "host12345678", 1234), std::string(13, 'l') + "_ON_host12345678");
  // A 14-byte login is not cut; the long host is.
  const std::string host(40, 'h');
  EXPECT_EQ(Name(std::string(14, 'a').c_str(), host.c_str(), 1),
            std::string(14, 'a') + "_ON_" + std::string(13, 'h'));
  EXPECT_EQ(Name(std::string(15, 'a').c_str(), host.c_str(), 1),
            std::string(13, 'a') + "_ON_" + std::string(13, 'h'));
}

TEST(PeerNaming, NeverExceedsTheWireNameField) {
  const std::string huge(300, 'x');
  for (const std::string& login : {std::string("a"), std::string(14, 'b'), huge}) {
    for (const std::string& host : {std::string("h"), std::string(14, 'c'), huge}) {
      EXPECT_LE(Name(login.c_str(), host.c_str(), 2147483647).size(), 31u)
          << login.size() << " " << host.size();
    }
  }
}

TEST(PeerNaming, CollaborationNameFromLoginOrVariable) {
  EXPECT_EQ(VELP2PComposeCollaborationName("Designer", nullptr).Str(), "designer");
  EXPECT_EQ(VELP2PComposeCollaborationName("dESIGNER", nullptr).Str(), "dESIGNER");
  EXPECT_EQ(VELP2PComposeCollaborationName("Designer", "reviewer").Str(), "reviewer_KVZ");
  // A value too long for the name field is cut so that the suffix still fits.
  std::string name = VELP2PComposeCollaborationName("x", std::string(200, 'r').c_str()).Str();
  EXPECT_EQ(name.size(), 31u);
  EXPECT_EQ(name.substr(27), "_KVZ");
}

TEST(PeerNaming, BuildsFromSystemLoginAndHost) {
  VELSystemSetOverrides("Designer", "PC1");
  VELUnicodeString name;
  EXPECT_EQ(VELP2PBuildPeerName(name), VEL_S_OK);
  EXPECT_EQ(name.Str(), "designer_ON_pc1#" + std::to_string(getpid()));
  VELSystemSetOverrides(nullptr, nullptr);
}

TEST(NetworkInterfaces, AppendsDottedAddressesAndFailsWithoutAny) {
  VELSetResolverOverride([](const std::string&, std::vector<VELIPv4>& out) {
    out.push_back({10, 0, 0, 5});
    out.push_back({192, 168, 1, 255});
    return VEL_S_OK;
  });
  VELListValVELUnicodeString list;
  list.Append(VELUnicodeString("kept"));
  EXPECT_EQ(VELP2PGetNetworkInterfaces(list), VEL_S_OK);
  ASSERT_EQ(list.Size(), 3);
  EXPECT_EQ(list[2].Str(), "10.0.0.5");
  EXPECT_EQ(list[3].Str(), "192.168.1.255");
  char address[16];
  EXPECT_EQ(VELP2PBuildLocalAdrs(address), VEL_S_OK);
  EXPECT_STREQ(address, "10.0.0.5");

  VELSetResolverOverride([](const std::string&, std::vector<VELIPv4>&) { return VEL_E_FAIL; });
  EXPECT_EQ(VELP2PGetNetworkInterfaces(list), VEL_E_FAIL);
  EXPECT_EQ(list.Size(), 3);
  EXPECT_EQ(VELP2PBuildLocalAdrs(address), VEL_E_FAIL);
  VELSetResolverOverride(nullptr);
}

TEST(EndPointConfig, ReadsColumnsAndTheOneSpaceWildcard) {
  ConfigFile file("VELP2PTCPEndPoint| |0\nVELP2PMultiCastEndPoint|224.0.1.85| 3000\n");
  Columns columns = Read();
  EXPECT_EQ(columns.result, VEL_S_OK);
  ASSERT_EQ(columns.classes.Size(), 2);
  EXPECT_EQ(columns.classes[1].Str(), "VELP2PTCPEndPoint");
  EXPECT_EQ(columns.addresses[1].Str(), "");
  EXPECT_EQ(columns.ports[1], 0);
  EXPECT_EQ(columns.addresses[2].Str(), "224.0.1.85");
  EXPECT_EQ(columns.ports[2], 3000);
}

TEST(EndPointConfig, TracesAndSkipsUnparseableLines) {
  ConfigFile file("VELP2PTCPEndPoint||0\ngarbage\nVELP2PTCPEndPoint|127.0.0.1|5\n");
  TraceCapture trace;
  VELTrace::SetEnabled(false);
  Columns columns = Read();
  EXPECT_EQ(columns.result, VEL_S_OK);
  ASSERT_EQ(columns.classes.Size(), 1);
  EXPECT_EQ(columns.addresses[1].Str(), "127.0.0.1");
  EXPECT_EQ(trace.Count(" Cannot parse <VELP2PTCPEndPoint||0"), 1);
  EXPECT_EQ(trace.Count(" Cannot parse <garbage"), 1);
}

TEST(EndPointConfig, IgnoresAnUnterminatedLastLine) {
  ConfigFile file("VELP2PTCPEndPoint|127.0.0.1|1\nVELP2PTCPEndPoint|127.0.0.1|2");
  Columns columns = Read();
  EXPECT_EQ(columns.result, VEL_S_OK);
  ASSERT_EQ(columns.ports.Size(), 1);
  EXPECT_EQ(columns.ports[1], 1);
}

TEST(EndPointConfig, AllBadLinesStillSucceedButEmptyOrMissingFileFails) {
  {
    ConfigFile file("x\ny\n");
    Columns columns = Read();
    EXPECT_EQ(columns.result, VEL_S_OK);
    EXPECT_EQ(columns.classes.Size(), 0);
  }
  {
    ConfigFile file("");
    EXPECT_EQ(Read().result, VEL_E_FAIL);
  }
  EXPECT_EQ(Read().result, VEL_E_FAIL);  // variable unset
  setenv("VELP2PConfig", "/nonexistent/velp2p.cfg", 1);
  TraceCapture trace;
  EXPECT_EQ(Read().result, VEL_E_FAIL);
  EXPECT_EQ(trace.Count("VELP2PReadEndPointConfig - Cannot access </nonexistent/velp2p.cfg>"), 1);
  unsetenv("VELP2PConfig");
}

TEST(EndPointConfig, OverlongLinesAndFieldsAreRefusedWhole) {
  std::string longLine = "VELP2PTCPEndPoint|127.0.0.1|" + std::string(400, '7') + "\n";
  std::string longClass = std::string(150, 'C') + "|127.0.0.1|1\n";
  ConfigFile file(longLine + longClass + "VELP2PTCPEndPoint|127.0.0.1|9\n");
  Columns columns = Read();
  ASSERT_EQ(columns.classes.Size(), 1);
  EXPECT_EQ(columns.ports[1], 9);
}

TEST(PortSettings, ReadsTheFourForms) {
  char host1[50] = "h1", host2[50] = "h2";
  int port1 = -1, port2 = -1;
  setenv("VELP2PPorts", "5000", 1);
  EXPECT_EQ(VELP2PReadConfig(host1, port1, host2, port2), VEL_S_OK);
  EXPECT_EQ(port1, 5000);
  setenv("VELP2PPorts", "hostA:5000/hostB:6000", 1);
  VELP2PReadConfig(host1, port1, host2, port2);
  EXPECT_STREQ(host1, "hostA");
  EXPECT_STREQ(host2, "hostB");
  EXPECT_EQ(port2, 6000);
  port1 = port2 = -1;
  setenv("VELP2PPorts", "5000/6000", 1);
  VELP2PReadConfig(host1, port1, host2, port2);
  EXPECT_EQ(port1, 5000);
  EXPECT_EQ(port2, -1);
  setenv("VELP2PPorts", (std::string(200, 'z') + ":1").c_str(), 1);
  VELP2PReadConfig(host1, port1, host2, port2);
  EXPECT_EQ(std::string(host1).size(), 49u);
  unsetenv("VELP2PPorts");
  EXPECT_EQ(VELP2PReadConfig(nullptr, port1, host2, port2), VEL_E_FAIL);
}

TEST(GroupSplit, SplitsAtTheLastSeparator) {
  VELUnicodeString parent, last;
  EXPECT_EQ(VELP2PSplitGroup(VELUnicodeString("/P2PRoot/Design/Team"), parent, last), VEL_S_OK);
  EXPECT_EQ(parent.Str(), "/P2PRoot/Design");
  EXPECT_EQ(last.Str(), "Team");
  EXPECT_EQ(VELP2PSplitGroup(VELUnicodeString("/P2PRoot"), parent, last), VEL_S_OK);
  EXPECT_EQ(parent.Str(), "");
  EXPECT_EQ(last.Str(), "P2PRoot");
  EXPECT_EQ(VELP2PSplitGroup(VELUnicodeString("P2PRoot"), parent, last), VEL_E_FAIL);
}
