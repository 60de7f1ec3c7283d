#include "VELConsole.h"

#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "VELConsoleLine.h"
#include "VELConsolePing.h"
#include "VELConsoleText.h"
#include "velp2p/VELDiagnostics.h"
#include "velp2p/VELIP2PPeer.h"
#include "velp2p/VELLastError.h"
#include "velp2p/VELNotification.h"
#include "velp2p/VELP2PPeer.h"
#include "velp2p/VELP2PSending.h"
#include "velp2p/VELTrace.h"

namespace {

VELApplication* g_signalledApplication = nullptr;  // what SIGINT and SIGTERM stop

void StopOnSignal(int) {
  if (g_signalledApplication)
    g_signalledApplication->Stop();
}

void Complain(const std::string& message) {
  std::fprintf(stderr, "velp2p: %s\n", message.c_str());
}

}  // namespace

VELConsole::VELConsole(const VELConsoleOptions& options)
    : _options(options),
      _output(!options.json && isatty(STDIN_FILENO) && isatty(STDOUT_FILENO)),
      _events(_output, options.json),
      _inputOwner(nullptr, "velp2p console input"),
      _peer(nullptr),
      _subscription(nullptr),
      _skippingLongLine(false),
      _finished(false) {}

VELConsole::~VELConsole() {
  if (g_signalledApplication == &_application)
    g_signalledApplication = nullptr;
  _application.RemoveFileDescriptor(STDIN_FILENO, &_inputOwner);
  if (_subscription)
    RemoveCallback(_subscription);
  if (_peer)
    _peer->Release();
}

// The library reads its settings from the environment during the start-up, so the flags become
// environment variables first. A configuration file that cannot be used fails the start-up with its reason.
bool VELConsole::PrepareEnvironment(const VELConsoleOptions& options) {
  if (!options.login.empty())
    setenv("VELP2PLogin", options.login.c_str(), 1);
  if (!options.config.empty())
    setenv("VELP2PConfig", options.config.c_str(), 1);
  if (options.trace) {
    setenv("VELP2PTrace", "1", 1);
    VELTrace::SetEnabled(true);
  }
  // Standard output carries only the console's own records.
  VELSetDiagnosticStream(options.trace ? stderr : nullptr);
  return true;
}

bool VELConsole::StartPeer(VELIP2PPeer* peer, const VELConsoleOptions& options) {
  const char* operation = options.standard ? "InitP2P" : "InitP2PForRTC";
  VELP2PClearLastError();
  VELResult result = options.standard ? peer->InitP2P() : peer->InitP2PForRTC();
  if (VEL_SUCCEEDED(result))
    return true;
  char code[16];
  std::snprintf(code, sizeof(code), "0x%08X", static_cast<unsigned>(result));
  std::string reason =
      VELP2PGetLastErrorCode() != VELP2P_ERROR_NONE ? VELP2PGetLastErrorText() : VELResultMessage(result);
  Complain(std::string("cannot start the peer: ") + operation + " failed: " + reason + " (" + code +
           "); check the configuration file and the network interfaces (--trace tells more)");
  return false;
}

bool VELConsole::Start() {
  _peer = VELIP2PPeerFactory::GetLocalPeer();
  if (!_peer) {
    Complain("cannot create the local peer");
    return false;
  }
  _commands = std::make_unique<VELConsoleCommands>(_peer, _events, !_options.standard);
  // Subscribed before the start-up, so that its own notifications are printed too.
  _subscription =
      AddCallback(nullptr, _peer->GetP2PPublisher(), "VELP2PNotif", [this](VELNotification* notification) {
        _events.Print(notification);
        VELConsolePing::Answer(_peer, notification);
      });
  if (!StartPeer(_peer, _options))
    return false;
  if (!_options.json) {
    const VELUnicodeString* name = _peer->GetPeerName();
    _output.Line("velp2p: you are " + VELConsoleText::Shown(name ? name->Str() : std::string("?")) + ", in " +
                 (_options.standard ? "standard" : "collaboration") +
                 " mode. Type /help for the commands, /quit or Ctrl-D to leave.");
  }
  return true;
}

