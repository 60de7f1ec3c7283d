#include "VELDemoScenario.h"

#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "VELDemoTranscript.h"

namespace {

using Clock = std::chrono::steady_clock;

const int64_t kFailure = -2147467259;  // the library's generic failure, 0x80004005
const int64_t kSessionOpened = '0';
const int64_t kSessionClosed = '1';

std::string HexOf(const std::string& text) {
  static const char kDigits[] = "0123456789abcdef";
  std::string hex;
  for (char c : text) {
    unsigned char byte = static_cast<unsigned char>(c);
    hex += kDigits[byte >> 4];
    hex += kDigits[byte & 0x0f];
  }
  return hex;
}

std::string FirstWord(const std::string& line) {
  return line.substr(0, line.find(' '));
}

}  // namespace

VELDemoScenario::VELDemoScenario(std::string console, int port) : _console(std::move(console)), _port(port) {}

VELDemoScenario::~VELDemoScenario() {
  StopAll();
  for (const std::string& file : _files)
    unlink(file.c_str());
  if (!_directory.empty())
    rmdir(_directory.c_str());
}

bool VELDemoScenario::Run() {
  _start = Clock::now();
  _deadline = _start + std::chrono::milliseconds(kTotalMs);
  char directory[] = "/tmp/velp2p-demo-XXXXXX";
  if (!mkdtemp(directory)) {
    VELDemoTranscript::Note("cannot create a temporary directory for the configuration files");
    return false;
  }
  _directory = directory;

  Collaboration();
  StopAll();
  Standard();
  StopAll();

  VELDemoTranscript::Heading("Outcome");
  char summary[128];
  std::snprintf(summary, sizeof(summary), "%d of %d expected records seen, in %.1f s.", _seen, _expected,
                Seconds());
  VELDemoTranscript::Note(summary);
  for (const std::string& missing : _missing)
    VELDemoTranscript::Note("  missing: " + missing);
  VELDemoTranscript::Note(_missing.empty() ? "Every expected event was seen."
                                           : "Some expected events were NOT seen.");
  return _missing.empty();
}

