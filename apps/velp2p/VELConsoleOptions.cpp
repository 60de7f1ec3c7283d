#include "VELConsoleOptions.h"

#include <cstdlib>
#include <cstring>

namespace {

// Accepts "--name VALUE" and "--name=VALUE"; advances index past what it used.
bool TakeValue(int argc, char** argv, int& index, const char* name, std::string& value, std::string& error,
               bool& matched) {
  const char* argument = argv[index];
  size_t length = std::strlen(name);
  matched = false;
  if (std::strncmp(argument, name, length) != 0)
    return true;
  if (argument[length] == '=') {
    matched = true;
    value = argument + length + 1;
  } else if (argument[length] == '\0') {
    matched = true;
    if (index + 1 >= argc) {
      error = std::string(name) + " needs a value";
      return false;
    }
    value = argv[++index];
  } else {
    return true;
  }
  if (value.empty()) {
    error = std::string(name) + " needs a non-empty value";
    return false;
  }
  return true;
}

// A number of seconds or a count: a positive finite decimal.
bool ParseNumber(const std::string& text, double& value) {
  char* end = nullptr;
  value = std::strtod(text.c_str(), &end);
  return !text.empty() && end && *end == '\0' && value > 0 && value < 1e9;
}

}  // namespace

VELConsoleOptions::ParseResult VELConsoleOptions::Parse(int argc, char** argv, std::string& error) {
  int first = 1;
  if (argc > 1 && (std::strcmp(argv[1], "watch") == 0 || std::strcmp(argv[1], "ping") == 0 ||
                   std::strcmp(argv[1], "spy") == 0)) {
    tool = argv[1];
    first = 2;
    if (tool == "ping") {
      if (argc < 3 || argv[2][0] == '-') {
        error = "ping needs the name of the peer to ping";
        return kBad;
      }
      target = argv[2];
      first = 3;
    }
  }
  for (int i = first; i < argc; ++i) {
    const char* argument = argv[i];
    if (!tool.empty()) {
      bool matched = false;
      std::string value;
      for (const char* name : {"--timeout", "-c", "-i"}) {
        if (!TakeValue(argc, argv, i, name, value, error, matched))
          return kBad;
        if (!matched)
          continue;
        double number = 0;
        if (!ParseNumber(value, number) ||
            (name[1] == 'c' && (number != static_cast<int>(number) || tool != "ping"))) {
          error = std::string(name) + " needs a positive " +
                  (name[1] == 'c' ? "whole number" : "number of seconds") + " (for " + tool + ")";
          return kBad;
        }
        if (name[1] == 'c')
          count = static_cast<int>(number);
        else if (name[1] == 'i')
          interval = number;
        else
          timeout = number;
        break;
      }
      if (matched)
        continue;
    }
    if (std::strcmp(argument, "--standard") == 0) {
      standard = true;
      continue;
    }
    if (std::strcmp(argument, "--json") == 0) {
      json = true;
      continue;
    }
    if (std::strcmp(argument, "--trace") == 0) {
      trace = true;
      continue;
    }
    if (std::strcmp(argument, "--help") == 0 || std::strcmp(argument, "-h") == 0)
      return kHelp;
    bool matched = false;
    if (tool == "spy" && !TakeValue(argc, argv, i, "--read", read, error, matched))
      return kBad;
    if (matched)
      continue;
    if (!TakeValue(argc, argv, i, "--login", login, error, matched))
      return kBad;
    if (matched)
      continue;
    if (!TakeValue(argc, argv, i, "--config", config, error, matched))
      return kBad;
    if (matched)
      continue;
    error = std::string("unknown argument ") + argument;
    return kBad;
  }
  if (standard && !login.empty()) {
    error =
        "--login names the peer in collaboration mode only; a standard-mode name is made of the "
        "account's login, the host name and the process id";
    return kBad;
  }
  if (tool == "spy" && (standard || !login.empty() || trace)) {
    error = "spy starts no peer: it takes --json, --config, --timeout and --read only";
    return kBad;
  }
  if (tool == "ping" && standard) {
    error = "ping goes over the message service, which only the collaboration mode has";
    return kBad;
  }
  return kRun;
}

std::string VELConsoleOptions::Usage() {
  return "usage: velp2p [--standard] [--login NAME] [--config FILE] [--json] [--trace]\n"
         "       velp2p watch [--json] [--standard] [--timeout SECONDS] [--login NAME] [--config FILE]\n"
         "       velp2p ping PEER [-c COUNT] [-i SECONDS] [--timeout SECONDS] [--json] [--login NAME]\n"
         "                   [--config FILE]\n"
         "       velp2p spy [--json] [--timeout SECONDS] [--config FILE]\n"
         "       velp2p spy --read FILE [--json]\n";
}

