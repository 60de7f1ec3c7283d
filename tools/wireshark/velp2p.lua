-- Wireshark dissector for velp2p: the multicast datagrams (UDP 2678 and the ports of the "udp_ports"
-- preference) and the TCP connections, whether they carry one block or, after a hello, many blocks with
-- acknowledgements coming back (recognised by their fixed part or hello, or by the "tcp_ports" preference). Field names follow docs/PROTOCOL.md. Texts are UTF-8, so that a filter such as
-- velp2p.status.description == "café ☕" finds what a peer typed.
--
--   tshark -X lua_script:tools/wireshark/velp2p.lua -r capture.pcapng -Y velp2p
--   tshark -X lua_script:tools/wireshark/velp2p.lua -o velp2p.udp_ports:26780 -r capture.pcapng
-- or copy the file into ~/.local/lib/wireshark/plugins/.

local velp2p = Proto("velp2p", "velp2p peer-to-peer protocol")

local FIXED = 88
local MAX_BLOCK = 4 * 1024 * 1024
local DEFAULT_UDP_PORT = 2678

local SINGLE, UNICAST, MULTICAST = 0x02, 0x08, 0x10
local FIRST, MIDDLE, LAST = 0x20, 0x40, 0x80

local HELLO_VERSION = 1
local record_kinds = { [1] = "TCP", [2] = "multicast", [5] = "TCP, many blocks per connection" }
local awareness_commands = {
  [0x30] = "birth", [0x31] = "update", [0x32] = "death", [0x33] = "name already used",
}
local status_kinds = { [0x30] = "change", [0x31] = "update", [0x32] = "birth" }
local session_events = { [0x30] = "opened", [0x31] = "closed" }
local peer_commands = { [0x30] = "present", [0x31] = "leaving" }
local discovery_commands = { [0x30] = "answer", [0x31] = "search request" }

local f = {
  totalLength = ProtoField.uint32("velp2p.totalLength", "totalLength"),
  headerLength = ProtoField.uint16("velp2p.headerLength", "headerLength"),
  version = ProtoField.uint8("velp2p.version", "version"),
  mode = ProtoField.uint8("velp2p.mode", "mode", base.HEX),
  mode_single = ProtoField.bool("velp2p.mode.single", "whole message", 8, nil, SINGLE),
  mode_tcp = ProtoField.bool("velp2p.mode.tcp", "sent by TCP", 8, nil, UNICAST),
  mode_multicast = ProtoField.bool("velp2p.mode.multicast", "sent by multicast", 8, nil, MULTICAST),
  mode_first = ProtoField.bool("velp2p.mode.first", "first fragment", 8, nil, FIRST),
  mode_middle = ProtoField.bool("velp2p.mode.middle", "middle fragment", 8, nil, MIDDLE),
  mode_last = ProtoField.bool("velp2p.mode.last", "last fragment", 8, nil, LAST),
  groupOffset = ProtoField.uint16("velp2p.groupOffset", "groupOffset"),
  groupLength = ProtoField.uint16("velp2p.groupLength", "groupLength"),
  serviceName = ProtoField.stringz("velp2p.serviceName", "serviceName"),
  senderName = ProtoField.stringz("velp2p.senderName", "senderName"),
  senderAddress = ProtoField.ipv4("velp2p.senderAddress", "senderAddress"),
  otherAddress = ProtoField.ipv4("velp2p.otherAddress", "otherAddress"),
  senderPort = ProtoField.uint16("velp2p.senderPort", "senderPort"),
  otherPort = ProtoField.uint16("velp2p.otherPort", "otherPort"),
  MsgGrpId = ProtoField.uint32("velp2p.MsgGrpId", "MsgGrpId"),
  totalPayloadLength = ProtoField.uint32("velp2p.totalPayloadLength", "total payload length"),
  group = ProtoField.string("velp2p.group", "group path"),
  payload = ProtoField.bytes("velp2p.payload", "payload"),

  record = ProtoField.none("velp2p.record", "endpoint record"),
  record_length = ProtoField.uint8("velp2p.record.length", "length"),
  record_kind = ProtoField.uint8("velp2p.record.kind", "kind", base.DEC, record_kinds),
  record_port = ProtoField.uint16("velp2p.record.port", "port"),
  record_address = ProtoField.ipv4("velp2p.record.address", "address"),
  record_count = ProtoField.uint16("velp2p.records", "N, number of endpoint records"),

  awareness_command = ProtoField.uint8("velp2p.awareness.command", "command", base.HEX, awareness_commands),
  awareness_pid = ProtoField.uint32("velp2p.awareness.pid", "process id"),

  status_kind = ProtoField.uint8("velp2p.status.kind", "kind", base.HEX, status_kinds),
  status_status = ProtoField.int32("velp2p.status.status", "status"),
  status_descriptionLength = ProtoField.uint32("velp2p.status.descriptionLength", "description length"),
  status_description = ProtoField.string("velp2p.status.description", "description", base.UNICODE),

  chat_type = ProtoField.uint8("velp2p.chat.type", "message type"),
  chat_headerLength = ProtoField.uint32("velp2p.chat.headerLength", "H, header text length"),
  chat_header = ProtoField.string("velp2p.chat.header", "header text", base.UNICODE),
  chat_data = ProtoField.bytes("velp2p.chat.data", "data"),

  session_event = ProtoField.uint8("velp2p.session.event", "event", base.HEX, session_events),
  session_type = ProtoField.uint32("velp2p.session.type", "session type"),
  session_nameLength = ProtoField.uint32("velp2p.session.nameLength", "n, length of the peer name"),
  session_peerName = ProtoField.string("velp2p.session.peerName", "peer name", base.UNICODE),

  peer_command = ProtoField.uint8("velp2p.peer.command", "command", base.HEX, peer_commands),
  discovery_command = ProtoField.uint8("velp2p.discovery.command", "command", base.HEX, discovery_commands),
  trailer = ProtoField.uint32("velp2p.trailer", "zero, ignored"),

  group_component = ProtoField.stringz("velp2p.group.component", "group name component", base.UNICODE),

  hello_version = ProtoField.uint8("velp2p.hello.version", "hello: many blocks follow, version"),
  ack_count = ProtoField.uint32("velp2p.ack.count", "blocks taken", base.DEC, nil, 0x7FFFFFFF),
  ack_closing = ProtoField.bool("velp2p.ack.closing", "closing", 32, nil, 0x80000000),
}
velp2p.fields = f

