#include "VELSpyDecoder.h"

#include <cstring>
#include <initializer_list>
#include <vector>

#include "VELConsoleLine.h"
#include "VELConsoleText.h"

namespace {

const size_t kFixedPart = 88;
const size_t kNameField = 32;
const uint8_t kWhole = 0x02, kByTcp = 0x08, kByMulticast = 0x10, kFirst = 0x20, kMiddle = 0x40, kLast = 0x80;

uint16_t BE16At(const uint8_t* at) {
  return static_cast<uint16_t>(at[0] << 8 | at[1]);
}

uint32_t BE32At(const uint8_t* at) {
  return uint32_t(at[0]) << 24 | uint32_t(at[1]) << 16 | uint32_t(at[2]) << 8 | at[3];
}

// Every read checks what is left first, so nothing past the bytes received is ever touched.
class Reader {
 public:
  Reader(const uint8_t* bytes, size_t size) : _bytes(bytes), _size(size) {}
  size_t Left() const { return _size - _at; }
  bool Take(size_t count, const uint8_t*& at) {
    if (count > Left())
      return false;
    at = _bytes + _at;
    _at += count;
    return true;
  }
  bool U8(uint8_t& value) {
    const uint8_t* at = nullptr;
    return Take(1, at) && (value = *at, true);
  }
  bool BE16(uint16_t& value) {
    const uint8_t* at = nullptr;
    return Take(2, at) && (value = BE16At(at), true);
  }
  bool LE32(int32_t& value) {
    const uint8_t* at = nullptr;
    if (!Take(4, at))
      return false;
    value =
        static_cast<int32_t>(uint32_t(at[3]) << 24 | uint32_t(at[2]) << 16 | uint32_t(at[1]) << 8 | at[0]);
    return true;
  }
  // A little-endian count followed by that many bytes.
  bool Counted(std::string& bytes, std::string& reason, const char* what) {
    int32_t count = 0;
    const uint8_t* at = nullptr;
    if (!LE32(count)) {
      reason = std::string("the payload ends before the length of the ") + what;
      return false;
    }
    if (count < 0 || !Take(static_cast<size_t>(count), at)) {
      reason = std::string("a ") + what + " of " + std::to_string(count) + " bytes where " +
               std::to_string(Left()) + " are left";
      return false;
    }
    bytes.assign(reinterpret_cast<const char*>(at), static_cast<size_t>(count));
    return true;
  }

 private:
  const uint8_t* _bytes;
  size_t _size;
  size_t _at = 0;
};

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

// Decodes one payload; records its fields and summary, or the reason it is malformed.
class PayloadDecoder {
 public:
  PayloadDecoder(const uint8_t* bytes, size_t size, VELConsoleJson& json, VELSpyDecoder::Block& block,
                 VELSpyDecoder::StatusNamer statusName)
      : _reader(bytes, size),
        _bytes(bytes),
        _size(size),
        _json(json),
        _block(block),
        _statusName(statusName) {}

