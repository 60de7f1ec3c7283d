#include "VELDemoTranscript.h"

#include <cstdio>

namespace {

// The bytes written as lower-case hexadecimal; an odd or bad digit ends the decoding.
std::string FromHex(const std::string& hex) {
  std::string bytes;
  auto digit = [](char c) {
    return c >= '0' && c <= '9' ? c - '0' : (c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1);
  };
  for (size_t i = 0; i + 1 < hex.size(); i += 2) {
    int high = digit(hex[i]);
    int low = digit(hex[i + 1]);
    if (high < 0 || low < 0)
      break;
    bytes += static_cast<char>(high * 16 + low);
  }
  return bytes;
}

std::string Data(const VELConsoleJsonReader& record) {
  std::string hex = record.Text("dataHex");
  std::string bytes = FromHex(hex);
  for (char c : bytes) {
    unsigned char byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte >= 0x7f)
      return std::to_string(bytes.size()) + " bytes hex:" + hex;
  }
  return "\"" + bytes + "\"";
}

std::string Joined(const std::vector<std::string>& items) {
  if (items.empty())
    return "none";
  std::string text;
  for (const std::string& item : items)
    text += (text.empty() ? "" : ", ") + item;
  return text;
}

void Line(const std::string& text) {
  std::fputs(text.c_str(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

std::string Stamp(double seconds, const std::string& who) {
  char text[64];
  std::snprintf(text, sizeof(text), "%7.3fs  %-6s ", seconds, who.c_str());
  return text;
}

}  // namespace

std::string VELDemoTranscript::Describe(const VELConsoleJsonReader& record) {
  if (record.Has("command")) {
    std::string command = record.Text("command");
    if (record.Has("error"))
      return command + " -> error: " + record.Text("error");
    int64_t result = record.Number("result");
    std::string text = command + " -> " + (result >= 0 ? "ok" : "failed (" + std::to_string(result) + ")");
    for (const auto& field : record.Fields()) {
      if (field.first == "command" || field.first == "result")
        continue;
      const VELConsoleJsonValue& value = field.second;
      text += ", " + field.first + " ";
      if (value.kind == VELConsoleJsonValue::kList) {
        text += "[" + Joined(value.items) + "]";
      } else if (value.kind == VELConsoleJsonValue::kString) {
        text += "\"" + value.text + "\"";
      } else {
        text += value.text;
      }
    }
    return text;
  }
  std::string event = record.Text("event");
  std::string peer = record.Text("peerName");
  if (event == "VELP2PInitPeerNotif")
    return "started as " + peer;
  if (event == "VELP2PClosePeerNotif")
    return peer + " is closing";
  if (event == "VELP2PPeerSearchNotif")
    return "searches every group";
  if (event == "VELP2PPeerBirthNotif")
    return "sees " + peer + " online";
  if (event == "VELP2PPeerDeathNotif")
    return "sees " + peer + " go offline";
  if (event == "VELP2PPeerCreatNotif")
    return "sees " + peer + " in its group";
  if (event == "VELP2PPeerDestructNotif")
    return "sees " + peer + " leave its group";
  if (event == "VELP2PChangeStatusNotif") {
    return "sees " + peer + "'s status " + std::to_string(record.Number("status")) + " \"" +
           record.Text("description") + "\"";
  }
  if (event == "VELP2PCrossGroupPeerCreatNotif")
    return "knows " + peer + " in " + record.Text("groupName");
  if (event == "VELP2PSearchResultNotif")
    return "found " + peer + " in " + record.Text("groupName");
  if (event == "VELP2PMessageReceivedNotif") {
    return "message from " + peer + " (type " + std::to_string(record.Number("type")) + ", header \"" +
           record.Text("header") + "\"): " + Data(record);
  }
  if (event == "VELP2PSessionNotif") {
    int64_t type = record.Number("eventType");
    std::string what = type == '0' ? "opened" : (type == '1' ? "closed" : "event " + std::to_string(type));
    return "session " + std::to_string(record.Number("sessionType")) + " " + what + " with " + peer;
  }
  if (event == "VELP2PCurrentGroupModifNotif")
    return "is now in " + record.Text("currentGroup");
  if (event == "VELP2PSubGroupModifNotif") {
    return "knows the sub-groups of " + record.Text("currentGroup") + ": " + Joined(record.List("subGroups"));
  }
  return event + " " + peer;
}

void VELDemoTranscript::Heading(const std::string& title) {
  Line("\n== " + title + "\n");
}

void VELDemoTranscript::Sent(double seconds, const std::string& who, const std::string& line) {
  Line(Stamp(seconds, who) + "> " + line);
}

void VELDemoTranscript::Received(double seconds, const std::string& who, const std::string& line,
                                 const VELConsoleJsonReader& record) {
  bool parsed = record.Has("event") || record.Has("command");
  Line(Stamp(seconds, who) + "  " + (parsed ? Describe(record) : "(not a record) " + line));
}

void VELDemoTranscript::Checked(bool seen, const std::string& what, const std::string& detail) {
  Line(std::string(seen ? "                  ok       " : "                  MISSING  ") + what +
       (detail.empty() ? "" : " -- " + detail));
}

void VELDemoTranscript::Note(const std::string& text) {
  Line(text);
}
