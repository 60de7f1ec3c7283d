// velp2p-demo: starts velp2p consoles as separate processes and walks them through presence, status,
// messages, sessions, a group tree and a search, printing a transcript. Exits 0 when everything expected
// was seen.
#include <net/if.h>
#include <sched.h>
#include <unistd.h>

#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "VELDemoScenario.h"

namespace {

// The consoles' traffic must stay on this machine: the demo runs only where loopback is the sole interface.
bool InPrivateNetwork() {
  struct if_nameindex* interfaces = if_nameindex();
  if (!interfaces)
    return false;
  bool onlyLoopback = true;
  bool sawLoopback = false;
  for (struct if_nameindex* entry = interfaces; entry->if_index != 0; ++entry) {
    if (std::strcmp(entry->if_name, "lo") == 0) {
      sawLoopback = true;
    } else {
      onlyLoopback = false;
    }
  }
  if_freenameindex(interfaces);
  return onlyLoopback && sawLoopback;
}

std::string ProgramDirectory() {
  char path[PATH_MAX];
  ssize_t length = readlink("/proc/self/exe", path, sizeof(path) - 1);
  if (length <= 0)
    return ".";
  path[length] = '\0';
  std::string text(path);
  size_t slash = text.rfind('/');
  return slash == std::string::npos ? "." : text.substr(0, slash);
}

void Usage() {
  std::fputs(
      "usage: velp2p-demo [--console PATH] [--port PORT]\n"
      "  --console PATH  the velp2p console to run (default: velp2p beside this program)\n"
      "  --port PORT     multicast port of the first part; the second uses PORT + 1 (default 26780)\n"
      "Run it inside a private network namespace, as ./run demo does.\n",
      stderr);
}

}  // namespace

int main(int argc, char** argv) {
  std::string console = ProgramDirectory() + "/velp2p";
  int port = 26780;
  for (int i = 1; i < argc; ++i) {
    std::string argument = argv[i];
    if (argument == "--console" && i + 1 < argc) {
      console = argv[++i];
    } else if (argument == "--port" && i + 1 < argc) {
      port = std::atoi(argv[++i]);
      if (port <= 0 || port >= 65535) {
        Usage();
        return 2;
      }
    } else {
      Usage();
      return argument == "--help" ? 0 : 2;
    }
  }
  if (!InPrivateNetwork()) {
    std::fputs(
        "velp2p-demo: refusing to run: this network namespace has interfaces besides loopback, and the\n"
        "demo's multicast must not leave the machine. Run it with ./run demo.\n",
        stderr);
    return 1;
  }
  // Standard-mode peer names are made of the login, the host name and the process id, and a long host name
  // crowds the process id out, which would give the three consoles one name. A host namespace of its own
  // with a short name keeps them apart; where one cannot be had, the real name is kept.
  if (unshare(CLONE_NEWUTS) == 0) {
    if (sethostname("localhost", 9) != 0)
      std::perror("velp2p-demo: sethostname");
  }
  // A console that died must show up as missing records, not end the demo when it is written to.
  std::signal(SIGPIPE, SIG_IGN);
  // Quiet peers are checked every second instead of every ten, so that a killed one goes within seconds.
  setenv("VELP2PLiveness", "1", 0);
  VELDemoScenario scenario(console, port);
  return scenario.Run() ? 0 : 1;
}