// Three people in collaboration mode: presence, status, messages (text and binary) and sessions.
void VELDemoScenario::Collaboration() {
  std::string config = WriteConfig("collaboration.cfg", _port);
  auto launch = [&](const char* name) {
    return Launch(name, {"--json", "--login", name, "--config", config});
  };
  VELDemoTranscript::Heading("Collaboration mode: alice, bob and carol find each other");
  VELDemoConsole* alice = launch("alice");
  Expect(alice, VELDemoMatch::Event("VELP2PCurrentGroupModifNotif").Text("currentGroup", "/P2PRoot"),
         "alice starts in /P2PRoot");
  Expect(alice, VELDemoMatch::Event("VELP2PInitPeerNotif").Text("peerName", "alice_KVZ"),
         "alice is alice_KVZ");
  Expect(alice, VELDemoMatch::Event("VELP2PPeerBirthNotif").Text("peerName", "alice_KVZ"),
         "alice hears her own birth announcement");

  VELDemoConsole* bob = launch("bob");
  Expect(bob, VELDemoMatch::Event("VELP2PInitPeerNotif").Text("peerName", "bob_KVZ"), "bob is bob_KVZ");
  Expect(alice, VELDemoMatch::Event("VELP2PPeerBirthNotif").Text("peerName", "bob_KVZ"),
         "alice sees bob arrive");
  Expect(bob, VELDemoMatch::Event("VELP2PPeerBirthNotif").Text("peerName", "alice_KVZ"),
         "bob learns that alice is online");
  Expect(bob,
         VELDemoMatch::Event("VELP2PChangeStatusNotif").Text("peerName", "alice_KVZ").Number("status", 6),
         "bob learns alice's current status");

  VELDemoConsole* carol = launch("carol");
  Expect(carol, VELDemoMatch::Event("VELP2PInitPeerNotif").Text("peerName", "carol_KVZ"),
         "carol is carol_KVZ");
  Expect(alice, VELDemoMatch::Event("VELP2PPeerBirthNotif").Text("peerName", "carol_KVZ"),
         "alice sees carol arrive");
  Expect(bob, VELDemoMatch::Event("VELP2PPeerBirthNotif").Text("peerName", "carol_KVZ"),
         "bob sees carol arrive");
  Expect(carol, VELDemoMatch::Event("VELP2PPeerBirthNotif").Text("peerName", "alice_KVZ"),
         "carol learns of alice");
  Expect(carol, VELDemoMatch::Event("VELP2PPeerBirthNotif").Text("peerName", "bob_KVZ"),
         "carol learns of bob");
  Command(carol, "GetConnectedPeers",
          VELDemoMatch::Reply("GetConnectedPeers")
              .Number("result", 0)
              .List("peers", {"alice_KVZ", "bob_KVZ", "carol_KVZ"}),
          "carol lists the three of them");

  VELDemoTranscript::Heading("alice changes her status");
  Command(alice, "ChangeP2PStatus 3 \"in a meeting\"", "alice announces status 3");
  for (VELDemoConsole* console : {alice, bob, carol}) {
    Expect(console,
           VELDemoMatch::Event("VELP2PChangeStatusNotif")
               .Text("peerName", "alice_KVZ")
               .Number("status", 3)
               .Text("description", "in a meeting"),
           console->Label() + " sees alice's new status");
  }
  Command(bob, "GetStatusAndDesc alice_KVZ",
          VELDemoMatch::Reply("GetStatusAndDesc")
              .Number("result", 0)
              .Number("status", 3)
              .Text("description", "in a meeting"),
          "bob's status store has alice's status");

  VELDemoTranscript::Heading("bob sends carol a message");
  Command(bob, "SendP2PMessage carol_KVZ 1 greeting \"hello carol\"", "bob sends a text message");
  Expect(carol,
         VELDemoMatch::Event("VELP2PMessageReceivedNotif")
             .Text("peerName", "bob_KVZ")
             .Number("type", 1)
             .Text("header", "greeting")
             .Text("dataHex", HexOf("hello carol")),
         "carol receives the text");
  Command(bob, "SendP2PMessage carol_KVZ 2 \"\" hex:00ff0a0d", "bob sends four binary bytes");
  Expect(carol,
         VELDemoMatch::Event("VELP2PMessageReceivedNotif")
             .Text("peerName", "bob_KVZ")
             .Number("type", 2)
             .Text("header", "")
             .Number("length", 4)
             .Text("dataHex", "00ff0a0d"),
         "carol receives the bytes unchanged");
  Command(bob, "SendP2PMessage nobody_KVZ 1 greeting hello",
          VELDemoMatch::Reply("SendP2PMessage").Number("result", kFailure),
          "bob's message to an unknown peer fails");

  VELDemoTranscript::Heading("carol opens and closes a session with alice");
  Command(carol, "OpenP2PSession alice_KVZ 7", "carol opens a session of type 7");
  Expect(carol,
         VELDemoMatch::Event("VELP2PSessionNotif")
             .Text("peerName", "alice_KVZ")
             .Number("sessionType", 7)
             .Number("eventType", kSessionOpened),
         "carol is told the session with alice is open");
  Expect(alice,
         VELDemoMatch::Event("VELP2PSessionNotif")
             .Text("peerName", "carol_KVZ")
             .Number("sessionType", 7)
             .Number("eventType", kSessionOpened),
         "alice is told carol opened a session");
  Command(carol, "CloseP2PSession alice_KVZ 7", "carol closes it");
  Expect(carol,
         VELDemoMatch::Event("VELP2PSessionNotif")
             .Text("peerName", "alice_KVZ")
             .Number("sessionType", 7)
             .Number("eventType", kSessionClosed),
         "carol is told the session is closed");
  Expect(alice,
         VELDemoMatch::Event("VELP2PSessionNotif")
             .Text("peerName", "carol_KVZ")
             .Number("sessionType", 7)
             .Number("eventType", kSessionClosed),
         "alice is told carol closed it");

  VELDemoTranscript::Heading("carol is killed, expires, restarts and is reachable again");
  VELDemoTranscript::Sent(Seconds(), "carol",
                          "(killed with SIGKILL; the others check quiet peers every second)");
  carol->Kill();
  for (VELDemoConsole* console : {alice, bob}) {
    Expect(
        console,
        VELDemoMatch::Event("VELP2PPeerDeathNotif").Text("peerName", "carol_KVZ").Text("reason", "expired"),
        console->Label() + " finds carol gone within the liveness deadline");
  }
  carol = launch("carol");
  for (VELDemoConsole* console : {alice, bob}) {
    Expect(console, VELDemoMatch::Event("VELP2PPeerBirthNotif").Text("peerName", "carol_KVZ"),
           console->Label() + " sees carol back");
  }
  Expect(carol, VELDemoMatch::Event("VELP2PChangeStatusNotif").Text("peerName", "bob_KVZ"),
         "carol learns bob's status again");
  Command(bob, "SendP2PMessage carol_KVZ 1 greeting \"welcome back\"", "bob writes to the new carol");
  Expect(carol,
         VELDemoMatch::Event("VELP2PMessageReceivedNotif")
             .Text("peerName", "bob_KVZ")
             .Text("dataHex", HexOf("welcome back")),
         "the restarted carol receives it");

  VELDemoTranscript::Heading("bob leaves");
  Quit(bob);
  Expect(alice, VELDemoMatch::Event("VELP2PPeerDeathNotif").Text("peerName", "bob_KVZ"),
         "alice sees bob leave");
  Expect(carol, VELDemoMatch::Event("VELP2PPeerDeathNotif").Text("peerName", "bob_KVZ"),
         "carol sees bob leave");
  Command(
      alice, "GetConnectedPeers",
      VELDemoMatch::Reply("GetConnectedPeers").Number("result", 0).List("peers", {"alice_KVZ", "carol_KVZ"}),
      "alice lists who is left");
  Quit(carol);
  Expect(alice, VELDemoMatch::Event("VELP2PPeerDeathNotif").Text("peerName", "carol_KVZ"),
         "alice sees carol leave");
  Quit(alice);
}

