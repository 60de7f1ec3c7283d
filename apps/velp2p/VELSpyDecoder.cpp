#include "VELSpyDecoder.h"

#include <cstddef>
#include <cstring>
#include <initializer_list>
#include <vector>

#include "VELConsoleLine.h"
#include "VELConsoleText.h"
#include "velp2p/VELP2PHeader.h"
#include "wire/VELByteOrder.h"
#include "wire/VELP2PHeaderFields.h"
#include "wire/VELP2PPayloads.h"

namespace {

typedef VELP2PHeaderFields::Fault Fault;

const size_t kNameField = sizeof(VELP2PHeaderFixedPart::serviceName);

std::string Dotted(const uint8_t* at, bool reversed) {
  std::string text;
  for (int i = 0; i < 4; ++i)
    text += (i ? "." : "") + std::to_string(at[reversed ? 3 - i : i]);
  return text;
}

// The word for an ASCII-digit command byte ('0' is the first word); any other byte as 0xNN.
std::string Word(uint8_t kind, std::initializer_list<const char*> words) {
  if (kind >= '0' && size_t(kind - '0') < words.size())
    return words.begin()[kind - '0'];
  return "0x" + VELConsoleLine::Hex(reinterpret_cast<const char*>(&kind), 1);
}

std::string ModeFlags(uint8_t mode) {
  static const char* const kBits[8] = {"0x01",      "whole", "0x04",   "tcp",
                                       "multicast", "first", "middle", "last"};
  std::string text;
  for (int bit = 0; bit < 8; ++bit) {
    if (mode & (1 << bit))
      text += (text.empty() ? "" : " ") + std::string(kBits[bit]);
  }
  return text;
}

std::string Joined(const std::vector<std::string>& texts) {
  std::string joined;
  for (const std::string& text : texts)
    joined += (joined.empty() ? "" : ", ") + text;
  return joined;
}

// The endpoint records a payload carries, for people; the reason they are refused, or empty.
std::string Endpoints(const char* records, int bytes, uint16_t count, std::vector<std::string>& endpoints) {
  const uint8_t* at = reinterpret_cast<const uint8_t*>(records);
  size_t left = bytes > 0 ? static_cast<size_t>(bytes) : 0;
  for (uint16_t i = 0; i < count; ++i) {
    const std::string which = "endpoint record " + std::to_string(i + 1) + " of " + std::to_string(count);
    if (left > 0 && at[0] < sizeof(VELP2PEndPointInfo))
      return which + " is shorter than 8 bytes";
    if (left == 0 || at[0] > left)
      return which + " is cut short";
    const uint8_t kind = at[offsetof(VELP2PEndPointInfo, kind)];
    const uint8_t* address = at + offsetof(VELP2PEndPointInfo, address);
    const std::string port = std::to_string(VELP2PLoadU16BE(at + offsetof(VELP2PEndPointInfo, port)));
    const uint8_t tcp = VELP2P_ENDPOINT_UNICAST | VELP2P_ENDPOINT_STREAMS;
    if (kind == VELP2P_ENDPOINT_MULTICAST)
      endpoints.push_back("multicast " + Dotted(address, true) + ":" + port);
    else if ((kind & ~tcp) == 0 && (kind & VELP2P_ENDPOINT_UNICAST) != 0)
      endpoints.push_back("tcp " + Dotted(address, false) + ":" + port +
                          ((kind & VELP2P_ENDPOINT_STREAMS) != 0 ? " streams" : ""));
    else
      endpoints.push_back("kind " + std::to_string(kind));
    left -= at[0];
    at += at[0];
  }
  return std::string();
}

// Decodes one payload with the readers the peers use; records its fields and summary, or why peers refuse
// it.
class PayloadDecoder {
 public:
  PayloadDecoder(const uint8_t* bytes, size_t size, VELConsoleJson& json, VELSpyDecoder::Block& block,
                 VELSpyDecoder::StatusNamer statusName)
      : _data(reinterpret_cast<const char*>(bytes)),
        _size(size),
        _json(json),
        _block(block),
        _statusName(statusName) {}

  void Decode(const std::string& service) {
    if (service == "AwarenessService")
      Announcement();
    else if (service == "PeerService")
      PeerRecords({"present", "leaving", "stillPresent"});
    else if (service == "DiscoveryService")
      PeerRecords({"answer", "searchRequest"});
    else if (service == "StatusService")
      Status();
    else if (service == "VELP2PChatService")
      Chat();
    else if (service == "VELP2PSessionService")
      Session();
    else if (service == "GroupService")
      Group();
    else
      Unknown();
  }

 private:
  void Fail(const std::string& reason) {
    if (_block.malformed.empty())
      _block.malformed = reason;
  }
  // Why a payload is refused: what (with its article) and the layout it does not hold.
  void Refused(const char* what, const char* layout) {
    Fail(std::string(what) + " payload of " + std::to_string(_size) + " bytes that does not hold " + layout);
  }