  void Decode(const std::string& service) {
    if (service == "AwarenessService")
      Announcement(true, {"birth", "update", "death", "nameUsed"});
    else if (service == "PeerService")
      Announcement(false, {"present", "leaving"});
    else if (service == "DiscoveryService")
      Announcement(false, {"answer", "searchRequest"});
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
  std::string Shorter(const char* what, size_t fixed) const {
    return std::string("a ") + what + " payload of " + std::to_string(_size) + " bytes, shorter than its " +
           std::to_string(fixed) + "-byte start";
  }

  void Announcement(bool awareness, std::initializer_list<const char*> kinds) {
    uint8_t kind = 0;
    uint16_t count = 0;
    int32_t pid = 0;
    if (!_reader.U8(kind) || !_reader.BE16(count) || (awareness && !_reader.LE32(pid)))
      return Fail(Shorter(awareness ? "awareness" : "peer-record", awareness ? 7 : 3));
    _json.AddText("kind", Word(kind, kinds));
    if (awareness)
      _json.AddNumber("pid", pid);
    _json.AddNumber("recordCount", count);
    std::vector<std::string> endpoints;
    std::string reason;
    for (uint16_t i = 0; i < count && reason.empty(); ++i) {
      const uint8_t* record = nullptr;
      const uint8_t length = _reader.Left() ? _bytes[_size - _reader.Left()] : 0;
      const std::string which = "endpoint record " + std::to_string(i + 1) + " of " + std::to_string(count);
      if (_reader.Left() && length < 8)
        reason = which + " is shorter than 8 bytes";
      else if (!_reader.Left() || !_reader.Take(length, record))
        reason = which + " is cut short";
      else if (record[1] == 1 || record[1] == 2)
        endpoints.push_back(std::string(record[1] == 1 ? "tcp " : "multicast ") +
                            Dotted(record + 4, record[1] == 2) + ":" + std::to_string(BE16At(record + 2)));
      else
        endpoints.push_back("kind " + std::to_string(record[1]));
    }
    _json.AddList("endpoints", endpoints);
    if (!reason.empty())
      return Fail(reason);
    _block.summary = Word(kind, kinds) + (awareness ? " pid " + std::to_string(pid) : std::string()) +
                     (endpoints.empty() ? std::string() : ": " + Joined(endpoints));
  }

  void Status() {
    uint8_t kind = 0;
    int32_t status = 0;
    std::string description, reason;
    if (!_reader.U8(kind) || !_reader.LE32(status))
      return Fail(Shorter("status", 5));
    const std::string word = Word(kind, {"change", "update", "birth"});
    _json.AddText("kind", word).AddNumber("status", status);
    if (_statusName)
      _json.AddText("statusName", _statusName(status));
    if (!_reader.Counted(description, reason, "description"))
      return Fail(reason);
    if (description.empty())
      return Fail("an empty description array: an empty description travels as one zero byte");
    if (description == std::string(1, '\0'))
      description.clear();
    _json.AddText("description", description);
    _block.summary = word + " " + std::to_string(status) +
                     (_statusName ? std::string(" (") + _statusName(status) + ")" : std::string()) + " " +
                     VELConsoleText::Quoted(description);
  }

  void Chat() {
    uint8_t type = 0;
    std::string header, reason;
    if (!_reader.U8(type))
      return Fail(Shorter("message", 5));
    _json.AddNumber("type", type);
    if (!_reader.Counted(header, reason, "header"))
      return Fail(reason);
    const size_t data = _reader.Left();
    _json.AddText("header", header)
        .AddNumber("dataLength", static_cast<int64_t>(data))
        .AddText("dataHex", VELConsoleLine::Hex(reinterpret_cast<const char*>(_bytes + _size - data), data));
    _block.summary = "message type " + std::to_string(type) + ", header " + VELConsoleText::Quoted(header) +
                     ", " + std::to_string(data) + " data bytes";
  }

  void Session() {
    uint8_t event = 0;
    int32_t type = 0;
    std::string name, reason;
    if (!_reader.U8(event) || !_reader.LE32(type))
      return Fail(Shorter("session", 9));
    const std::string word = Word(event, {"opened", "closed"});
    _json.AddText("event", word).AddNumber("sessionType", type);
    if (!_reader.Counted(name, reason, "peer name"))
      return Fail(reason);
    if (name.empty())
      return Fail("a session without the other peer's name");
    _json.AddText("otherPeer", name);
    _block.summary = word + " type " + std::to_string(type) + " with " + VELConsoleText::Quoted(name);
  }

  void Group() {
    const void* end = _size ? std::memchr(_bytes, 0, _size) : nullptr;
    if (!end)
      return Fail("a group publication without its zero byte");
    const std::string component(reinterpret_cast<const char*>(_bytes),
                                static_cast<size_t>(static_cast<const uint8_t*>(end) - _bytes));
    _json.AddText("component", component);
    _block.summary = "publishes " + VELConsoleText::Quoted(component);
  }

  void Unknown() {
    _json.AddText("payloadHex", VELConsoleLine::Hex(reinterpret_cast<const char*>(_bytes), _size));
    _block.summary = std::to_string(_size) + " payload bytes";
  }

  Reader _reader;
  const uint8_t* _bytes;
  size_t _size;
  VELConsoleJson& _json;
  VELSpyDecoder::Block& _block;
  VELSpyDecoder::StatusNamer _statusName;
};

// A name field: its text up to the zero byte, or all 32 bytes when the zero is missing.
bool NameField(const uint8_t* at, std::string& name) {
  const void* end = std::memchr(at, 0, kNameField);
  size_t length = end ? static_cast<size_t>(static_cast<const uint8_t*>(end) - at) : kNameField;
  name.assign(reinterpret_cast<const char*>(at), length);
  return end != nullptr;
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
  if (!bytes || size < kFixedPart) {
    fail(std::to_string(size) + " bytes, fewer than the " + std::to_string(kFixedPart) +
         " of the fixed part");
    json.AddText("malformed", block.malformed);
    return block;
  }
  const uint32_t total = BE32At(bytes);
  const uint16_t headerLength = BE16At(bytes + 4), groupOffset = BE16At(bytes + 8),
                 groupLength = BE16At(bytes + 10);
  const uint8_t version = bytes[6], mode = bytes[7];
  json.AddNumber("totalLength", total)
      .AddNumber("headerLength", headerLength)
      .AddNumber("version", version)
      .AddNumber("mode", mode)
      .AddText("modeFlags", ModeFlags(mode))
      .AddNumber("groupOffset", groupOffset)
      .AddNumber("groupLength", groupLength);
  if (!NameField(bytes + 12, block.serviceName))
    fail("serviceName without its zero byte");
  if (!NameField(bytes + 44, block.senderName))
    fail("senderName without its zero byte");
  json.AddText("serviceName", block.serviceName).AddText("senderName", block.senderName);

  // The last twelve bytes of the fixed part: the multicast record's address is kept reversed, and a fragment
  // puts its group identifier (and, first, the total length) in place of an address or the ports.
  const bool whole = (mode & kWhole) != 0;
  const char* fragment = whole              ? nullptr
                         : (mode & kFirst)  ? "first"
                         : (mode & kMiddle) ? "middle"
                         : (mode & kLast)   ? "last"
                                            : nullptr;
  const bool last = fragment && fragment[0] == 'l', first = fragment && fragment[0] == 'f';
  if (fragment)
    json.AddText("fragment", fragment);
  if (last)
    json.AddNumber("MsgGrpId", BE32At(bytes + 76));
  else
    json.AddText("senderAddress", Dotted(bytes + 76, (mode & kByMulticast) != 0));
  if (fragment && !last)
    json.AddNumber("MsgGrpId", BE32At(bytes + 80));
  else
    json.AddText("otherAddress", Dotted(bytes + 80, (mode & kByTcp) != 0));
  if (first)
    json.AddNumber("totalPayloadLength", BE32At(bytes + 84));
  else
    json.AddNumber("senderPort", BE16At(bytes + 84)).AddNumber("otherPort", BE16At(bytes + 86));

  std::string structure;
  if (total > size)
    structure =
        "totalLength " + std::to_string(total) + " beyond the " + std::to_string(size) + " bytes received";
  else if (headerLength < kFixedPart)
    structure = "headerLength " + std::to_string(headerLength) + " below 88";
  else if (total < headerLength)
    structure =
        "totalLength " + std::to_string(total) + " below headerLength " + std::to_string(headerLength);
  else if (groupOffset < kFixedPart || size_t(groupOffset) + groupLength > headerLength)
    structure = "the group path (offset " + std::to_string(groupOffset) + ", " + std::to_string(groupLength) +
                " bytes) lies outside the header";
  if (!structure.empty()) {
    fail(structure);
    json.AddText("malformed", block.malformed);
    return block;
  }
  if (version == 0)
    fail("version 0, which peers ignore");
  if (!whole && !fragment)
    fail("mode 0x" + VELConsoleLine::Hex(reinterpret_cast<const char*>(&mode), 1) +
         " is neither a whole message nor a fragment");
  block.group.assign(reinterpret_cast<const char*>(bytes + groupOffset), groupLength);
  const size_t payload = total - headerLength;
  json.AddText("group", block.group).AddNumber("payloadLength", static_cast<int64_t>(payload));
  if (size > total)
    json.AddNumber("extraBytes", static_cast<int64_t>(size - total));
  if (fragment) {
    block.summary = std::string(fragment) + " fragment of group " +
                    std::to_string(BE32At(bytes + (last ? 76 : 80))) + ", " + std::to_string(payload) +
                    " payload bytes" + (first ? " of " + std::to_string(BE32At(bytes + 84)) : std::string());
  } else if (whole) {
    PayloadDecoder(bytes + headerLength, payload, json, block, _statusName).Decode(block.serviceName);
  }
  if (!block.malformed.empty())
    json.AddText("malformed", block.malformed);
  return block;
}
