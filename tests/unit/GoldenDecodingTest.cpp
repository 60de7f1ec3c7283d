// Every golden block read by the library's own readers and by the console's spy, both held to the one
// expectation tests/golden/decoded.txt writes down for the block; the dissector test holds tshark to it too.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "VELConsoleJsonReader.h"
#include "VELConsoleLine.h"
#include "VELSpyDecoder.h"
#include "support/GoldenVectors.h"
#include "velp2p/VELP2PHeader.h"
#include "velp2p/VELP2PPeerInfo.h"
#include "wire/VELByteOrder.h"
#include "wire/VELP2PHeaderFields.h"
#include "wire/VELP2PPayloads.h"

namespace {

typedef std::map<std::string, std::string> Fields;

std::string Byte(unsigned value) {
  char text[8];
  std::snprintf(text, sizeof(text), "0x%02x", value & 0xFF);
  return text;
}

std::string Dotted(const uint8_t* at, bool reversed) {
  std::string text;
  for (int i = 0; i < 4; ++i)
    text += (i ? "." : "") + std::to_string(at[reversed ? 3 - i : i]);
  return text;
}

std::string Text(const char* bytes, int count) {
  return std::string(bytes ? bytes : "", static_cast<size_t>(count));
}

// The records as a peer's directory keeps them.
bool Records(const char* bytes, int size, uint16_t count, Fields& out) {
  VELP2PPeerInfo info(VELUnicodeString("golden"), count, VELUnicodeString("/"));
  if (VEL_FAILED(info.Initialize(bytes, size)))
    return false;
  std::string addresses, ports;
  if (VELListPtrVELP2PEndPointInfo* list = info.GetEndPointsInfoList()) {
    for (const VELP2PEndPointInfo* record : *list) {
      const auto* raw = reinterpret_cast<const uint8_t*>(record);
      addresses += (addresses.empty() ? "" : ",") + Dotted(raw + offsetof(VELP2PEndPointInfo, address),
                                                           record->kind == VELP2P_ENDPOINT_MULTICAST);
      ports += (ports.empty() ? "" : ",") + std::to_string(VELP2PLoadU16BE(&record->port));
    }
  }
  out.insert({{"records", std::to_string(count)}, {"record.address", addresses}, {"record.port", ports}});
  return true;
}

// What the library reads: the header as every endpoint checks it, the fragment fields as the reassembler
// takes them, and the payload with the reader of the service it names.
Fields Library(const std::vector<uint8_t>& block) {
  VELP2PHeaderFields header;
  if (!VELP2PHeaderFields::Read(block.data(), block.size(), header))
    return {{"refused", "header"}};
  Fields out = {{"totalLength", std::to_string(header.totalLength)},
                {"headerLength", std::to_string(header.headerLength)},
                {"version", std::to_string(header.version)},
                {"mode", Byte(header.mode)},
                {"groupOffset", std::to_string(header.groupOffset)},
                {"groupLength", std::to_string(header.groupLength)},
                {"serviceName", header.serviceName},
                {"senderName", header.senderName},
                {"group", Text(reinterpret_cast<const char*>(header.group), header.groupLength)}};
  const uint8_t* fixed = header.fixedPart;
  const bool whole = header.mode & VELP2P_MESSAGE_SINGLE, multicast = header.mode & VELP2P_MESSAGE_MULTICAST;
  const bool first = !whole && (header.mode & VELP2P_MESSAGE_GROUP_BEGIN);
  const bool middle = !whole && !first && (header.mode & VELP2P_MESSAGE_GROUP_MIDDLE);
  const bool last = !whole && !first && !middle && (header.mode & VELP2P_MESSAGE_GROUP_END);
  if (first || middle || last)
    out["MsgGrpId"] = std::to_string(header.MsgGrpId());
  if (!last)
    out["senderAddress"] = Dotted(fixed + offsetof(VELP2PHeaderFixedPart, senderAddress), multicast);
  if (whole || last)
    out["otherAddress"] = Dotted(fixed + offsetof(VELP2PHeaderFixedPart, otherAddress), !multicast);
  if (first) {
    out["totalPayloadLength"] = std::to_string(header.AnnouncedTotal());
  } else {
    out["senderPort"] = std::to_string(VELP2PLoadU16BE(fixed + offsetof(VELP2PHeaderFixedPart, senderPort)));
    out["otherPort"] = std::to_string(VELP2PLoadU16BE(fixed + offsetof(VELP2PHeaderFixedPart, otherPort)));
  }
  if (!whole)
    return out;

  const char* payload = reinterpret_cast<const char*>(block.data()) + header.headerLength;
  const size_t size = header.totalLength - header.headerLength;
  const std::string service = header.serviceName;
  Fields read;  // the payload's fields, when its reader takes it
  bool taken = true;
  if (service == "AwarenessService") {
    VELP2PAnnouncement a;
    taken = VELP2PReadAnnouncement(payload, size, a) && Records(a.records, a.recordBytes, a.count, read);
    read.insert({{"awareness.command", Byte(a.kind)}, {"awareness.pid", std::to_string(a.processId)}});
  } else if (service == "PeerService" || service == "DiscoveryService") {
    VELP2PPeerRecords p;
    taken = VELP2PReadPeerRecords(payload, size, p) && Records(p.records, p.recordBytes, p.count, read);
    read[service == "PeerService" ? "peer.command" : "discovery.command"] = Byte(p.command);
  } else if (service == "StatusService") {
    VELP2PStatusPayload p;
    if ((taken = VELP2PReadStatus(payload, size, p)))
      read = {{"status.kind", Byte(p.kind)},
              {"status.status", std::to_string(p.status)},
              {"status.description", Text(p.desc, p.descBytes)}};
  } else if (service == "VELP2PChatService") {
    VELP2PChatPayload p;
    if ((taken = VELP2PReadChat(payload, size, p)))
      read = {{"chat.type", std::to_string(p.type)}, {"chat.header", Text(p.header, p.headerBytes)}};
    if (taken && p.dataBytes > 0)
      read["chat.data"] = VELConsoleLine::Hex(p.data, static_cast<size_t>(p.dataBytes));
  } else if (service == "VELP2PSessionService") {
    VELP2PSessionPayload p;
    if ((taken = VELP2PReadSession(payload, size, p)))
      read = {{"session.event", Byte(p.event)},
              {"session.type", std::to_string(p.sessionType)},
              {"session.peerName", Text(p.name, p.nameBytes)}};
  } else if (service == "GroupService") {
    taken = VELP2PReadGroupComponent(payload, size, read["group.component"]);
  }
  // A refused payload is read no further than its header.
  if (!taken)
    read = {{"refused", "yes"}};
  out.insert(read.begin(), read.end());
  return out;
}

// What the spy prints with --json, under the table's names.
Fields Spy(const std::vector<uint8_t>& block) {
  VELConsoleJson json;
  VELSpyDecoder().Decode(block.data(), block.size(), false, json);
  VELConsoleJsonReader record;
  EXPECT_TRUE(record.Parse(json.Text())) << json.Text();
  static const std::map<std::string, std::string> kRenamed = {
      {"pid", "awareness.pid"},        {"recordCount", "records"},
      {"status", "status.status"},     {"description", "status.description"},
      {"type", "chat.type"},           {"header", "chat.header"},
      {"sessionType", "session.type"}, {"otherPeer", "session.peerName"},
      {"component", "group.component"}};
  static const char* const kHeader[] = {"totalLength",        "headerLength", "version",    "groupOffset",
                                        "groupLength",        "serviceName",  "senderName", "senderAddress",
                                        "otherAddress",       "senderPort",   "otherPort",  "MsgGrpId",
                                        "totalPayloadLength", "group"};
  Fields out;
  for (const char* key : kHeader) {
    if (record.Has(key))
      out[key] = record.Fields().at(key).text;
  }
  for (const auto& [key, name] : kRenamed) {
    if (record.Has(key))
      out[name] = record.Fields().at(key).text;
  }
  out["mode"] = Byte(static_cast<unsigned>(record.Number("mode")));
  if (!record.Text("dataHex").empty())
    out["chat.data"] = record.Text("dataHex");
  if (record.Has("malformed"))
    out["refused"] = "yes";
  // The spy names the command bytes, in the order of their digits.
  static const std::map<std::string, std::pair<std::string, std::vector<std::string>>> kWords = {
      {"AwarenessService", {"awareness.command", {"birth", "update", "death", "nameUsed"}}},
      {"PeerService", {"peer.command", {"present", "leaving"}}},
      {"DiscoveryService", {"discovery.command", {"answer", "searchRequest"}}},
      {"StatusService", {"status.kind", {"change", "update", "birth"}}},
      {"VELP2PSessionService", {"session.event", {"opened", "closed"}}}};
  const auto words = kWords.find(record.Text("serviceName"));
  const std::string said = record.Text(record.Has("event") ? "event" : "kind");
  if (words != kWords.end() && !said.empty()) {
    const auto& list = words->second.second;
    const size_t digit = std::find(list.begin(), list.end(), said) - list.begin();
    out[words->second.first] = digit < list.size() ? Byte('0' + static_cast<unsigned>(digit)) : said;
  }
  std::string addresses, ports;
  for (const std::string& endpoint : record.List("endpoints")) {
    const size_t space = endpoint.find(' '), colon = endpoint.rfind(':');
    addresses += (addresses.empty() ? "" : ",") + endpoint.substr(space + 1, colon - space - 1);
    ports += (ports.empty() ? "" : ",") + endpoint.substr(colon + 1);
  }
  if (record.Has("endpoints"))
    out.insert({{"record.address", addresses}, {"record.port", ports}});
  return out;
}

}  // namespace

TEST(GoldenDecoding, LibraryAndSpyReadEveryGoldenBlockAsTheTableSays) {
  const std::vector<GoldenFields> table = LoadGoldenFields();
  ASSERT_FALSE(table.empty());
  for (const GoldenFields& entry : table) {
    const std::vector<uint8_t> bytes = LoadGolden(entry.name);
    ASSERT_FALSE(bytes.empty()) << entry.name;
    EXPECT_EQ(Library(bytes), entry.fields) << entry.name;
    EXPECT_EQ(Spy(bytes), entry.fields) << entry.name;
  }
}