  void Records(const std::string& word, uint16_t count, const char* records, int recordBytes,
               const std::string& pid) {
    _json.AddNumber("recordCount", count);
    std::vector<std::string> endpoints;
    const std::string reason = Endpoints(records, recordBytes, count, endpoints);
    _json.AddList("endpoints", endpoints);
    if (!reason.empty())
      return Fail(reason);
    _block.summary = word + pid + (endpoints.empty() ? std::string() : ": " + Joined(endpoints));
  }

  void Announcement() {
    VELP2PAnnouncement announcement;
    if (!VELP2PReadAnnouncement(_data, _size, announcement))
      return Refused("an awareness", "its 7-byte start");
    const std::string word = Word(announcement.kind, {"birth", "update", "death", "nameUsed"});
    _json.AddText("kind", word).AddNumber("pid", announcement.processId);
    Records(word, announcement.count, announcement.records, announcement.recordBytes,
            " pid " + std::to_string(announcement.processId));
  }

  void PeerRecords(std::initializer_list<const char*> commands) {
    VELP2PPeerRecords body;
    if (!VELP2PReadPeerRecords(_data, _size, body))
      return Refused("a peer-record", "its 3-byte start");
    const std::string word = Word(body.command, commands);
    _json.AddText("kind", word);
    Records(word, body.count, body.records, body.recordBytes, std::string());
  }

  void Status() {
    VELP2PStatusPayload status;
    if (!VELP2PReadStatus(_data, _size, status))
      return Refused("a status", "kind, status, a description count of 1 or more and as many bytes");
    const std::string word = Word(status.kind, {"change", "update", "birth"});
    const std::string description(status.desc ? status.desc : "", static_cast<size_t>(status.descBytes));
    _json.AddText("kind", word).AddNumber("status", status.status);
    if (_statusName)
      _json.AddText("statusName", _statusName(status.status));
    _json.AddText("description", description);
    _block.summary = word + " " + std::to_string(status.status) +
                     (_statusName ? std::string(" (") + _statusName(status.status) + ")" : std::string()) +
                     " " + VELConsoleText::Quoted(description);
  }

  void Chat() {
    VELP2PChatPayload chat;
    if (!VELP2PReadChat(_data, _size, chat))
      return Refused("a message", "type, a header count and as many bytes");
    const std::string header(chat.header, static_cast<size_t>(chat.headerBytes));
    _json.AddNumber("type", chat.type)
        .AddText("header", header)
        .AddNumber("dataLength", chat.dataBytes)
        .AddText("dataHex", VELConsoleLine::Hex(chat.data, static_cast<size_t>(chat.dataBytes)));
    _block.summary = "message type " + std::to_string(chat.type) + ", header " +
                     VELConsoleText::Quoted(header) + ", " + std::to_string(chat.dataBytes) + " data bytes";
  }

  void Session() {
    VELP2PSessionPayload session;
    if (!VELP2PReadSession(_data, _size, session))
      return Refused("a session", "event, session type, a name count of 1 or more and as many bytes");
    const std::string word = Word(session.event, {"opened", "closed"});
    const std::string name(session.name, static_cast<size_t>(session.nameBytes));
    _json.AddText("event", word).AddNumber("sessionType", session.sessionType).AddText("otherPeer", name);
    _block.summary =
        word + " type " + std::to_string(session.sessionType) + " with " + VELConsoleText::Quoted(name);
  }

  void Group() {
    std::string component;
    if (!VELP2PReadGroupComponent(_data, _size, component))
      return Fail("a group publication without its zero byte");
    _json.AddText("component", component);
    _block.summary = "publishes " + VELConsoleText::Quoted(component);
  }

  void Unknown() {
    _json.AddText("payloadHex", VELConsoleLine::Hex(_data, _size));
    _block.summary = std::to_string(_size) + " payload bytes";
  }

  const char* _data;
  size_t _size;
  VELConsoleJson& _json;
  VELSpyDecoder::Block& _block;
  VELSpyDecoder::StatusNamer _statusName;
};

// A name field: its text up to the zero byte, or all 32 bytes when the zero is missing.
std::string NameField(const uint8_t* at) {
  const void* end = std::memchr(at, 0, kNameField);
  return std::string(reinterpret_cast<const char*>(at),
                     end ? static_cast<size_t>(static_cast<const uint8_t*>(end) - at) : kNameField);
}

// Why the header is refused, or empty for a fault that leaves the rest of the block readable.
std::string Structure(Fault fault, const VELP2PHeaderFields& fields, size_t size) {
  const std::string total = "totalLength " + std::to_string(fields.totalLength);
  switch (fault) {
    case Fault::kBeyondReceived:
      return total + " beyond the " + std::to_string(size) + " bytes received";
    case Fault::kHeaderLength:
      return "headerLength " + std::to_string(fields.headerLength) + " below 88";
    case Fault::kBelowHeader:
      return total + " below headerLength " + std::to_string(fields.headerLength);
    case Fault::kGroupOutside:
      return "the group path (offset " + std::to_string(fields.groupOffset) + ", " +
             std::to_string(fields.groupLength) + " bytes) lies outside the header";
    default:
      return std::string();
  }
}

}  // namespace

