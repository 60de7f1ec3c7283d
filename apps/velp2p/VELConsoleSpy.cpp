#include "VELConsoleSpy.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>

#include "VELConsoleEvents.h"
#include "VELConsoleJson.h"
#include "VELConsoleOutput.h"
#include "VELConsoleText.h"

namespace {

const char* const kDefaultGroup = "224.0.1.85";
const int kDefaultPort = 2678;
const size_t kMaxBlock = 4 * 1024 * 1024;  // the longest block a TCP stream may announce

volatile std::sig_atomic_t g_stop = 0;

void Stop(int) {
  g_stop = 1;
}

void Complain(const std::string& text) {
  std::fprintf(stderr, "velp2p spy: %s\n", text.c_str());
}

void Line(const std::string& text) {
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

// A name for a terminal: as it is when it is plain, else quoted with its controls written out, so that a
// space inside it does not run it into the next field of the line.
std::string Shown(const std::string& text) {
  if (text.empty() || text.find_first_of(" \"") != std::string::npos || !VELConsoleText::IsPlain(text))
    return VELConsoleText::Quoted(text);
  return text;
}

}  // namespace

VELConsoleSpy::VELConsoleSpy(const VELConsoleOptions& options)
    : _options(options), _decoder(&VELConsoleEvents::StatusName) {}

int VELConsoleSpy::Run() {
  if (!_options.read.empty())
    return ReadFile();
  std::vector<Group> groups;
  if (!ConfiguredGroups(groups))
    return 1;
  std::vector<pollfd> sockets;
  for (const Group& group : groups) {
    int descriptor = Join(group);
    if (descriptor < 0) {
      for (const pollfd& open : sockets)
        close(open.fd);
      return 1;
    }
    sockets.push_back({descriptor, POLLIN, 0});
  }
  // Said once every group is joined, so that whoever started the spy knows from when on it hears.
  std::vector<std::string> joined;
  for (const Group& group : groups)
    joined.push_back(group.first + ":" + std::to_string(group.second));
  if (_options.json) {
    Line(VELConsoleJson()
             .AddText("timestamp", VELConsoleOutput::IsoTime())
             .AddList("listening", joined)
             .Text());
  } else {
    std::string list;
    for (const std::string& group : joined)
      list += " " + group;
    Line(VELConsoleOutput::TimeStamp() + "listening to" + list);
  }
  std::signal(SIGINT, Stop);
  std::signal(SIGTERM, Stop);
  std::vector<uint8_t> buffer(64 * 1024);  // the largest datagram there is
  const auto deadline = std::chrono::steady_clock::now() +
                        std::chrono::milliseconds(static_cast<int64_t>(_options.timeout * 1000));
  while (!g_stop) {
    int wait = -1;
    if (_options.timeout > 0) {
      auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0)
        break;
      wait = static_cast<int>(left.count());
    }
    if (poll(sockets.data(), sockets.size(), wait) < 0 && errno != EINTR)
      break;
    for (size_t i = 0; i < sockets.size(); ++i) {
      if (!(sockets[i].revents & POLLIN))
        continue;
      sockaddr_in from;
      socklen_t fromLength = sizeof(from);
      std::memset(&from, 0, sizeof(from));
      // MSG_TRUNC gives the datagram's real length; only the bytes that fit the buffer are decoded.
      ssize_t received = recvfrom(sockets[i].fd, buffer.data(), buffer.size(), MSG_TRUNC,
                                  reinterpret_cast<sockaddr*>(&from), &fromLength);
      if (received < 0)
        continue;
      char address[INET_ADDRSTRLEN] = "?";
      inet_ntop(AF_INET, &from.sin_addr, address, sizeof(address));
      Print(buffer.data(), std::min(static_cast<size_t>(received), buffer.size()), true, "source",
            std::string(address) + ":" + std::to_string(ntohs(from.sin_port)),
            groups[i].first + ":" + std::to_string(groups[i].second));
    }
  }
  std::signal(SIGINT, SIG_DFL);
  std::signal(SIGTERM, SIG_DFL);
  for (const pollfd& open : sockets)
    close(open.fd);
  return 0;
}

int VELConsoleSpy::ReadFile() {
  std::ifstream file(_options.read, std::ios::binary);
  if (!file) {
    Complain("cannot read " + _options.read);
    return 1;
  }
  std::vector<uint8_t> bytes(kMaxBlock + 1);
  file.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  const size_t size = static_cast<size_t>(file.gcount());
  if (size > kMaxBlock) {
    Complain(_options.read + " is longer than the 4 MiB a block may be");
    return 1;
  }
  return Print(bytes.data(), size, false, "file", _options.read, std::string()) ? 0 : 1;
}