int VELConsole::Run() {
  std::signal(SIGPIPE, SIG_IGN);
  if (!PrepareEnvironment(_options) || !Start())
    return 1;
  if (VEL_FAILED(_application.AddFileDescriptor(STDIN_FILENO, &_inputOwner, this, &VELConsole::InputReady))) {
    Complain("cannot watch standard input");
    Finish();
    return 1;
  }
  g_signalledApplication = &_application;
  std::signal(SIGINT, StopOnSignal);
  std::signal(SIGTERM, StopOnSignal);
  _output.Prompt();
  _application.Run();
  std::signal(SIGINT, SIG_DFL);
  std::signal(SIGTERM, SIG_DFL);
  // A signal ends the loop without a quit: the peer still leaves the network properly.
  Finish();
  // Messages sent just before leaving are still on their way: they get a moment to arrive.
  _application.RunUntil([] { return VELP2PPendingSends() == 0; }, 3000);
  return 0;
}

void VELConsole::InputReady(int, void*, void* data) {
  static_cast<VELConsole*>(data)->ReadInput();
}

void VELConsole::ReadInput() {
  char buffer[64 * 1024];
  ssize_t received = read(STDIN_FILENO, buffer, sizeof(buffer));
  if (received < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK))
    return;
  if (received <= 0) {
    // End of input: a last line without a line end still counts.
    if (_skippingLongLine || !_pending.empty()) {
      _output.PromptAnswered();
      EndLine();
    }
    Finish();
    return;
  }
  size_t start = 0;
  for (size_t i = 0; i < static_cast<size_t>(received) && !_finished; ++i) {
    if (buffer[i] != '\n')
      continue;
    if (!_skippingLongLine)
      _pending.append(buffer + start, i - start);
    start = i + 1;
    _output.PromptAnswered();
    EndLine();
  }
  if (_finished)
    return;
  if (!_skippingLongLine) {
    _pending.append(buffer + start, static_cast<size_t>(received) - start);
    // Kept no longer than needed to know the line is too long, so input without line ends cannot grow it.
    if (_pending.size() > kMaxLine) {
      _pending.clear();
      _skippingLongLine = true;
    }
  }
  _output.Prompt();
}

void VELConsole::EndLine() {
  std::string line;
  line.swap(_pending);
  bool tooLong = _skippingLongLine || line.size() > kMaxLine;
  _skippingLongLine = false;
  if (!tooLong) {
    HandleLine(line);
    return;
  }
  VELConsoleReply reply =
      VELConsoleReply::Error("", "line longer than " + std::to_string(kMaxLine) + " bytes, ignored");
  _output.Line(_options.json ? reply.Json() : reply.Human());
}

void VELConsole::HandleLine(const std::string& line) {
  std::vector<std::string> words;
  std::string error;
  if (!VELConsoleLine::Split(line, words, error)) {
    std::vector<std::string> firstWord;
    std::string ignored;
    VELConsoleLine::Split(line.substr(0, line.find_first_of(" \t")), firstWord, ignored);
    VELConsoleReply reply = VELConsoleReply::Error(firstWord.empty() ? "" : firstWord[0], error);
    _output.Line(_options.json ? reply.Json() : reply.Human());
    return;
  }
  if (words.empty())
    return;
  bool quit = false;
  VELConsoleReply reply = _commands->Run(words, quit);
  _output.Line(_options.json ? reply.Json() : reply.Human());
  if (quit) {
    _finished = true;
    _output.EndPrompt();
    _application.Stop();
  }
}

void VELConsole::Finish() {
  if (_finished)
    return;
  _finished = true;
  VELConsoleReply reply = _commands->Quit();
  _output.EndPrompt();
  _output.Line(_options.json ? reply.Json() : reply.Human());
  _application.Stop();
}
