// velp2p: a console for one peer of the local network, for people and for scripts.
#include <cstdio>
#include <string>

#include "VELConsole.h"
#include "VELConsoleOptions.h"
#include "VELConsolePing.h"
#include "VELConsoleSpy.h"
#include "VELConsoleWatch.h"

int main(int argc, char** argv) {
  VELConsoleOptions options;
  std::string error;
  switch (options.Parse(argc, argv, error)) {
    case VELConsoleOptions::kHelp:
      std::fputs(VELConsoleOptions::Help().c_str(), stdout);
      return 0;
    case VELConsoleOptions::kBad:
      std::fprintf(stderr, "velp2p: %s\n%s", error.c_str(), VELConsoleOptions::Usage().c_str());
      return 2;
    case VELConsoleOptions::kRun:
      break;
  }
  if (options.tool == "watch")
    return VELConsoleWatch(options).Run();
  if (options.tool == "spy")
    return VELConsoleSpy(options).Run();
  if (options.tool == "ping")
    return VELConsolePing(options).Run();
  VELConsole console(options);
  return console.Run();
}