std::string VELConsoleOptions::Help() {
  return Usage() +
         "\n"
         "A console for one velp2p peer on the local network. It starts the peer, prints everything the\n"
         "peer announces, and runs the commands typed on standard input, one per line.\n"
         "\n"
         "Options:\n"
         "  --standard       start with InitP2P (groups, peer directory, cross-group search); the default\n"
         "                   is InitP2PForRTC (presence, status, messages, sessions)\n"
         "  --login NAME     the peer's name in the default mode becomes NAME_KVZ (sets VELP2PLogin);\n"
         "                   refused with --standard, whose names come from the account\n"
         "  --config FILE    endpoint configuration file (sets VELP2PConfig)\n"
         "  --json           scripted mode: one JSON object per line for every result and every event\n"
         "  --trace          the library's trace and diagnostics, on standard error (sets VELP2PTrace)\n"
         "  --help           this text\n"
         "\n"
         "Environment variables read by the library:\n"
         "  VELP2PConfig        path of the endpoint configuration file. One endpoint per line:\n"
         "                        CLASS|ADDRESS|PORT\n"
         "                      CLASS is VELP2PMultiCastEndPoint or VELP2PTCPEndPoint; ADDRESS a dotted\n"
         "                      IPv4 address, \"*\" for every interface or a single space for any address;\n"
         "                      PORT 0 for the default (up to 65535). Blanks around the fields, blank\n"
         "                      lines and lines starting with # are ignored; any other line that is not\n"
         "                      an endpoint, or a file that cannot be read, fails the start. Without a\n"
         "                      file the peer uses multicast 224.0.1.85 port 2678 and a TCP port on each\n"
         "                      interface address.\n"
         "  VELP2PLiveness      seconds between checks of silent peers (default 10, 0: off)\n"
         "  VELP2PLogin         the name used in the default mode (followed by _KVZ) instead of the login\n"
         "  VELP2PPorts         host and port pairs, host1:port1/host2:port2, for components that ask\n"
         "  VELP2PHTTPEndPoint  when set, selects HTTP endpoints instead of multicast and TCP\n"
         "  VELP2PTrace         1 writes the module trace to standard error (same as --trace)\n"
         "  VELP2PLiveness      seconds without hearing from a peer before it is checked\n"
         "                      (default 10, 0 no checks); also sets the announcement pace\n"
         "  VELP2PAnnounce      0: the peer does not announce itself again after its birth\n"
         "\n"
         "Tools (each ends by itself after --timeout SECONDS):\n"
         "  watch            prints arrivals, departures and status changes, one per line:\n"
         "                     + NAME, - NAME, = NAME STATUS (STATUSNAME) \"DESCRIPTION\"\n"
         "                   or JSON objects with --json; runs until --timeout or Ctrl-C\n"
         "  ping PEER        sends COUNT (-c, 5) requests, -i seconds apart (1), over the message service\n"
         "                   to PEER, which answers when it is a velp2p console or tool; prints each round\n"
         "                   trip and min/median/max; exits 1 when no answer came (--timeout, 10 + the\n"
         "                   time the requests take)\n"
         "  spy              joins the multicast groups of the configuration without sending anything and\n"
         "                   decodes every datagram heard, one per line: time, sender, service, group and\n"
         "                   the payload in words, or every field as JSON with --json; a block peers would\n"
         "                   refuse shows as malformed with the reason; runs until --timeout or Ctrl-C\n"
         "  spy --read FILE  decodes the one block (a datagram, or a TCP stream) FILE holds; exits 1 when\n"
         "                   it is malformed\n"
         "\n"
         "Commands (names are case-insensitive; quote arguments that hold spaces: \"like this\"):\n"
         "  InitP2P, InitP2PForRTC, Disconnect, Refresh, GetPeerName, GetCurrentGroup, GetSubGroups,\n"
         "  CreateAndOrJoinSubGroup NAME, LeaveCurrentGroup, ChangeP2PStatus STATUS DESCRIPTION,\n"
         "  GetStatus, GetDesc, GetStatusAndDesc PEER, GetConnectedPeers, IsPeerConnected PEER,\n"
         "  SendP2PMessage PEER TYPE HEADER DATA (DATA as text, or hex:0a0b...),\n"
         "  OpenP2PSession PEER TYPE, CloseP2PSession PEER TYPE, CrossGroupPeerSearch, quit\n"
         "Short forms: /peers /msg PEER TEXT /status N TEXT /join NAME /leave /group /search\n"
         "             /open PEER TYPE /close PEER TYPE /me /help /quit\n"
         "\n"
         "quit, end of input or Ctrl-C disconnect the peer (the others hear it leave) and exit.\n";
}
