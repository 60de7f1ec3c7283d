#include "core/VELP2PConfig.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "host/VELLastError.h"
#include "host/VELNetResolve.h"
#include "host/VELSystem.h"
#include "host/VELTraceMacros.h"

namespace {

// Cuts text to at most maxBytes without splitting a UTF-8 sequence.
std::string CutToBytes(const std::string& text, size_t maxBytes) {
  if (text.size() <= maxBytes)
    return text;
  size_t end = maxBytes;
  while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80)
    --end;
  return text.substr(0, end);
}

void LowerIfCapitalised(std::string& text) {
  if (text.empty() || !std::isupper(static_cast<unsigned char>(text[0])))
    return;
  for (char& c : text)
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
}

std::string LoginName() {
  char login[50] = {0};
  (void)VELGetLoginName(login, sizeof(login));
  login[sizeof(login) - 1] = '\0';
  return std::string(login);
}

std::string SystemHostName() {
  VELSystemInfo info;
  std::memset(&info, 0, sizeof(info));
  if (VEL_FAILED(VELGetSystemInfo(&info)))
    return std::string();
  info.hostName[sizeof(info.hostName) - 1] = '\0';
  return std::string(info.hostName);
}

bool FitsName(const std::string& candidate) {
  return static_cast<int>(candidate.size()) <= kVELP2PMaxPeerNameBytes;
}

}  // namespace

VELUnicodeString VELP2PComposePeerName(const char* loginText, const char* hostText, long processId) {
  std::string login = loginText ? loginText : "";
  std::string host = hostText ? hostText : "";
  LowerIfCapitalised(login);
  LowerIfCapitalised(host);
  std::string candidate = login + "_ON_" + host + "#" + std::to_string(processId);
  if (FitsName(candidate))
    return VELUnicodeString(candidate);
  candidate = login + "_ON_" + host;
  if (FitsName(candidate))
    return VELUnicodeString(candidate);
  if (login.size() > 14) {
    login = CutToBytes(login, 13);
    candidate = login + "_ON_" + host;
    if (FitsName(candidate))
      return VELUnicodeString(candidate);
  }
  if (host.size() > 14)
    host = CutToBytes(host, 13);
  // A login of up to 14 bytes with a host of up to 14 bytes always fits; a longer login was cut above.
  candidate = CutToBytes(login + "_ON_" + host, kVELP2PMaxPeerNameBytes);
  return VELUnicodeString(candidate);
}

VELResult VELP2PBuildPeerName(VELUnicodeString& name, const char* login) {
  name =
      VELP2PComposePeerName(login ? login : LoginName().c_str(), SystemHostName().c_str(), VELGetProcessId());
  return VEL_S_OK;
}

VELUnicodeString VELP2PComposeCollaborationName(const char* loginText, const char* loginVariable) {
  if (loginVariable) {
    static const char kSuffix[] = "_KVZ";
    std::string value = CutToBytes(loginVariable, kVELP2PMaxPeerNameBytes - (sizeof(kSuffix) - 1));
    return VELUnicodeString(value + kSuffix);
  }
  std::string login = loginText ? loginText : "";
  LowerIfCapitalised(login);
  return VELUnicodeString(CutToBytes(login, kVELP2PMaxPeerNameBytes));
}

VELResult VELP2PGetNetworkInterfaces(VELListValVELUnicodeString& list) {
  std::vector<VELIPv4> addresses = VELHostIPv4();
  if (addresses.empty())
    return VEL_E_FAIL;
  for (const VELIPv4& address : addresses)
    list.Append(VELUnicodeString(VELDottedIPv4(address)));
  return VEL_S_OK;
}

VELResult VELP2PBuildLocalAdrs(char* address) {
  if (!address)
    return VEL_E_FAIL;
  std::string text;
  if (VEL_FAILED(VELLocalIPv4(text)))
    return VEL_E_FAIL;
  std::memcpy(address, text.c_str(), text.size() + 1);
  return VEL_S_OK;
}

namespace {

const char kBlanks[] = " \t\r\v\f";

std::string Trimmed(const std::string& text) {
  size_t begin = text.find_first_not_of(kBlanks);
  if (begin == std::string::npos)
    return std::string();
  return text.substr(begin, text.find_last_not_of(kBlanks) - begin + 1);
}

// Reads one line into its three fields, or says what is wrong with it. Blanks around the fields are
// dropped (a carriage return at the end too), so an address of blanks only is the empty text: any address.
bool ParseEndPointLine(const std::string& line, std::string& className, std::string& address, int& port,
                       std::string& problem) {
  // The reader's line buffer holds 255 bytes with the line end.
  if (line.size() >= 255) {
    problem = "the line is longer than 254 bytes";
    return false;
  }
  if (line.find('\0') != std::string::npos) {
    problem = "the line holds a NUL byte";
    return false;
  }
  const size_t first = line.find('|');
  const size_t second = first == std::string::npos ? first : line.find('|', first + 1);
  if (second == std::string::npos || line.find('|', second + 1) != std::string::npos) {
    problem = "the line is not CLASS|ADDRESS|PORT";
    return false;
  }
  className = Trimmed(line.substr(0, first));
  const std::string rawAddress = line.substr(first + 1, second - first - 1);
  address = Trimmed(rawAddress);
  const std::string portText = Trimmed(line.substr(second + 1));
  if (className.empty() || className.size() > 99) {
    problem = className.empty() ? "the class name is empty" : "the class name is longer than 99 bytes";
    return false;
  }
  if (rawAddress.empty() || address.size() > 19) {
    problem = rawAddress.empty() ? "the address is empty (one space stands for any address)"
                                 : "the address " + address + " is longer than 19 bytes";
    return false;
  }
  const bool digits = !portText.empty() && portText.size() <= 5 &&
                      portText.find_first_not_of("0123456789") == std::string::npos;
  if (!digits || std::atoi(portText.c_str()) > 65535) {
    problem = "the port " + portText + " is not a number from 0 to 65535";
    return false;
  }
  port = std::atoi(portText.c_str());
  return true;
}

}  // namespace

