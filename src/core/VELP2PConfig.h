// Free functions that learn about the machine and the user's settings: the standard peer name, the host's
// IPv4 addresses, the endpoint configuration file, the port settings and the group path split.
#ifndef VELP2P_CORE_VELP2PCONFIG_H
#define VELP2P_CORE_VELP2PCONFIG_H

#include <string>
#include <vector>

#include "host/VELRawCollint.h"
#include "velp2p/VELListValVELUnicodeString.h"
#include "velp2p/VELResult.h"
#include "velp2p/VELUnicodeString.h"

// The longest peer name the wire header carries (its field is 32 bytes with a terminator).
constexpr int kVELP2PMaxPeerNameBytes = 31;

// Bounds on what other peers can make the local peer remember: entries per directory and in the status
// store, and known sub-groups. A forged stream of announcements fills them and no further.
constexpr int kVELP2PMaxKnownPeers = 4096;
constexpr int kVELP2PMaxSubGroups = 1024;

// login "_ON_" host "#" pid, shortened as needed to fit kVELP2PMaxPeerNameBytes; always succeeds. The login
// is the account's unless one is given.
VELResult VELP2PBuildPeerName(VELUnicodeString& name, const char* login = nullptr);
// The pure rule behind VELP2PBuildPeerName, for given inputs.
VELUnicodeString VELP2PComposePeerName(const char* login, const char* host, long processId);
// The collaboration-mode name: the login (lower-cased when it starts with an upper-case letter), or the
// value of "VELP2PLogin" followed by "_KVZ"; cut to fit kVELP2PMaxPeerNameBytes.
VELUnicodeString VELP2PComposeCollaborationName(const char* login, const char* loginVariable);
// Appends the dotted IPv4 addresses the peer announces when no configuration names one (the host name's,
// or the routable address when those are loopback only: VELHostIPv4) to list (not cleared first).
VELResult VELP2PGetNetworkInterfaces(VELListValVELUnicodeString& list);
// The first of those addresses, into address (at least 16 bytes).
VELResult VELP2PBuildLocalAdrs(char* address);
// Where the entries of the endpoint configuration come from, for the messages that refuse it.
struct VELP2PEndPointConfigSource {
  std::vector<int> lines;  // the file's line number of each entry
  int firstSkipped = 0;    // the first line that gave no entry, 0 when every line gave one
  std::string problem;     // what was wrong with firstSkipped
};

// Reads the file named by "VELP2PConfig" into three parallel columns. Lines that do not parse are skipped
// (source says which was the first); blank lines and lines starting with "#" are not entries. A failure
// means there is no file to use (none named, unreadable or empty): the defaults apply.
VELResult VELP2PReadEndPointConfig(VELListValVELUnicodeString& classNames,
                                   VELListValVELUnicodeString& addresses, VELRawCollint& ports,
                                   VELP2PEndPointConfigSource* source = nullptr);
// Appends the content of the configuration file at path; VEL_E_FAIL when it cannot be read.
VELResult VELP2PLoadEndPointConfig(const char* path, std::string& content);
// Refuses the configuration for problem found at line of origin (a file path, or the name of the option
// that held the text; line 0: the configuration as a whole): records "ORIGIN:LINE: problem" as the calling
// thread's last error, traces it and returns VEL_E_FAIL.
VELResult VELP2PRefuseEndPointConfig(const std::string& origin, int line, const std::string& problem);
// The same from the configuration's content: one "class|address|port" per line, the last line with or
// without a line end, blanks around the fields ignored; VEL_E_FAIL when the content is empty.
VELResult VELP2PParseEndPointConfig(const std::string& content, VELListValVELUnicodeString& classNames,
                                    VELListValVELUnicodeString& addresses, VELRawCollint& ports,
                                    VELP2PEndPointConfigSource* source = nullptr);
// Reads "VELP2PPorts"; host1 and host2 must hold 50 bytes each.
VELResult VELP2PReadConfig(char* host1, int& port1, char* host2, int& port2);
// Splits a group path at its last "/".
VELResult VELP2PSplitGroup(const VELUnicodeString& path, VELUnicodeString& parent, VELUnicodeString& last);

#endif