// Three peers in standard mode build the tree /P2PRoot, /P2PRoot/Design, /P2PRoot/Design/Team1, and the one
// left in the root searches across it.
void VELDemoScenario::Standard() {
  std::string config = WriteConfig("standard.cfg", _port + 1);
  VELDemoTranscript::Heading("Standard mode: xena, yuri and zack build a group tree");
  auto launch = [&](const char* label, std::string& name) {
    VELDemoConsole* console = Launch(label, {"--json", "--standard", "--config", config});
    const VELDemoRecord* init = Expect(console, VELDemoMatch::Event("VELP2PInitPeerNotif"),
                                       std::string(label) + " starts in standard mode");
    name = init ? init->fields.Text("peerName") : std::string(label) + "?";
    VELDemoTranscript::Note("                  (" + std::string(label) + " is " + name + ")");
    return console;
  };
  auto created = [](const std::string& name) {
    return VELDemoMatch::Event("VELP2PPeerCreatNotif").Text("peerName", name);
  };
  auto destroyed = [](const std::string& name) {
    return VELDemoMatch::Event("VELP2PPeerDestructNotif").Text("peerName", name);
  };
  auto current = [](const std::string& group) {
    return VELDemoMatch::Event("VELP2PCurrentGroupModifNotif").Text("currentGroup", group);
  };
  std::string x, y, z;
  VELDemoConsole* xena = launch("xena", x);
  VELDemoConsole* yuri = launch("yuri", y);
  Expect(xena, created(y), "xena sees yuri in /P2PRoot");
  Expect(yuri, created(x), "yuri hears back from xena");
  VELDemoConsole* zack = launch("zack", z);
  Expect(xena, created(z), "xena sees zack in /P2PRoot");
  Expect(yuri, created(z), "yuri sees zack in /P2PRoot");
  Expect(zack, created(x), "zack hears back from xena");
  Expect(zack, created(y), "zack hears back from yuri");

  VELDemoTranscript::Heading("yuri moves to Design");
  Command(yuri, "CreateAndOrJoinSubGroup Design", "yuri joins Design");
  Expect(yuri, current("/P2PRoot/Design"), "yuri is in /P2PRoot/Design");
  Expect(xena, destroyed(y), "xena sees yuri leave /P2PRoot");
  Expect(xena,
         VELDemoMatch::Event("VELP2PSubGroupModifNotif")
             .Text("currentGroup", "/P2PRoot")
             .List("subGroups", {"Design"}),
         "xena learns of the sub-group Design");

  VELDemoTranscript::Heading("zack moves to Design, then on to Team1");
  yuri->Mark();
  zack->Mark();
  Command(zack, "CreateAndOrJoinSubGroup Design", "zack joins Design");
  Expect(zack, current("/P2PRoot/Design"), "zack is in /P2PRoot/Design");
  Expect(xena, destroyed(z), "xena sees zack leave /P2PRoot");
  Expect(yuri, created(z), "yuri sees zack arrive in Design");
  Expect(zack, created(y), "zack hears back from yuri in Design");
  Command(zack, "CreateAndOrJoinSubGroup Team1", "zack joins Team1");
  Expect(zack, current("/P2PRoot/Design/Team1"), "zack is in /P2PRoot/Design/Team1");
  Expect(yuri, destroyed(z), "yuri sees zack leave Design");
  Expect(yuri,
         VELDemoMatch::Event("VELP2PSubGroupModifNotif")
             .Text("currentGroup", "/P2PRoot/Design")
             .List("subGroups", {"Team1"}),
         "yuri learns of the sub-group Team1");
  Command(xena, "GetSubGroups",
          VELDemoMatch::Reply("GetSubGroups").Number("result", 0).List("subGroups", {"Design"}),
          "xena knows one sub-group of the root");

  VELDemoTranscript::Heading("xena searches every group");
  Command(xena, "CrossGroupPeerSearch", "xena starts a search");
  Expect(
      xena,
      VELDemoMatch::Event("VELP2PSearchResultNotif").Text("peerName", y).Text("groupName", "/P2PRoot/Design"),
      "xena finds yuri in /P2PRoot/Design");
  Expect(xena,
         VELDemoMatch::Event("VELP2PSearchResultNotif")
             .Text("peerName", z)
             .Text("groupName", "/P2PRoot/Design/Team1"),
         "xena finds zack in /P2PRoot/Design/Team1");
  Expect(
      yuri,
      VELDemoMatch::Event("VELP2PCrossGroupPeerCreatNotif").Text("peerName", x).Text("groupName", "/P2PRoot"),
      "yuri hears xena's search from /P2PRoot");
  Expect(
      zack,
      VELDemoMatch::Event("VELP2PCrossGroupPeerCreatNotif").Text("peerName", x).Text("groupName", "/P2PRoot"),
      "zack hears xena's search from /P2PRoot");
  Quit(zack);
  Quit(yuri);
  Quit(xena);
}