VELSpyDecoder::Block VELSpyDecoder::Decode(const uint8_t* bytes, size_t size, bool datagram,
                                           VELConsoleJson& json) const {
  Block block;
  auto fail = [&block](const std::string& reason) {
    if (block.malformed.empty())
      block.malformed = reason;
  };
  json.AddNumber("bytes", static_cast<int64_t>(size));
  if (datagram && size > kMaxDatagram)
    fail("a datagram of " + std::to_string(size) + " bytes, longer than the " + std::to_string(kMaxDatagram) +
         " peers read");
  VELP2PHeaderFields fields;
  const Fault fault = VELP2PHeaderFields::Check(bytes, size, fields);
  if (fault == Fault::kShort) {
    fail(std::to_string(size) + " bytes, fewer than the " + std::to_string(VELP2P_HEADER_FIXED_SIZE) +
         " of the fixed part");
    json.AddText("malformed", block.malformed);
    return block;
  }
  const uint8_t mode = fields.mode;
  json.AddNumber("totalLength", fields.totalLength)
      .AddNumber("headerLength", fields.headerLength)
      .AddNumber("version", fields.version)
      .AddNumber("mode", mode)
      .AddText("modeFlags", ModeFlags(mode))
      .AddNumber("groupOffset", fields.groupOffset)
      .AddNumber("groupLength", fields.groupLength);
  block.serviceName = NameField(bytes + offsetof(VELP2PHeaderFixedPart, serviceName));
  block.senderName = NameField(bytes + offsetof(VELP2PHeaderFixedPart, senderName));
  json.AddText("serviceName", block.serviceName).AddText("senderName", block.senderName);

  // The last twelve bytes of the fixed part: the multicast record's address is kept reversed, and a fragment
  // puts its group identifier (and, first, the total length) in place of an address or the ports.
  const bool whole = (mode & VELP2P_MESSAGE_SINGLE) != 0;
  const char* fragment = whole                                  ? nullptr
                         : (mode & VELP2P_MESSAGE_GROUP_BEGIN)  ? "first"
                         : (mode & VELP2P_MESSAGE_GROUP_MIDDLE) ? "middle"
                         : (mode & VELP2P_MESSAGE_GROUP_END)    ? "last"
                                                                : nullptr;
  const bool last = fragment && fragment[0] == 'l', first = fragment && fragment[0] == 'f';
  if (fragment)
    json.AddText("fragment", fragment);
  if (last)
    json.AddNumber("MsgGrpId", fields.MsgGrpId());
  else
    json.AddText("senderAddress", Dotted(bytes + offsetof(VELP2PHeaderFixedPart, senderAddress),
                                         (mode & VELP2P_MESSAGE_MULTICAST) != 0));
  if (fragment && !last)
    json.AddNumber("MsgGrpId", fields.MsgGrpId());
  else
    json.AddText("otherAddress", Dotted(bytes + offsetof(VELP2PHeaderFixedPart, otherAddress),
                                        (mode & VELP2P_MESSAGE_UNICAST) != 0));
  if (first)
    json.AddNumber("totalPayloadLength", fields.AnnouncedTotal());
  else
    json.AddNumber("senderPort", VELP2PLoadU16BE(bytes + offsetof(VELP2PHeaderFixedPart, senderPort)))
        .AddNumber("otherPort", VELP2PLoadU16BE(bytes + offsetof(VELP2PHeaderFixedPart, otherPort)));

  const std::string structure = Structure(fault, fields, size);
  if (!structure.empty()) {
    fail(structure);
    json.AddText("malformed", block.malformed);
    return block;
  }
  // A name without its zero byte is shown cut at 32 bytes; the rest of the block still reads.
  if (fault == Fault::kServiceUnterminated || fault == Fault::kSenderUnterminated)
    fail(std::string(fault == Fault::kServiceUnterminated ? "serviceName" : "senderName") +
         " without its zero byte");
  if (fields.version == 0)
    fail("version 0, which peers ignore");
  if (!whole && !fragment)
    fail("mode 0x" + VELConsoleLine::Hex(reinterpret_cast<const char*>(&mode), 1) +
         " is neither a whole message nor a fragment");
  block.group.assign(reinterpret_cast<const char*>(fields.group), fields.groupLength);
  const size_t payload = fields.totalLength - fields.headerLength;
  json.AddText("group", block.group).AddNumber("payloadLength", static_cast<int64_t>(payload));
  if (size > fields.totalLength)
    json.AddNumber("extraBytes", static_cast<int64_t>(size - fields.totalLength));
  if (fragment) {
    block.summary = std::string(fragment) + " fragment of group " + std::to_string(fields.MsgGrpId()) + ", " +
                    std::to_string(payload) + " payload bytes" +
                    (first ? " of " + std::to_string(fields.AnnouncedTotal()) : std::string());
  } else if (whole) {
    PayloadDecoder(bytes + fields.headerLength, payload, json, block, _statusName).Decode(block.serviceName);
  }
  if (!block.malformed.empty())
    json.AddText("malformed", block.malformed);
  return block;
}
