// The velp2p console in collaboration mode, driven through its scripted interface as separate processes:
// start-up records, one result record per command, births, status, messages, sessions and departures.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <memory>
#include <string>
#include <vector>

#include "ConsoleTestSupport.h"
#include "VELConsoleLine.h"
#include "support/NetSandbox.h"

namespace {

int ExitCode(int status) {
  return status >= 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string AllBytes() {
  std::string bytes;
  for (int i = 0; i < 256; ++i)
    bytes += static_cast<char>(i);
  return bytes;
}

// Two consoles that have seen each other born.
class ConsolePair : public ::testing::Test {
 protected:
  void SetUp() override {
    VELP2P_REQUIRE_SANDBOX();
    config = std::make_unique<ConsoleConfig>(VELTestPort(10));
    ASSERT_TRUE(alice.Start("alice", config->Path()));
    ASSERT_TRUE(alice.AwaitEvent("VELP2PPeerBirthNotif", "alice_KVZ")) << alice.Transcript();
    ASSERT_TRUE(bob.Start("bob", config->Path()));
    ASSERT_TRUE(bob.AwaitEvent("VELP2PPeerBirthNotif", "alice_KVZ")) << bob.Transcript();
    ASSERT_TRUE(alice.AwaitEvent("VELP2PPeerBirthNotif", "bob_KVZ")) << alice.Transcript();
    ASSERT_TRUE(bob.AwaitEvent("VELP2PPeerBirthNotif", "bob_KVZ")) << bob.Transcript();
  }

  std::unique_ptr<ConsoleConfig> config;
  ConsoleProcess alice;
  ConsoleProcess bob;
};

}  // namespace

TEST(ConsoleStartUp, PrintsCurrentGroupThenInitBeforeAnythingElse) {
  VELP2P_REQUIRE_SANDBOX();
  ConsoleConfig config(VELTestPort(11));
  ConsoleProcess alice;
  ASSERT_TRUE(alice.Start("alice", config.Path()));
  VELConsoleJsonReader first, second;
  ASSERT_TRUE(alice.Await([](const VELConsoleJsonReader&) { return true; }, &first));
  ASSERT_TRUE(alice.Await([](const VELConsoleJsonReader&) { return true; }, &second));
  EXPECT_EQ(first.Text("event"), "VELP2PCurrentGroupModifNotif");
  EXPECT_EQ(first.Text("peerName"), "alice_KVZ");
  EXPECT_EQ(first.Text("currentGroup"), "/P2PRoot");
  EXPECT_TRUE(first.Has("subGroups") && first.List("subGroups").empty());
  EXPECT_EQ(second.Text("event"), "VELP2PInitPeerNotif");
  EXPECT_EQ(second.Text("peerName"), "alice_KVZ");
  // Standard output holds nothing but records: no diagnostic line of the library slipped in.
  ASSERT_TRUE(alice.AwaitEvent("VELP2PPeerBirthNotif", "alice_KVZ"));
  alice.Child().CloseInput();
  EXPECT_EQ(ExitCode(alice.Child().WaitExit(kConsoleWaitMs)), 0);
  for (const std::string& line : alice.Child().Lines()) {
    VELConsoleJsonReader record;
    EXPECT_TRUE(record.Parse(line) && (record.Has("event") || record.Has("command"))) << line;
  }
}

TEST(ConsoleCommands, EveryCommandPrintsOneRecordUnderItsCanonicalName) {
  VELP2P_REQUIRE_SANDBOX();
  ConsoleConfig config(VELTestPort(12));
  ConsoleProcess alice;
  ASSERT_TRUE(alice.Start("alice", config.Path()));
  ASSERT_TRUE(alice.AwaitEvent("VELP2PPeerBirthNotif", "alice_KVZ")) << alice.Transcript();

  struct Case {
    const char* line;
    const char* name;
    int64_t result;
  };
  const Case cases[] = {
      {"refresh", "Refresh", 0},
      {"GETPEERNAME", "GetPeerName", 0},
      {"getcurrentgroup", "GetCurrentGroup", 0},
      {"GetSubGroups", "GetSubGroups", 0},
      {"GetStatus", "GetStatus", 0},
      {"GetDesc", "GetDesc", 0},
      {"GetStatusAndDesc alice_KVZ", "GetStatusAndDesc", 0},
      {"GetStatusAndDesc nobody", "GetStatusAndDesc", kConsoleFailure},
      {"GetConnectedPeers", "GetConnectedPeers", 0},
      {"IsPeerConnected alice_KVZ", "IsPeerConnected", 0},
      {"CreateAndOrJoinSubGroup Design", "CreateAndOrJoinSubGroup", 0},
      {"LeaveCurrentGroup", "LeaveCurrentGroup", 0},
      {"LeaveCurrentGroup", "LeaveCurrentGroup", kConsoleFailure},
      {"ChangeP2PStatus 4 away", "ChangeP2PStatus", 0},
      {"SendP2PMessage nobody 1 h d", "SendP2PMessage", kConsoleFailure},
      {"OpenP2PSession nobody 1", "OpenP2PSession", kConsoleFailure},
      {"CloseP2PSession nobody 1", "CloseP2PSession", kConsoleFailure},
      {"CrossGroupPeerSearch", "CrossGroupPeerSearch", 0},
      {"InitP2PForRTC", "InitP2PForRTC", kConsoleFailure},  // already connected
      {"Disconnect", "Disconnect", 0},
      {"Disconnect", "Disconnect", kConsoleFailure},
      {"Refresh", "Refresh", kConsoleFailure},
      {"InitP2PForRTC", "InitP2PForRTC", 0},
      {"Quit", "quit", 0},
  };
  for (const Case& c : cases) {
    VELConsoleJsonReader reply = alice.Run(c.line);
    EXPECT_EQ(reply.Text("command"), c.name) << c.line << "\n" << alice.Transcript();
    EXPECT_EQ(reply.Number("result", 1), c.result) << c.line;
  }
  EXPECT_EQ(ExitCode(alice.Child().WaitExit(kConsoleWaitMs)), 0);
  // Exactly one command record per line sent.
  int replies = 0;
  for (const VELConsoleJsonReader& record : alice.Records())
    replies += record.Has("command") ? 1 : 0;
  EXPECT_EQ(replies, static_cast<int>(sizeof(cases) / sizeof(cases[0])));
}

TEST(ConsoleCommands, ValuesOfTheQueries) {
  VELP2P_REQUIRE_SANDBOX();
  ConsoleConfig config(VELTestPort(13));
  ConsoleProcess alice;
  ASSERT_TRUE(alice.Start("alice", config.Path()));
  ASSERT_TRUE(alice.AwaitEvent("VELP2PPeerBirthNotif", "alice_KVZ")) << alice.Transcript();
  EXPECT_EQ(alice.Run("GetPeerName").Text("peerName"), "alice_KVZ");
  EXPECT_EQ(alice.Run("GetCurrentGroup").Text("currentGroup"), "/P2PRoot");
  EXPECT_EQ(alice.Run("GetSubGroups").List("subGroups"), std::vector<std::string>());
  EXPECT_EQ(alice.Run("GetStatus").Number("status"), 6);
  EXPECT_EQ(alice.Run("GetDesc").Text("description"), "");
  EXPECT_EQ(alice.Run("GetConnectedPeers").List("peers"), std::vector<std::string>({"alice_KVZ"}));
  EXPECT_EQ(alice.Run("IsPeerConnected alice_KVZ").Number("connected", -1), 1);
  EXPECT_EQ(alice.Run("IsPeerConnected bob_KVZ").Number("connected", -1), 0);
  // The peer's own birth reset its entry in the status store to 0.
  VELConsoleJsonReader own = alice.Run("GetStatusAndDesc alice_KVZ");
  EXPECT_EQ(own.Number("status", -1), 0);
  EXPECT_EQ(own.Text("description"), "");
  alice.Run("quit");
}

TEST(ConsoleCommands, QuotingReachesTheNetworkExactly) {
  VELP2P_REQUIRE_SANDBOX();
  ConsoleConfig config(VELTestPort(14));
  ConsoleProcess alice;
  ASSERT_TRUE(alice.Start("alice", config.Path()));
  ASSERT_TRUE(alice.AwaitEvent("VELP2PPeerBirthNotif", "alice_KVZ")) << alice.Transcript();
  // ChangeP2PStatus -7 "say \"hi\" C:\dir \\ end"  carries: say "hi" C:\dir \ end
  ASSERT_EQ(alice.Run("ChangeP2PStatus -7 \"say \\\"hi\\\" C:\\dir \\\\ end\"").Number("result", 1), 0);
  VELConsoleJsonReader status;
  ASSERT_TRUE(alice.Await(
      [](const VELConsoleJsonReader& r) {
        return r.Text("event") == "VELP2PChangeStatusNotif" && r.Number("status") == -7;
      },
      &status))
      << alice.Transcript();
  EXPECT_EQ(status.Text("description"), "say \"hi\" C:\\dir \\ end");
  EXPECT_EQ(alice.Run("GetDesc").Text("description"), "say \"hi\" C:\\dir \\ end");
  // An empty argument is an empty description.
  ASSERT_EQ(alice.Run("ChangeP2PStatus 2 \"\"").Number("result", 1), 0);
  ASSERT_TRUE(alice.Await(
      [](const VELConsoleJsonReader& r) {
        return r.Text("event") == "VELP2PChangeStatusNotif" && r.Number("status") == 2;
      },
      &status));
  EXPECT_EQ(status.Text("description"), "");
  alice.Run("quit");
}

TEST(ConsoleCommands, BadLinesGiveErrorRecordsAndTheConsoleGoesOn) {
  VELP2P_REQUIRE_SANDBOX();
  ConsoleConfig config(VELTestPort(15));
  ConsoleProcess alice;
  ASSERT_TRUE(alice.Start("alice", config.Path()));
  ASSERT_TRUE(alice.AwaitEvent("VELP2PInitPeerNotif", "alice_KVZ")) << alice.Transcript();
  const char* bad[][2] = {
      {"Frobnicate 1 2", "Frobnicate"},
      {"getpeername extra", "getpeername"},
      {"ChangeP2PStatus", "ChangeP2PStatus"},
      {"ChangeP2PStatus 2147483648 x", "ChangeP2PStatus"},
      {"ChangeP2PStatus three x", "ChangeP2PStatus"},
      {"SendP2PMessage bob_KVZ 256 h d", "SendP2PMessage"},
      {"SendP2PMessage bob_KVZ 1 h hex:abc", "SendP2PMessage"},
      {"SendP2PMessage bob_KVZ 1 h hex:xy", "SendP2PMessage"},
      {"OpenP2PSession bob_KVZ seven", "OpenP2PSession"},
      {"ChangeP2PStatus 1 \"never closed", "ChangeP2PStatus"},
  };
  for (const auto& line : bad) {
    VELConsoleJsonReader reply = alice.Run(line[0]);
    EXPECT_EQ(reply.Text("command"), line[1]) << line[0];
    EXPECT_FALSE(reply.Text("error").empty()) << line[0];
    EXPECT_FALSE(reply.Has("result")) << line[0];
  }
  // A blank line is no command: the next record answers the next command.
  ASSERT_TRUE(alice.Send(""));
  ASSERT_TRUE(alice.Send("   "));
  EXPECT_EQ(alice.Run("GetPeerName").Text("peerName"), "alice_KVZ");
  EXPECT_EQ(alice.Run("quit").Number("result", 1), 0);
  EXPECT_EQ(ExitCode(alice.Child().WaitExit(kConsoleWaitMs)), 0);
}

TEST(ConsoleCommands, LineBeyondOneMebibyteIsRefusedAndTheNextOneRuns) {
  VELP2P_REQUIRE_SANDBOX();
  ConsoleConfig config(VELTestPort(16));
  ConsoleProcess alice;
  ASSERT_TRUE(alice.Start("alice", config.Path()));
  ASSERT_TRUE(alice.AwaitEvent("VELP2PInitPeerNotif", "alice_KVZ")) << alice.Transcript();
  VELConsoleJsonReader reply = alice.Run("SendP2PMessage alice_KVZ 1 h " + std::string((1 << 20) + 1, 'x'));
  EXPECT_EQ(reply.Text("command"), "");
  EXPECT_NE(reply.Text("error").find("longer than"), std::string::npos);
  EXPECT_EQ(alice.Run("GetPeerName").Text("peerName"), "alice_KVZ");
  EXPECT_EQ(alice.Run("quit").Number("result", 1), 0);
}

TEST_F(ConsolePair, StatusChangeReachesBothAndTheStore) {
  ASSERT_EQ(alice.Run("ChangeP2PStatus 3 \"in a meeting\"").Number("result", 1), 0);
  for (ConsoleProcess* console : {&alice, &bob}) {
    VELConsoleJsonReader event;
    ASSERT_TRUE(console->AwaitEvent("VELP2PChangeStatusNotif", "alice_KVZ", &event)) << console->Transcript();
    // Bob first hears alice's status at his birth (6); the change follows.
    if (event.Number("status") == 6) {
      ASSERT_TRUE(console->AwaitEvent("VELP2PChangeStatusNotif", "alice_KVZ", &event))
          << console->Transcript();
    }
    EXPECT_EQ(event.Number("status"), 3);
    EXPECT_EQ(event.Text("description"), "in a meeting");
  }
  VELConsoleJsonReader stored = bob.Run("GetStatusAndDesc alice_KVZ");
  EXPECT_EQ(stored.Number("result", 1), 0);
  EXPECT_EQ(stored.Number("status"), 3);
  EXPECT_EQ(stored.Text("description"), "in a meeting");
  EXPECT_EQ(alice.Run("GetStatus").Number("status"), 3);
  EXPECT_EQ(alice.Run("GetDesc").Text("description"), "in a meeting");
}

TEST_F(ConsolePair, MessagesArriveByteExactWithTypeAndHeader) {
  std::string longData(6000, 'z');  // a 12 KiB hex argument on one line
  for (size_t i = 0; i < longData.size(); i += 7)
    longData[i] = 'a' + static_cast<char>(i % 26);
  struct Case {
    std::string line;
    int type;
    std::string header;
    std::string data;
  };
  const std::string bytes = AllBytes();
  const Case cases[] = {
      {"SendP2PMessage alice_KVZ 7 \"caf\xC3\xA9 menu\" \"hello alice\"", 7, "caf\xC3\xA9 menu",
       "hello alice"},
      {"SendP2PMessage alice_KVZ 255 \"\" hex:" + VELConsoleLine::Hex(bytes.data(), bytes.size()), 255, "",
       bytes},
      {"SendP2PMessage alice_KVZ 1 big hex:" + VELConsoleLine::Hex(longData.data(), longData.size()), 1,
       "big", longData},
  };
  for (const Case& c : cases) {
    ASSERT_EQ(bob.Run(c.line).Number("result", 1), 0);
    VELConsoleJsonReader message;
    ASSERT_TRUE(alice.AwaitEvent("VELP2PMessageReceivedNotif", "bob_KVZ", &message)) << alice.Transcript();
    EXPECT_EQ(message.Number("type"), c.type);
    EXPECT_EQ(message.Text("header"), c.header);
    EXPECT_EQ(message.Number("length"), static_cast<int64_t>(c.data.size()));
    EXPECT_EQ(message.Text("dataHex"), VELConsoleLine::Hex(c.data.data(), c.data.size()));
  }
}

TEST_F(ConsolePair, SessionOpenAndCloseNotifyBothSides) {
  ASSERT_EQ(bob.Run("OpenP2PSession alice_KVZ 42").Number("result", 1), 0);
  VELConsoleJsonReader event;
  ASSERT_TRUE(bob.AwaitEvent("VELP2PSessionNotif", "alice_KVZ", &event)) << bob.Transcript();
  EXPECT_EQ(event.Number("sessionType"), 42);
  EXPECT_EQ(event.Number("eventType"), '0');
  ASSERT_TRUE(alice.AwaitEvent("VELP2PSessionNotif", "bob_KVZ", &event)) << alice.Transcript();
  EXPECT_EQ(event.Number("sessionType"), 42);
  EXPECT_EQ(event.Number("eventType"), '0');

  ASSERT_EQ(bob.Run("CloseP2PSession alice_KVZ -1").Number("result", 1), 0);
  ASSERT_TRUE(bob.AwaitEvent("VELP2PSessionNotif", "alice_KVZ", &event)) << bob.Transcript();
  EXPECT_EQ(event.Number("sessionType"), -1);
  EXPECT_EQ(event.Number("eventType"), '1');
  ASSERT_TRUE(alice.AwaitEvent("VELP2PSessionNotif", "bob_KVZ", &event)) << alice.Transcript();
  EXPECT_EQ(event.Number("eventType"), '1');
}

TEST_F(ConsolePair, QuitAnnouncesTheDeathBeforeExiting) {
  VELConsoleJsonReader reply = bob.Run("quit");
  EXPECT_EQ(reply.Number("result", 1), 0);
  EXPECT_EQ(ExitCode(bob.Child().WaitExit(kConsoleWaitMs)), 0);
  EXPECT_TRUE(alice.AwaitEvent("VELP2PPeerDeathNotif", "bob_KVZ")) << alice.Transcript();
  EXPECT_EQ(alice.Run("GetConnectedPeers").List("peers"), std::vector<std::string>({"alice_KVZ"}));
  // Bob's own records end with his closing notification and the quit record.
  std::vector<VELConsoleJsonReader> records = bob.Records();
  ASSERT_GE(records.size(), 2u);
  EXPECT_EQ(records[records.size() - 2].Text("event"), "VELP2PClosePeerNotif");
  EXPECT_EQ(records.back().Text("command"), "quit");
}

TEST_F(ConsolePair, EndOfInputQuitsLikeQuit) {
  bob.Child().CloseInput();
  EXPECT_TRUE(bob.Await(IsReply("quit")));
  EXPECT_EQ(ExitCode(bob.Child().WaitExit(kConsoleWaitMs)), 0);
  EXPECT_TRUE(alice.AwaitEvent("VELP2PPeerDeathNotif", "bob_KVZ")) << alice.Transcript();
}

TEST_F(ConsolePair, LastLineWithoutLineEndStillRunsAtEndOfInput) {
  // carol's whole input is one command without a line end.
  ConsoleProcess carol;
  ASSERT_TRUE(carol.Child().Start("/bin/sh",
                                  {"-c",
                                   "printf %s 'IsPeerConnected alice_KVZ' | exec \"$0\" --json --login carol "
                                   "--config \"$1\"",
                                   VELTestProgramPath("velp2p"), config->Path()},
                                  {{"VELP2PTrace", "0"}}));
  VELConsoleJsonReader reply;
  ASSERT_TRUE(carol.Await(IsReply("IsPeerConnected"), &reply)) << carol.Transcript();
  EXPECT_EQ(reply.Number("result", 1), 0);
  EXPECT_TRUE(carol.Await(IsReply("quit"))) << carol.Transcript();
  EXPECT_EQ(ExitCode(carol.Child().WaitExit(kConsoleWaitMs)), 0);
}

TEST_F(ConsolePair, TerminationSignalLeavesTheNetworkProperly) {
  ASSERT_EQ(kill(bob.Child().Pid(), SIGTERM), 0);
  EXPECT_TRUE(bob.Await(IsReply("quit")));
  EXPECT_EQ(ExitCode(bob.Child().WaitExit(kConsoleWaitMs)), 0);
  EXPECT_TRUE(alice.AwaitEvent("VELP2PPeerDeathNotif", "bob_KVZ")) << alice.Transcript();
}

TEST(ConsoleStartUp, UnreadableConfigurationFailsWithStatus1) {
  VELP2P_REQUIRE_SANDBOX();
  ConsoleProcess console;
  ASSERT_TRUE(console.StartRaw({"--json", "--login", "x", "--config", "/nonexistent/velp2p.cfg"}));
  EXPECT_EQ(ExitCode(console.Child().WaitExit(kConsoleWaitMs)), 1);
  EXPECT_TRUE(console.Child().Lines().empty()) << console.Transcript();
}

TEST(ConsoleStartUp, EndpointThatCannotOpenFailsWithStatus1) {
  VELP2P_REQUIRE_SANDBOX();
  // An address that is not a dotted IPv4 address makes the TCP endpoint refuse to initialise.
  ConsoleConfig config(std::string("VELP2PTCPEndPoint|999.1.1.1|0\n"));
  ConsoleProcess console;
  ASSERT_TRUE(console.Start("x", config.Path()));
  EXPECT_EQ(ExitCode(console.Child().WaitExit(kConsoleWaitMs)), 1);
  // Nothing was fired: the start-up failed before the notifications.
  EXPECT_TRUE(console.Child().Lines().empty()) << console.Transcript();
}

TEST(ConsoleStartUp, UnknownOptionExitsWith2AndHelpWith0) {
  ConsoleProcess bad;
  ASSERT_TRUE(bad.StartRaw({"--frobnicate"}));
  EXPECT_EQ(ExitCode(bad.Child().WaitExit(kConsoleWaitMs)), 2);
  ConsoleProcess help;
  ASSERT_TRUE(help.StartRaw({"--help"}));
  std::string text;
  std::string line;
  while (help.Child().ReadLine(line, kConsoleWaitMs))
    text += line + "\n";
  for (const char* variable :
       {"VELP2PConfig", "VELP2PLogin", "VELP2PPorts", "VELP2PHTTPEndPoint", "VELP2PTrace"}) {
    EXPECT_NE(text.find(variable), std::string::npos) << variable;
  }
  EXPECT_EQ(ExitCode(help.Child().WaitExit(kConsoleWaitMs)), 0);
}