local e_short = ProtoExpert.new("velp2p.short", "Payload shorter than its fields", expert.group.MALFORMED,
  expert.severity.ERROR)
local e_bounds = ProtoExpert.new("velp2p.bounds", "Field points outside the block", expert.group.MALFORMED,
  expert.severity.ERROR)
local e_fragment = ProtoExpert.new("velp2p.fragment", "Fragment: the payload is a piece of a split message",
  expert.group.REASSEMBLE, expert.severity.NOTE)
velp2p.experts = { e_short, e_bounds, e_fragment }

velp2p.prefs.udp_ports = Pref.range("Extra UDP ports", "", "Multicast ports besides 2678", 65535)
velp2p.prefs.tcp_ports = Pref.range("TCP ports", "", "TCP endpoint ports to decode without the heuristic",
  65535)
velp2p.prefs.heuristic = Pref.bool("Recognise TCP blocks heuristically", true,
  "Try every TCP connection whose first bytes look like a velp2p fixed part")

-- Adds a text field over range, read as UTF-8 (a plain add would take the bytes for ASCII).
local function add_text(tree, field, range)
  return tree:add_packet_field(field, range, ENC_UTF_8)
end

-- Endpoint records: the address of a multicast record is stored with its components reversed.
local function add_records(tree, tvb, offset, count, limit)
  for _ = 1, count do
    if offset + 8 > limit then
      tree:add_proto_expert_info(e_short, "endpoint records run past the payload")
      return limit
    end
    local length = tvb(offset, 1):uint()
    local kind = tvb(offset + 1, 1):uint()
    local sub = tree:add(f.record, tvb(offset, math.max(8, math.min(length, limit - offset))))
    sub:add(f.record_length, tvb(offset, 1))
    sub:add(f.record_kind, tvb(offset + 1, 1))
    sub:add(f.record_port, tvb(offset + 2, 2))
    if kind == 2 then
      sub:add_le(f.record_address, tvb(offset + 4, 4))
    else
      sub:add(f.record_address, tvb(offset + 4, 4))
    end
    sub:append_text(string.format(" (%s %s:%d)", record_kinds[kind] or "kind " .. kind,
      kind == 2 and string.format("%d.%d.%d.%d", tvb(offset + 7, 1):uint(), tvb(offset + 6, 1):uint(),
        tvb(offset + 5, 1):uint(), tvb(offset + 4, 1):uint()) or tostring(tvb(offset + 4, 4):ipv4()),
      tvb(offset + 2, 2):uint()))
    if length < 8 then
      sub:add_proto_expert_info(e_bounds, "record shorter than 8 bytes")
      return limit
    end
    if offset + length > limit then
      sub:add_proto_expert_info(e_short, "endpoint record runs past the payload")
      return limit
    end
    offset = offset + length
  end
  return offset
