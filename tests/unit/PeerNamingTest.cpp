// Peer names, the endpoint configuration, port settings and the group split.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <tuple>

#include "core/VELP2PConfig.h"
#include "host/VELNetResolve.h"
#include "host/VELSystemOverrides.h"

namespace {

std::string Name(const std::string& login, const std::string& host, long pid) {
  return VELP2PComposePeerName(login.c_str(), host.c_str(), pid).Str();
}

TEST(PeerNaming, JoinsLoginHostAndProcessThenCutsToTheWireField) {
  const std::string l20(20, 'l'), h40(40, 'h');
  const std::tuple<std::string, std::string, long, std::string> cases[] = {
      {"designer", "pc1", 77, "designer_ON_pc1#77"},
      {"Designer", "PC1", 77, "designer_ON_pc1#77"},
      {"dESIGNER", "pc1", 77, "dESIGNER_ON_pc1#77"},
      // Too long: the process id goes first, then the login is cut, then the host.
      {l20, "host06", 1234, l20 + "_ON_host06"},
      {l20, "host12345678", 1234, std::string(13, 'l') + "_ON_host12345678"},
      {std::string(14, 'a'), h40, 1, std::string(14, 'a') + "_ON_" + std::string(13, 'h')},
      {std::string(15, 'a'), h40, 1, std::string(13, 'a') + "_ON_" + std::string(13, 'h')},
  };
  for (const auto& [login, host, pid, name] : cases)
    EXPECT_EQ(Name(login, host, pid), name);
  for (const std::string& login : {std::string("a"), std::string(14, 'b'), std::string(300, 'x')}) {
    for (const std::string& host : {std::string("h"), std::string(14, 'c'), std::string(300, 'x')})
      EXPECT_LE(Name(login, host, 2147483647).size(), 31u) << login.size() << " " << host.size();
  }
  EXPECT_EQ(VELP2PComposeCollaborationName("Designer", nullptr).Str(), "designer");
  EXPECT_EQ(VELP2PComposeCollaborationName("dESIGNER", nullptr).Str(), "dESIGNER");
  EXPECT_EQ(VELP2PComposeCollaborationName("Designer", "reviewer").Str(), "reviewer_KVZ");
  EXPECT_EQ(VELP2PComposeCollaborationName("x", std::string(200, 'r').c_str()).Str(),
            std::string(27, 'r') + "_KVZ");

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

// The columns read, as "class,address,port;" per entry, or "fail".
std::string Columns(VELResult result, VELListValVELUnicodeString& classes,
                    VELListValVELUnicodeString& addresses, VELRawCollint& ports) {
  if (result != VEL_S_OK)
    return "fail";
  std::string text;
  for (int i = 1; i <= classes.Size(); ++i)
    text += classes[i].Str() + "," + addresses[i].Str() + "," + std::to_string(ports[i]) + ";";
  return text;
}

std::string Parse(const std::string& content) {
  VELListValVELUnicodeString classes, addresses;
  VELRawCollint ports;
  return Columns(VELP2PParseEndPointConfig(content, classes, addresses, ports), classes, addresses, ports);
}

TEST(EndPointConfig, ReadsTerminatedWellFormedLinesOnly) {
  const std::string tcp = "VELP2PTCPEndPoint|127.0.0.1|";
  const std::pair<std::string, std::string> cases[] = {
      {"VELP2PTCPEndPoint| |0\nVELP2PMultiCastEndPoint|224.0.1.85| 3000\n",
       "VELP2PTCPEndPoint,,0;VELP2PMultiCastEndPoint,224.0.1.85,3000;"},  // one space is the wildcard
      {"VELP2PTCPEndPoint||0\ngarbage\n" + tcp + "5\n", "VELP2PTCPEndPoint,127.0.0.1,5;"},
      {tcp + "1\n" + tcp + "2", "VELP2PTCPEndPoint,127.0.0.1,1;"},  // the unterminated last line is not used
      {tcp + std::string(400, '7') + "\n" + std::string(150, 'C') + "|127.0.0.1|1\n" + tcp + "9\n",
       "VELP2PTCPEndPoint,127.0.0.1,9;"},  // overlong lines and fields are refused whole
      {"x\ny\n", ""},
      {"", "fail"},
  };
  for (const auto& [content, columns] : cases)
    EXPECT_EQ(Parse(content), columns) << content.substr(0, 60);
}

TEST(EndPointConfig, ReadsTheFileTheVariableNames) {
  VELListValVELUnicodeString classes, addresses;
  VELRawCollint ports;
  char path[] = "/tmp/velp2p-config-XXXXXX";
  int descriptor = mkstemp(path);
  const std::string content = "A| |1\n" + std::string(300, 'x') + "\nB|10.0.0.1|2\nC|c|3";
  ASSERT_EQ(write(descriptor, content.data(), content.size()), static_cast<ssize_t>(content.size()));
  close(descriptor);
  setenv("VELP2PConfig", path, 1);
  EXPECT_EQ(Columns(VELP2PReadEndPointConfig(classes, addresses, ports), classes, addresses, ports),
            "A,,1;B,10.0.0.1,2;");
  std::remove(path);
  EXPECT_EQ(VELP2PReadEndPointConfig(classes, addresses, ports), VEL_E_FAIL);
  unsetenv("VELP2PConfig");
  EXPECT_EQ(VELP2PReadEndPointConfig(classes, addresses, ports), VEL_E_FAIL);
}

TEST(PortSettings, ReadsTheFourForms) {
  char host1[50] = "h1", host2[50] = "h2";
  int port1 = -1, port2 = -1;
  setenv("VELP2PPorts", "5000", 1);
  EXPECT_EQ(VELP2PReadConfig(host1, port1, host2, port2), VEL_S_OK);
  EXPECT_EQ(port1, 5000);
  setenv("VELP2PPorts", "hostA:5000/hostB:6000", 1);
  VELP2PReadConfig(host1, port1, host2, port2);
  EXPECT_EQ(std::string(host1) + " " + host2 + " " + std::to_string(port2), "hostA hostB 6000");
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
  EXPECT_EQ(parent.Str() + "|" + last.Str(), "/P2PRoot/Design|Team");
  EXPECT_EQ(VELP2PSplitGroup(VELUnicodeString("/P2PRoot"), parent, last), VEL_S_OK);
  EXPECT_EQ(parent.Str() + "|" + last.Str(), "|P2PRoot");
  EXPECT_EQ(VELP2PSplitGroup(VELUnicodeString("P2PRoot"), parent, last), VEL_E_FAIL);
}

}  // namespace