VELResult VELP2PParseEndPointConfig(const std::string& content, VELListValVELUnicodeString& classNames,
                                    VELListValVELUnicodeString& addresses, VELRawCollint& ports,
                                    VELP2PEndPointConfigSource* source) {
  VELP2PEndPointConfigSource ignored;
  if (!source)
    source = &ignored;
  // An empty file is no configuration: the defaults apply.
  if (content.empty())
    return VEL_E_FAIL;
  int lineNumber = 0;
  for (size_t begin = 0; begin < content.size();) {
    ++lineNumber;
    size_t end = content.find('\n', begin);
    // The last line is used whether or not a line end closes it.
    if (end == std::string::npos)
      end = content.size();
    const std::string line = content.substr(begin, end - begin);
    begin = end + 1;
    const std::string trimmed = Trimmed(line);
    if (trimmed.empty() || trimmed[0] == '#')
      continue;
    std::string className, address, problem;
    int port = 0;
    if (!ParseEndPointLine(line, className, address, port, problem)) {
      VELP2P_TRACEF(" Cannot parse <%s>: %s\n", line.c_str(), problem.c_str());
      if (source->firstSkipped == 0) {
        source->firstSkipped = lineNumber;
        source->problem = problem;
      }
      continue;
    }
    classNames.Append(VELUnicodeString(className));
    addresses.Append(VELUnicodeString(address));
    ports.Append(port);
    source->lines.push_back(lineNumber);
  }
  return VEL_S_OK;
}

VELResult VELP2PLoadEndPointConfig(const char* path, std::string& content) {
  if (!path || VELFileAccess(path, 4) != 0) {
    VELP2P_TRACEF("VELP2PReadEndPointConfig - Cannot access <%s>\n", path ? path : "");
    return VEL_E_FAIL;
  }
  std::vector<wchar_t> widePath(std::strlen(path) + 1, L'\0');
  std::mbstowcs(widePath.data(), path, widePath.size() - 1);
  int file = -1;
  VELResult opened = VELFOpen(widePath.data(), "r", file);
  if (VEL_FAILED(opened)) {
    VELP2P_TRACEF("VELP2PReadEndPointConfig - Cannot open <%s>\n", path);
    return opened;
  }
  char chunk[256];
  while (VEL_SUCCEEDED(VELFGets(chunk, sizeof(chunk), file)))
    content.append(chunk);
  VELFClose(file);
  return VEL_S_OK;
}

VELResult VELP2PReadEndPointConfig(VELListValVELUnicodeString& classNames,
                                   VELListValVELUnicodeString& addresses, VELRawCollint& ports,
                                   VELP2PEndPointConfigSource* source) {
  const char* path = VELGetEnv("VELP2PConfig");
  if (!path)
    return VEL_E_FAIL;
  std::string content;
  VELResult loaded = VELP2PLoadEndPointConfig(path, content);
  if (VEL_FAILED(loaded))
    return loaded;
  return VELP2PParseEndPointConfig(content, classNames, addresses, ports, source);
}

VELResult VELP2PRefuseEndPointConfig(const std::string& origin, int line, const std::string& problem) {
  std::string where = origin;
  if (line > 0)
    where += ":" + std::to_string(line);
  VELP2P_TRACEF("VELP2PReadEndPointConfig - %s: %s\n", where.c_str(), problem.c_str());
  return VELFail(VELP2P_ERROR_BAD_CONFIGURATION, where + ": " + problem);
}

namespace {

// Hosts longer than 49 bytes are cut to fit the callers' 50-byte buffers.
void CopyHost(char* destination, const std::string& text) {
  std::string host = CutToBytes(text, 49);
  std::memcpy(destination, host.c_str(), host.size() + 1);
}

void ReadPort(const std::string& text, int& port) {
  int value = 0;
  if (std::sscanf(text.c_str(), "%d", &value) == 1)
    port = value;
}

void ReadHostAndPort(const std::string& part, char* host, int& port) {
  size_t colon = part.find(':');
  if (colon == std::string::npos) {
    ReadPort(part, port);
    return;
  }
  CopyHost(host, part.substr(0, colon));
  ReadPort(part.substr(colon + 1), port);
}

}  // namespace

VELResult VELP2PReadConfig(char* host1, int& port1, char* host2, int& port2) {
  if (!host1 || !host2)
    return VEL_E_FAIL;
  const char* value = VELGetEnv("VELP2PPorts");
  if (!value)
    return VEL_S_OK;
  std::string text(value);
  size_t slash = text.find('/');
  if (slash == std::string::npos) {
    ReadHostAndPort(text, host1, port1);
    return VEL_S_OK;
  }
  ReadHostAndPort(text.substr(0, slash), host1, port1);
  std::string second = text.substr(slash + 1);
  size_t colon = second.find(':');
  if (colon != std::string::npos) {
    CopyHost(host2, second.substr(0, colon));
    ReadPort(second.substr(colon + 1), port2);
  }
  return VEL_S_OK;
}

VELResult VELP2PSplitGroup(const VELUnicodeString& path, VELUnicodeString& parent, VELUnicodeString& last) {
  const std::string& text = path.Str();
  size_t separator = text.rfind('/');
  if (separator == std::string::npos)
    return VEL_E_FAIL;
  parent = VELUnicodeString(text.substr(0, separator));
  last = VELUnicodeString(text.substr(separator + 1));
  return VEL_S_OK;
}