end

local function need(tree, tvb, offset, count, limit)
  if offset + count > limit then
    tree:add_proto_expert_info(e_short)
    return false
  end
  return true
end

-- A 32-bit little-endian length, then that many bytes of text; returns the offset after the text, or nil
-- when the text runs past the payload or is shorter than minimum bytes.
local function add_counted(tree, tvb, offset, limit, length_field, text_field, minimum)
  local length = tvb(offset, 4):le_uint()
  tree:add_le(length_field, tvb(offset, 4))
  if offset + 4 + length > limit then
    tree:add_proto_expert_info(e_bounds, "text runs past the payload")
    return nil
  end
  if length < minimum then
    tree:add_proto_expert_info(e_bounds, "empty text, which peers refuse")
    return nil
  end
  if length > 0 then add_text(tree, text_field, tvb(offset + 4, length)) end
  return offset + 4 + length
end

-- A command or kind byte, a 32-bit little-endian number, then a counted text of at least one byte: status
-- (an empty description travels as one zero byte) and session payloads.
local function byte_int_text(byte_field, int_field, length_field, text_field)
  return function(tree, tvb, offset, limit)
    if not need(tree, tvb, offset, 9, limit) then return end
    tree:add(byte_field, tvb(offset, 1))
    tree:add_le(int_field, tvb(offset + 1, 4))
    add_counted(tree, tvb, offset + 5, limit, length_field, text_field, 1)
  end
end

local function records_payload(command_field)
  return function(tree, tvb, offset, limit)
    if not need(tree, tvb, offset, 3, limit) then return end
    tree:add(command_field, tvb(offset, 1))
    local count = tvb(offset + 1, 2):uint()
    tree:add(f.record_count, tvb(offset + 1, 2))
    offset = add_records(tree, tvb, offset + 3, count, limit)
    if offset + 4 <= limit then tree:add(f.trailer, tvb(offset, 4)) end
  end
end

local payloads = {
  AwarenessService = function(tree, tvb, offset, limit)
    if not need(tree, tvb, offset, 7, limit) then return end
    tree:add(f.awareness_command, tvb(offset, 1))
    local count = tvb(offset + 1, 2):uint()
    tree:add(f.record_count, tvb(offset + 1, 2))
    tree:add_le(f.awareness_pid, tvb(offset + 3, 4))
    add_records(tree, tvb, offset + 7, count, limit)
  end,

  StatusService = byte_int_text(f.status_kind, f.status_status, f.status_descriptionLength,
    f.status_description),

  VELP2PChatService = function(tree, tvb, offset, limit)
    if not need(tree, tvb, offset, 5, limit) then return end
    tree:add(f.chat_type, tvb(offset, 1))
    local data = add_counted(tree, tvb, offset + 1, limit, f.chat_headerLength, f.chat_header, 0)
    if data and data < limit then tree:add(f.chat_data, tvb(data, limit - data)) end
  end,

  VELP2PSessionService = byte_int_text(f.session_event, f.session_type, f.session_nameLength,
    f.session_peerName),

  PeerService = records_payload(f.peer_command),
  DiscoveryService = records_payload(f.discovery_command),

  GroupService = function(tree, tvb, offset, limit)
    if not need(tree, tvb, offset, 1, limit) then return end
    local range = tvb(offset, limit - offset)
    local zero
    for i = 0, range:len() - 1 do
      if range(i, 1):uint() == 0 then
        zero = i
        break
      end
    end
    if not zero then
      tree:add_proto_expert_info(e_bounds, "group name component without its zero byte")
      return
    end
    add_text(tree, f.group_component, tvb(offset, zero + 1))
  end,
}

