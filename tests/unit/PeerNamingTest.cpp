// Peer names and the endpoint configuration.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <tuple>

#include "core/VELP2PConfig.h"
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
  EXPECT_EQ(VELP2PComposeCollaborationName("x", std::string(200, 'r').c_str()).Str(),
            std::string(27, 'r') + "_KVZ");

  VELSystemSetOverrides("Designer", "PC1");
  VELUnicodeString name;
  EXPECT_EQ(VELP2PBuildPeerName(name), VEL_S_OK);
  EXPECT_EQ(name.Str(), "designer_ON_pc1#" + std::to_string(getpid()));
  VELSystemSetOverrides(nullptr, nullptr);
}

// The columns read, as "class,address,port;" per entry, or "fail".
std::string Parse(const std::string& content) {
  VELListValVELUnicodeString classes, addresses;
  VELRawCollint ports;
  if (VELP2PParseEndPointConfig(content, classes, addresses, ports) != VEL_S_OK)
    return "fail";
  std::string text;
  for (int i = 1; i <= classes.Size(); ++i)
    text += classes[i].Str() + "," + addresses[i].Str() + "," + std::to_string(ports[i]) + ";";
  return text;
}

TEST(EndPointConfig, ReadsEveryWellFormedLineAndSkipsTheOthers) {
  const std::string tcp = "VELP2PTCPEndPoint|127.0.0.1|";
  const std::pair<std::string, std::string> cases[] = {
      {"VELP2PTCPEndPoint| |0\nVELP2PMultiCastEndPoint|224.0.1.85| 3000\n",
       "VELP2PTCPEndPoint,,0;VELP2PMultiCastEndPoint,224.0.1.85,3000;"},  // one space is the wildcard
      {"VELP2PTCPEndPoint||0\ngarbage\n" + tcp + "5\n", "VELP2PTCPEndPoint,127.0.0.1,5;"},
      {tcp + "1\n" + tcp + "2", "VELP2PTCPEndPoint,127.0.0.1,1;VELP2PTCPEndPoint,127.0.0.1,2;"},
      {" VELP2PTCPEndPoint | 127.0.0.1 | 7 \r\n# comment\n\n", "VELP2PTCPEndPoint,127.0.0.1,7;"},
      {tcp + std::string(400, '7') + "\n" + std::string(150, 'C') + "|127.0.0.1|1\n" + tcp + "9\n" + tcp +
           "2678O\n" + tcp + "65536\n" + tcp + "1|2\n",
       "VELP2PTCPEndPoint,127.0.0.1,9;"},  // overlong lines and fields, bad ports: refused whole
  };
  for (const auto& [content, columns] : cases)
    EXPECT_EQ(Parse(content), columns) << content.substr(0, 60);
}

}  // namespace
