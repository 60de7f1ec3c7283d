#include "VELConsoleTool.h"

#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>

#include "VELConsole.h"
#include "VELConsolePing.h"
#include "velp2p/VELIP2PPeer.h"
#include "velp2p/VELNotification.h"

namespace {

volatile std::sig_atomic_t g_interrupted = 0;
VELApplication* g_toolApplication = nullptr;

void Interrupt(int) {
  g_interrupted = 1;
  if (g_toolApplication)
    g_toolApplication->Stop();  // wakes the wait
}

}  // namespace

void VELConsoleTool::Line(const std::string& text) {
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

double VELConsoleTool::NowMs() {
  using namespace std::chrono;
  return duration<double, std::milli>(steady_clock::now().time_since_epoch()).count();
}

int VELConsoleTool::Run() {
  std::signal(SIGPIPE, SIG_IGN);
  // Two tools of one user must not clash over the collaboration-mode name.
  if (!_options.standard && _options.login.empty())
    _options.login = _options.tool + "." + std::to_string(getpid());
  if (!VELConsole::PrepareEnvironment(_options))
    return 1;
  _peer = VELIP2PPeerFactory::GetLocalPeer();
  if (!_peer) {
    std::fprintf(stderr, "velp2p %s: cannot create the local peer\n", _options.tool.c_str());
    return 1;
  }
  VELCallback* subscription =
      AddCallback(nullptr, _peer->GetP2PPublisher(), "VELP2PNotif", [this](VELNotification* notification) {
        Notified(notification);
        VELConsolePing::Answer(_peer, notification);
      });
  int status = 1;
  if (VELConsole::StartPeer(_peer, _options)) {
    _self = _peer->GetPeerName() ? _peer->GetPeerName()->Str() : std::string();
    Started();
    g_toolApplication = &_application;
    std::signal(SIGINT, Interrupt);
    std::signal(SIGTERM, Interrupt);
    double seconds = _options.timeout > 0 ? _options.timeout : DefaultTimeout();
    bool finished = _application.RunUntil([this] { return g_interrupted != 0 || Done(); },
                                          seconds > 0 ? static_cast<int>(seconds * 1000) : -1);
    std::signal(SIGINT, SIG_DFL);
    std::signal(SIGTERM, SIG_DFL);
    g_toolApplication = nullptr;
    status = Finish(!finished);
    (void)_peer->Disconnect();
  }
  RemoveCallback(subscription);
  _peer->Release();
  _peer = nullptr;
  return status;
}