-- Reads the fixed part's first 12 bytes and tells whether they can start a block; used by the TCP heuristic.
local function plausible(tvb)
  if tvb:len() < 12 then return false end
  local total, header = tvb(0, 4):uint(), tvb(4, 2):uint()
  local version, mode = tvb(6, 1):uint(), tvb(7, 1):uint()
  local group_offset, group_length = tvb(8, 2):uint(), tvb(10, 2):uint()
  return version == 1 and group_offset == FIXED and header == FIXED + group_length and total >= header
    and total <= MAX_BLOCK and bit.band(mode, 0x05) == 0 and bit.band(mode, UNICAST + MULTICAST) ~= 0
    and bit.band(mode, SINGLE + FIRST + MIDDLE + LAST) ~= 0
end

-- Dissects one whole block at the start of tvb; returns the bytes it took.
local function dissect_block(tvb, pinfo, tree)
  local length = tvb:len()
  pinfo.cols.protocol = "VELP2P"
  if length < FIXED then
    local root = tree:add(velp2p, tvb())
    root:add_proto_expert_info(e_short, "block shorter than its 88-byte fixed part")
    return length
  end
  local root = tree:add(velp2p, tvb(0, math.min(length, math.max(FIXED, tvb(0, 4):uint()))))
  local total = tvb(0, 4):uint()
  local header = tvb(4, 2):uint()
  local mode = tvb(7, 1):uint()
  local group_offset = tvb(8, 2):uint()
  local group_length = tvb(10, 2):uint()

  root:add(f.totalLength, tvb(0, 4))
  root:add(f.headerLength, tvb(4, 2))
  root:add(f.version, tvb(6, 1))
  local mode_item = root:add(f.mode, tvb(7, 1))
  for _, bit_field in ipairs({ f.mode_single, f.mode_tcp, f.mode_multicast, f.mode_first, f.mode_middle,
    f.mode_last }) do
    mode_item:add(bit_field, tvb(7, 1))
  end
  root:add(f.groupOffset, tvb(8, 2))
  root:add(f.groupLength, tvb(10, 2))
  local service = tvb(12, 32):stringz(ENC_UTF_8)
  add_text(root, f.serviceName, tvb(12, 32))
  local sender = tvb(44, 32):stringz(ENC_UTF_8)
  add_text(root, f.senderName, tvb(44, 32))

  -- A record's address bytes are copied unchanged, so a multicast record's reads reversed.
  local function add_address(field, offset, multicast)
    if multicast then root:add_le(field, tvb(offset, 4)) else root:add(field, tvb(offset, 4)) end
  end
  -- Peers take a block with the whole-message bit as whole, whatever fragment bits it also has.
  local by_multicast = bit.band(mode, MULTICAST) ~= 0
  local whole = bit.band(mode, SINGLE) ~= 0
  local pieces = whole and 0 or mode
  if bit.band(pieces, FIRST) ~= 0 then
    add_address(f.senderAddress, 76, by_multicast)
    root:add(f.MsgGrpId, tvb(80, 4))
    root:add(f.totalPayloadLength, tvb(84, 4))
  elseif bit.band(pieces, MIDDLE) ~= 0 then
    add_address(f.senderAddress, 76, by_multicast)
    root:add(f.MsgGrpId, tvb(80, 4))
    root:add(f.senderPort, tvb(84, 2))
    root:add(f.otherPort, tvb(86, 2))
  elseif bit.band(pieces, LAST) ~= 0 then
    root:add(f.MsgGrpId, tvb(76, 4))
    add_address(f.otherAddress, 80, not by_multicast)
    root:add(f.senderPort, tvb(84, 2))
    root:add(f.otherPort, tvb(86, 2))
  else
    add_address(f.senderAddress, 76, by_multicast)
    add_address(f.otherAddress, 80, not by_multicast)
    root:add(f.senderPort, tvb(84, 2))
    root:add(f.otherPort, tvb(86, 2))
  end

  -- The group path lies between the fixed part and the payload, where groupOffset says.
  local limit = math.min(total, length)
  if total > length or header < FIXED or header > total or group_offset < FIXED
    or group_offset + group_length > header then
    root:add_proto_expert_info(e_bounds, "totalLength, headerLength or the group path outside the block")
    return length
  end
  local group = tvb(group_offset, group_length):string(ENC_UTF_8)
  if group_length > 0 then add_text(root, f.group, tvb(group_offset, group_length)) end
  pinfo.cols.info = string.format("%s %s -> %s [%s]", by_multicast and "multicast" or "TCP", sender, service,
    group)

  if header < limit then
    local payload_tree = root:add(f.payload, tvb(header, limit - header))
    if not whole then
      payload_tree:add_proto_expert_info(e_fragment)
      pinfo.cols.info:append(" fragment")
    elseif payloads[service] then
      payloads[service](payload_tree, tvb, header, limit)
    end
  end
  return limit