bool VELConsoleSpy::ConfiguredGroups(std::vector<Group>& groups) const {
  const char* inherited = std::getenv("VELP2PConfig");
  const std::string path = !_options.config.empty() ? _options.config : (inherited ? inherited : "");
  if (path.empty()) {
    groups.emplace_back(kDefaultGroup, kDefaultPort);
    return true;
  }
  std::ifstream file(path, std::ios::binary);
  if (!file) {
    Complain("cannot read the configuration file " + path);
    return false;
  }
  const std::string content((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  // The peers' own reading: CLASS|ADDRESS|PORT lines that end with a line end, shorter than 255 bytes.
  size_t begin = 0;
  int number = 0;
  for (size_t end = content.find('\n'); end != std::string::npos; end = content.find('\n', begin)) {
    const std::string line = content.substr(begin, end - begin);
    begin = end + 1;
    ++number;
    char className[100] = {0}, address[20] = {0};
    int port = 0;
    if (line.size() >= 255 || line.find('\0') != std::string::npos ||
        std::sscanf(line.c_str(), "%99[^|]|%19[^|]|%d", className, address, &port) != 3 ||
        std::strcmp(className, "VELP2PMultiCastEndPoint") != 0)
      continue;
    Group group(std::strcmp(address, " ") == 0 ? kDefaultGroup : address, port ? port : kDefaultPort);
    in_addr parsed;
    if (inet_pton(AF_INET, group.first.c_str(), &parsed) != 1 || !IN_MULTICAST(ntohl(parsed.s_addr)) ||
        group.second < 0 || group.second > 0xFFFF) {
      Complain(path + ":" + std::to_string(number) + ": " + address + "|" + std::to_string(port) +
               " is not a multicast address and port");
      return false;
    }
    bool known = false;
    for (const Group& other : groups)
      known = known || other == group;
    if (!known)
      groups.push_back(group);
  }
  if (groups.empty())
    Complain(path + " names no multicast endpoint: there is nothing to listen to");
  return !groups.empty();
}

int VELConsoleSpy::Join(const Group& group) {
  int descriptor = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  int on = 1;
  sockaddr_in local;
  std::memset(&local, 0, sizeof(local));
  local.sin_family = AF_INET;
  local.sin_port = htons(static_cast<uint16_t>(group.second));
  ip_mreq membership;
  std::memset(&membership, 0, sizeof(membership));
  membership.imr_interface.s_addr = htonl(INADDR_ANY);
  // Shares the port with the peers of this host, which bind it the same way; bound to the group, the socket
  // hears that group only.
  if (descriptor < 0 || setsockopt(descriptor, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on)) != 0 ||
      setsockopt(descriptor, SOL_SOCKET, SO_REUSEPORT, &on, sizeof(on)) != 0 ||
      inet_pton(AF_INET, group.first.c_str(), &local.sin_addr) != 1 ||
      bind(descriptor, reinterpret_cast<sockaddr*>(&local), sizeof(local)) != 0 ||
      (membership.imr_multiaddr = local.sin_addr,
       setsockopt(descriptor, IPPROTO_IP, IP_ADD_MEMBERSHIP, &membership, sizeof(membership)) != 0)) {
    Complain("cannot join " + group.first + ":" + std::to_string(group.second) + ": " + std::strerror(errno));
    if (descriptor >= 0)
      close(descriptor);
    return -1;
  }
  return descriptor;
}

bool VELConsoleSpy::Print(const uint8_t* bytes, size_t size, bool datagram, const char* originKey,
                          const std::string& origin, const std::string& destination) {
  VELConsoleJson json;
  json.AddText("timestamp", VELConsoleOutput::IsoTime()).AddText(originKey, origin);
  if (!destination.empty())
    json.AddText("destination", destination);
  VELSpyDecoder::Block block = _decoder.Decode(bytes, size, datagram, json);
  if (_options.json) {
    Line(json.Text());
  } else {
    std::string summary = block.summary;
    if (!block.malformed.empty())
      summary += (summary.empty() ? "" : " ") + std::string("malformed: ") + block.malformed;
    Line(VELConsoleOutput::TimeStamp() + Shown(block.senderName) + " " + Shown(block.serviceName) + " " +
         Shown(block.group) + " " + summary);
  }
  return block.malformed.empty();
}