VELDemoConsole* VELDemoScenario::Launch(const std::string& label, std::vector<std::string> arguments) {
  auto console = std::make_unique<VELDemoConsole>(label);
  std::string shown = "velp2p";
  for (const std::string& argument : arguments)
    shown += " " + argument;
  VELDemoTranscript::Sent(Seconds(), label, "(starts) " + shown);
  bool started = console->Start(_console, arguments);
  Count(started, label + "'s console starts", started ? "" : "cannot run " + _console);
  _consoles.push_back(std::move(console));
  return _consoles.back().get();
}

const VELDemoRecord* VELDemoScenario::Expect(VELDemoConsole* console, const VELDemoMatch& match,
                                             const std::string& what) {
  Clock::time_point stepDeadline = Clock::now() + std::chrono::milliseconds(kStepMs);
  while (true) {
    std::vector<VELDemoRecord>& records = console->Records();
    for (size_t i = console->MarkIndex(); i < records.size(); ++i) {
      if (!records[i].claimed && match.Matches(records[i].fields)) {
        records[i].claimed = true;
        Count(true, what, "");
        return &records[i];
      }
    }
    int remaining = Remaining(stepDeadline);
    if (remaining <= 0 || console->OutputDescriptor() < 0)
      break;
    Pump(remaining);
  }
  Count(false, what, "not seen in time");
  return nullptr;
}

const VELDemoRecord* VELDemoScenario::Command(VELDemoConsole* console, const std::string& line,
                                              VELDemoMatch match, const std::string& what) {
  VELDemoTranscript::Sent(Seconds(), console->Label(), line);
  if (!console->Send(line)) {
    Count(false, what, "the console does not read its input");
    return nullptr;
  }
  // The reply to this command is the first unclaimed reply of that name; its values are then checked.
  VELDemoMatch reply = VELDemoMatch::Reply(FirstWord(line));
  Clock::time_point stepDeadline = Clock::now() + std::chrono::milliseconds(kStepMs);
  while (true) {
    std::vector<VELDemoRecord>& records = console->Records();
    for (size_t i = 0; i < records.size(); ++i) {
      if (records[i].claimed || !reply.SameKind(records[i].fields))
        continue;
      records[i].claimed = true;
      std::string differences = match.Differences(records[i].fields);
      Count(differences.empty(), what, differences);
      return differences.empty() ? &records[i] : nullptr;
    }
    int remaining = Remaining(stepDeadline);
    if (remaining <= 0 || console->OutputDescriptor() < 0)
      break;
    Pump(remaining);
  }
  Count(false, what, "no reply in time");
  return nullptr;
}