end

function velp2p.dissector(tvb, pinfo, tree)
  return dissect_block(tvb, pinfo, tree)
end

-- Blocks on a TCP connection, each framed by its first four bytes; a length of 0 is the hello, 5 bytes.
local function block_length(tvb, _, offset)
  local length = tvb(offset, 4):uint()
  return length == 0 and 5 or length
end

local function dissect_hello_or_block(tvb, pinfo, tree)
  if tvb(0, 4):uint() ~= 0 then return dissect_block(tvb, pinfo, tree) end
  pinfo.cols.protocol = "VELP2P"
  local root = tree:add(velp2p, tvb(0, 5), "velp2p hello")
  root:add(f.hello_version, tvb(4, 1))
  pinfo.cols.info = "hello: many blocks follow"
  return 5
end

local function dissect_ack(tvb, pinfo, tree)
  pinfo.cols.protocol = "VELP2P"
  local root = tree:add(velp2p, tvb(0, 4), "velp2p acknowledgement")
  root:add(f.ack_count, tvb(0, 4))
  root:add(f.ack_closing, tvb(0, 4))
  pinfo.cols.info = string.format("acknowledgement: %d blocks taken%s", bit.band(tvb(0, 4):uint(), 0x7FFFFFFF),
    bit.band(tvb(0, 4):uint(), 0x80000000) ~= 0 and ", closing" or "")
  return 4
end

-- The side of each TCP connection that opened it with the hello; the other side sends acknowledgements.
local tcp_stream = Field.new("tcp.stream")
local openers = {}
local function side(pinfo)
  return tostring(pinfo.src) .. ":" .. tostring(pinfo.src_port)
end

local function dissect_tcp(tvb, pinfo, tree)
  local opener = openers[tostring(tcp_stream().value)]
  if opener and opener ~= side(pinfo) then
    dissect_tcp_pdus(tvb, tree, 4, function() return 4 end, dissect_ack)
  else
    dissect_tcp_pdus(tvb, tree, 4, block_length, dissect_hello_or_block)
  end
  return tvb:len()
end

local velp2p_tcp = Proto("velp2p_tcp", "velp2p over TCP")
velp2p_tcp.dissector = dissect_tcp

local function hello(tvb)
  return tvb:len() >= 5 and tvb(0, 4):uint() == 0 and tvb(4, 1):uint() == HELLO_VERSION
end

local function heuristic(tvb, pinfo, tree)
  if not velp2p.prefs.heuristic then return false end
  if hello(tvb) then
    -- The acknowledgements coming back are this connection's too.
    openers[tostring(tcp_stream().value)] = side(pinfo)
    pinfo.conversation = velp2p_tcp
  elseif not plausible(tvb) then
    return false
  end
  dissect_tcp(tvb, pinfo, tree)
  return true
end
velp2p:register_heuristic("tcp", heuristic)

local udp_table = DissectorTable.get("udp.port")
local tcp_table = DissectorTable.get("tcp.port")
udp_table:add(DEFAULT_UDP_PORT, velp2p)
local added_udp, added_tcp = "", ""

function velp2p.prefs_changed()
  if added_udp ~= "" then udp_table:remove(added_udp, velp2p) end
  if added_tcp ~= "" then tcp_table:remove(added_tcp, velp2p_tcp) end
  added_udp = tostring(velp2p.prefs.udp_ports)
  added_tcp = tostring(velp2p.prefs.tcp_ports)
  if added_udp ~= "" then udp_table:add(added_udp, velp2p) end
  if added_tcp ~= "" then tcp_table:add(added_tcp, velp2p_tcp) end
  udp_table:add(DEFAULT_UDP_PORT, velp2p)
end