const VELDemoRecord* VELDemoScenario::Command(VELDemoConsole* console, const std::string& line,
                                              const std::string& what) {
  return Command(console, line, VELDemoMatch::Reply(FirstWord(line)).Number("result", 0), what);
}

void VELDemoScenario::Quit(VELDemoConsole* console) {
  if (!console->Started()) {
    Count(false, console->Label() + " quits", "its console never started");
    return;
  }
  Command(console, "quit", console->Label() + " quits, announcing its departure");
  console->CloseInput();
  Clock::time_point stepDeadline = Clock::now() + std::chrono::milliseconds(kStepMs);
  while (console->PollExit() < 0 && Remaining(stepDeadline) > 0)
    Pump(std::min(Remaining(stepDeadline), 10));
  int status = console->PollExit();
  bool clean = status >= 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
  std::string detail;
  if (status < 0) {
    detail = "still running";
  } else if (!clean) {
    detail = WIFEXITED(status) ? "exit status " + std::to_string(WEXITSTATUS(status))
                               : "killed by signal " + std::to_string(WTERMSIG(status));
  }
  Count(clean, console->Label() + "'s console ends with status 0", detail);
}

void VELDemoScenario::Pump(int timeoutMs) {
  std::vector<pollfd> descriptors;
  std::vector<VELDemoConsole*> owners;
  for (const auto& console : _consoles) {
    if (console->OutputDescriptor() < 0)
      continue;
    descriptors.push_back(pollfd{console->OutputDescriptor(), POLLIN, 0});
    owners.push_back(console.get());
  }
  // With no output left to read, the wait is for a process to end, which is not pollable here.
  if (poll(descriptors.empty() ? nullptr : descriptors.data(), descriptors.size(), std::max(timeoutMs, 0)) <=
      0)
    return;
  for (size_t i = 0; i < descriptors.size(); ++i) {
    if (descriptors[i].revents == 0)
      continue;
    std::vector<size_t> fresh;
    owners[i]->ReadAvailable(Seconds(), fresh);
    for (size_t index : fresh) {
      const VELDemoRecord& record = owners[i]->Records()[index];
      VELDemoTranscript::Received(record.seconds, owners[i]->Label(), record.line, record.fields);
    }
  }
}

int VELDemoScenario::Remaining(Clock::time_point stepDeadline) const {
  Clock::time_point end = std::min(stepDeadline, _deadline);
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

double VELDemoScenario::Seconds() const {
  return std::chrono::duration<double>(Clock::now() - _start).count();
}

void VELDemoScenario::Count(bool seen, const std::string& what, const std::string& detail) {
  ++_expected;
  if (seen) {
    ++_seen;
  } else {
    _missing.push_back(what + (detail.empty() ? "" : " (" + detail + ")"));
  }
  VELDemoTranscript::Checked(seen, what, detail);
}

// TCP on loopback with a port of the system's choosing, multicast on the usual group with the part's port.
std::string VELDemoScenario::WriteConfig(const std::string& name, int port) {
  std::string path = _directory + "/" + name;
  FILE* file = std::fopen(path.c_str(), "w");
  if (file) {
    std::fprintf(file, "VELP2PTCPEndPoint|127.0.0.1|0\nVELP2PMultiCastEndPoint|224.0.1.85|%d\n", port);
    std::fclose(file);
    _files.push_back(path);
  }
  return path;
}

// Ends the part: consoles that are still running are killed (a failed part must not hold up the next).
void VELDemoScenario::StopAll() {
  for (auto& console : _consoles) {
    if (console->PollExit() < 0) {
      VELDemoTranscript::Note("(stopping " + console->Label() + "'s console)");
      console->Kill();
    }
  }
  _consoles.clear();
}
