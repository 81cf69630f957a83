-- Wireshark/tshark dissector for libvesk TCP sessions.
--
-- Shows every record (type, version, length); the handshake messages with
-- their fields (offered and chosen cipher, the server's RSA key with its
-- exponent and SHA-256 fingerprint, the encrypted session key and IV); and,
-- in plain records (sessions without a cipher), the messages back to back:
-- header (type, size) and the login messages' fields as the wire has them.
-- Encrypted bodies are shown as ciphertext.
--
-- Sessions are found by their first handshake record (a heuristic on TCP), on
-- the TCP port of the preference "vesk.tcp_port", or with Decode As. Records
-- that span TCP segments are reassembled.
--
-- Use: copy into ~/.local/lib/wireshark/plugins/, or
--   tshark -X lua_script:vesk.lua -r capture.pcapng -O vesk

local vesk = Proto("vesk", "libvesk session")

local kRecordHeader = 6
local kMaxRecordBody = 19993
local kHandshakeHeader = 4
local kMessageHeader = 8
local kTextField = 256

local record_types = { [0] = "Plain", [1] = "Handshake", [2] = "ChangeCipherSpec", [3] = "Encrypted" }
local handshake_types = {
    [0] = "ClientHello",
    [1] = "ServerHello",
    [2] = "ServerKeyExchange",
    [3] = "ServerHelloDone",
    [4] = "ClientKeyExchange",
    [5] = "Finish",
}
local algorithms = { [0] = "none", [1] = "3DES", [2] = "Blowfish" }
local message_types = {
    [0x10000001] = "unknown",
    [0x10000002] = "session event",
    [0x10000003] = "handshake finish",
    [0x10000004] = "login request",
    [0x10000005] = "login result",
    [0x10000006] = "user message",
    [0x10000007] = "user state",
}

local f = vesk.fields
f.record = ProtoField.none("vesk.record", "Record")
f.record_type = ProtoField.uint8("vesk.record.type", "Type", base.DEC, record_types)
f.record_version = ProtoField.string("vesk.record.version", "Version")
f.record_length = ProtoField.uint24("vesk.record.length", "Length", base.DEC)
f.ciphertext = ProtoField.bytes("vesk.ciphertext", "Ciphertext")
f.hs_type = ProtoField.uint8("vesk.handshake.type", "Handshake type", base.DEC, handshake_types)
f.hs_length = ProtoField.uint24("vesk.handshake.length", "Handshake length", base.DEC)
f.hs_encrypted = ProtoField.bytes("vesk.handshake.encrypted", "Encrypted handshake message")
f.offered_count = ProtoField.uint16("vesk.hello.offered_count", "Offered ciphers", base.DEC)
f.offered = ProtoField.uint8("vesk.hello.offered", "Offered cipher", base.DEC, algorithms)
f.chosen = ProtoField.uint8("vesk.hello.chosen", "Chosen cipher", base.DEC, algorithms)
f.ske_key_length = ProtoField.uint16("vesk.ske.key_length", "Public key length", base.DEC)
f.ske_key = ProtoField.bytes("vesk.ske.key", "Public key (PKCS #1 DER)")
f.ske_fingerprint = ProtoField.string("vesk.ske.fingerprint", "Public key SHA-256")
f.ske_exponent_length = ProtoField.uint16("vesk.ske.exponent_length", "Exponent length", base.DEC)
f.ske_exponent = ProtoField.uint32("vesk.ske.exponent", "Exponent", base.DEC)
f.cke_key_length = ProtoField.uint16("vesk.cke.key_length", "Encrypted key length", base.DEC)
f.cke_key = ProtoField.bytes("vesk.cke.key", "Encrypted session key")
f.cke_iv_length = ProtoField.uint16("vesk.cke.iv_length", "Encrypted IV length", base.DEC)
f.cke_iv = ProtoField.bytes("vesk.cke.iv", "Encrypted IV")
f.ccs = ProtoField.uint8("vesk.ccs", "ChangeCipherSpec", base.DEC)
f.msg = ProtoField.none("vesk.msg", "Message")
f.msg_type = ProtoField.uint32("vesk.msg.type", "Message type", base.HEX)
f.msg_size = ProtoField.uint16("vesk.msg.size", "Message size", base.DEC)
f.msg_body = ProtoField.bytes("vesk.msg.body", "Message body")
f.login_uid = ProtoField.string("vesk.login.uid", "User id")
f.login_password = ProtoField.string("vesk.login.password", "Password")
f.login_result = ProtoField.int32("vesk.login.result", "Result", base.DEC, { [0] = "refused", [1] = "accepted" })
f.user_from = ProtoField.string("vesk.user.from", "From user")
f.user_to = ProtoField.string("vesk.user.to", "To user")
f.user_text = ProtoField.string("vesk.user.text", "Text")

local e_malformed = ProtoExpert.new("vesk.malformed", "Malformed field", expert.group.MALFORMED, expert.severity.ERROR)
vesk.experts = { e_malformed }

vesk.prefs.tcp_port = Pref.uint("TCP port", 0, "Decode this TCP port as libvesk (0: none; the heuristic still works)")

-- SHA-256 of a Lua string (Lua 5.2's bit32), for the key fingerprint.
local band, bnot, bxor, rrotate, rshift = bit32.band, bit32.bnot, bit32.bxor, bit32.rrotate, bit32.rshift
local K = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2,
}

local function sha256_hex(data)
    local h = { 0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a, 0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19 }
    local bits = #data * 8
    local length_bytes = {}
    for i = 7, 0, -1 do
        length_bytes[#length_bytes + 1] = string.char(math.floor(bits / 2 ^ (8 * i)) % 256)
    end
    data = data .. "\128" .. string.rep("\0", (55 - #data) % 64) .. table.concat(length_bytes)
    local w = {}
    for chunk = 1, #data, 64 do
        for i = 0, 15 do
            local b1, b2, b3, b4 = data:byte(chunk + 4 * i, chunk + 4 * i + 3)
            w[i] = ((b1 * 256 + b2) * 256 + b3) * 256 + b4
        end
        for i = 16, 63 do
            local s0 = bxor(rrotate(w[i - 15], 7), rrotate(w[i - 15], 18), rshift(w[i - 15], 3))
            local s1 = bxor(rrotate(w[i - 2], 17), rrotate(w[i - 2], 19), rshift(w[i - 2], 10))
            w[i] = (w[i - 16] + s0 + w[i - 7] + s1) % 2 ^ 32
        end
        local a, b, c, d, e, f_, g, hh = h[1], h[2], h[3], h[4], h[5], h[6], h[7], h[8]
        for i = 0, 63 do
            local S1 = bxor(rrotate(e, 6), rrotate(e, 11), rrotate(e, 25))
            local ch = bxor(band(e, f_), band(bnot(e), g))
            local t1 = (hh + S1 + ch + K[i + 1] + w[i]) % 2 ^ 32
            local S0 = bxor(rrotate(a, 2), rrotate(a, 13), rrotate(a, 22))
            local maj = bxor(band(a, b), band(a, c), band(b, c))
            local t2 = (S0 + maj) % 2 ^ 32
            hh, g, f_, e, d, c, b, a = g, f_, e, (d + t1) % 2 ^ 32, c, b, a, (t1 + t2) % 2 ^ 32
        end
        h[1], h[2], h[3], h[4] = (h[1] + a) % 2 ^ 32, (h[2] + b) % 2 ^ 32, (h[3] + c) % 2 ^ 32, (h[4] + d) % 2 ^ 32
        h[5], h[6], h[7], h[8] = (h[5] + e) % 2 ^ 32, (h[6] + f_) % 2 ^ 32, (h[7] + g) % 2 ^ 32, (h[8] + hh) % 2 ^ 32
    end
    local hex = {}
    for i = 1, 8 do
        hex[i] = string.format("%08x", h[i])
    end
    return table.concat(hex)
end

-- A length-prefixed field (16-bit big-endian length, then the bytes); the
-- offset after it, or nil when the message is too short.
local function add_prefixed(tree, tvb, offset, limit, length_field, bytes_field)
    if offset + 2 > limit then
        return nil
    end
    local length = tvb(offset, 2):uint()
    tree:add(length_field, tvb(offset, 2))
    if offset + 2 + length > limit then
        tree:add_proto_expert_info(e_malformed, "field longer than its message")
        return nil
    end
    if length > 0 then
        tree:add(bytes_field, tvb(offset + 2, length))
    end
    return offset + 2 + length, length
end

local handshake_bodies = {
    [0] = function(tree, tvb, offset, limit)
        if offset + 2 > limit then return end
        local count = tvb(offset, 2):uint()
        tree:add(f.offered_count, tvb(offset, 2))
        for i = 0, count - 1 do
            if offset + 2 + i >= limit then return end
            tree:add(f.offered, tvb(offset + 2 + i, 1))
        end
    end,
    [1] = function(tree, tvb, offset, limit)
        if offset < limit then tree:add(f.chosen, tvb(offset, 1)) end
    end,
    [2] = function(tree, tvb, offset, limit)
        local after_key, key_length = add_prefixed(tree, tvb, offset, limit, f.ske_key_length, f.ske_key)
        if not after_key then return end
        tree:add(f.ske_fingerprint, tvb(offset + 2, key_length), sha256_hex(tvb(offset + 2, key_length):raw()))
        if after_key + 2 > limit then return end
        local exponent_length = tvb(after_key, 2):uint()
        tree:add(f.ske_exponent_length, tvb(after_key, 2))
        -- Least significant byte first; the library reads the first four.
        local used = math.min(exponent_length, 4, limit - after_key - 2)
        if used > 0 then
            tree:add_le(f.ske_exponent, tvb(after_key + 2, used))
        end
    end,
    [4] = function(tree, tvb, offset, limit)
        local after_key = add_prefixed(tree, tvb, offset, limit, f.cke_key_length, f.cke_key)
        if after_key then add_prefixed(tree, tvb, after_key, limit, f.cke_iv_length, f.cke_iv) end
    end,
}

-- A handshake record's body: one message with its 4-byte header, or, after
-- the sender's ChangeCipherSpec, an encrypted Finish. Returns its name.
local function dissect_handshake(tree, tvb, offset, length)
    if length >= kHandshakeHeader then
        local type = tvb(offset, 1):uint()
        local message_length = tvb(offset + 1, 3):uint()
        if handshake_types[type] and kHandshakeHeader + message_length == length then
            local message = tree:add(vesk, tvb(offset, length), handshake_types[type])
            message:add(f.hs_type, tvb(offset, 1))
            message:add(f.hs_length, tvb(offset + 1, 3))
            local body = handshake_bodies[type]
            if body then
                body(message, tvb, offset + kHandshakeHeader, offset + length)
            end
            return handshake_types[type]
        end
    end
    if length > 0 then
        tree:add(f.hs_encrypted, tvb(offset, length))
    end
    return "Finish (encrypted)"
end

local function add_text(tree, field, tvb, offset, size)
    local range = tvb(offset, size)
    tree:add(field, range, range:stringz())
end

local message_bodies = {
    [0x10000004] = function(tree, tvb, offset)
        add_text(tree, f.login_uid, tvb, offset + 8, kTextField)
        add_text(tree, f.login_password, tvb, offset + 8 + kTextField, kTextField)
    end,
    [0x10000005] = function(tree, tvb, offset)
        tree:add_le(f.login_result, tvb(offset + 8, 4))
        add_text(tree, f.login_uid, tvb, offset + 12, kTextField)
        add_text(tree, f.login_password, tvb, offset + 12 + kTextField, kTextField)
    end,
    [0x10000006] = function(tree, tvb, offset)
        add_text(tree, f.user_from, tvb, offset + 8, kTextField)
        add_text(tree, f.user_to, tvb, offset + 8 + kTextField, kTextField)
        add_text(tree, f.user_text, tvb, offset + 8 + 2 * kTextField, 1024)
    end,
    [0x10000007] = function(tree, tvb, offset)
        add_text(tree, f.user_from, tvb, offset + 8, kTextField)
        add_text(tree, f.user_to, tvb, offset + 8 + kTextField, kTextField)
        add_text(tree, f.user_text, tvb, offset + 8 + 2 * kTextField, 64)
    end,
}
local message_sizes = { [0x10000004] = 520, [0x10000005] = 524, [0x10000006] = 1544, [0x10000007] = 584 }

-- A plain record's body: messages back to back, each with its 8-byte header
-- (32-bit type, 16-bit size of the whole message, 16-bit padding, all least
-- significant byte first). As the library does, a header that is cut short
-- or claims fewer than 8 bytes ends the cut. Returns the number of messages.
local function dissect_messages(tree, tvb, offset, limit)
    local count = 0
    while offset + kMessageHeader <= limit do
        local type = tvb(offset, 4):le_uint()
        local size = tvb(offset + 4, 2):le_uint()
        if size < kMessageHeader then
            break
        end
        local available = math.min(size, limit - offset)
        local name = message_types[type] or (type <= 0xFFFF and "application" or "reserved")
        local message = tree:add(f.msg, tvb(offset, available))
        local number = type <= 0xFFFF and tostring(type) or string.format("0x%08x", type)
        message:set_text(string.format("Message: %s (type %s), %u bytes", name, number, size))
        message:add_le(f.msg_type, tvb(offset, 4)):append_text(" (" .. name .. ")")
        message:add_le(f.msg_size, tvb(offset + 4, 2))
        if size > available then
            message:add_proto_expert_info(e_malformed, "message longer than its record")
        elseif message_bodies[type] and size >= message_sizes[type] then
            message_bodies[type](message, tvb, offset)
        elseif size > kMessageHeader then
            message:add(f.msg_body, tvb(offset + kMessageHeader, size - kMessageHeader))
        end
        count = count + 1
        offset = offset + available
    end
    return count
end

-- The packet whose Info column the records are listed in.
local info_packet = nil

local function dissect_record(tvb, pinfo, tree)
    local type = tvb(0, 1):uint()
    local length = tvb(3, 3):uint()
    local record = tree:add(vesk, tvb(0, kRecordHeader + length))
    record:add(f.record_type, tvb(0, 1))
    record:add(f.record_version, tvb(1, 2), string.format("%u.%u", tvb(1, 1):uint(), tvb(2, 1):uint()))
    record:add(f.record_length, tvb(3, 3))
    local summary
    if type == 1 then
        summary = dissect_handshake(record, tvb, kRecordHeader, length)
    elseif type == 2 then
        if length > 0 then record:add(f.ccs, tvb(kRecordHeader, 1)) end
        summary = "ChangeCipherSpec"
    elseif type == 0 then
        local count = dissect_messages(record, tvb, kRecordHeader, kRecordHeader + length)
        summary = string.format("Plain (%u message%s)", count, count == 1 and "" or "s")
    else
        if length > 0 then record:add(f.ciphertext, tvb(kRecordHeader, length)) end
        summary = record_types[type] and string.format("Encrypted (%u bytes)", length) or "unknown record type"
    end
    record:set_text(string.format("libvesk record: %s, version %u.%u, length %u", summary, tvb(1, 1):uint(),
        tvb(2, 1):uint(), length))

    pinfo.cols.protocol = "VESK"
    if info_packet ~= pinfo.number then
        info_packet = pinfo.number
        pinfo.cols.info:set(summary)
    else
        pinfo.cols.info:append(", " .. summary)
    end
    return tvb:len()
end

-- Records back to back; one that the segment does not hold whole is asked
-- for again with the following segments (TCP reassembly).
local function dissect_records(tvb, pinfo, tree)
    local offset = 0
    local available = tvb:len()
    while offset < available do
        local missing
        if available - offset < kRecordHeader then
            missing = DESEGMENT_ONE_MORE_SEGMENT
        else
            local needed = kRecordHeader + tvb(offset + 3, 3):uint()
            if available - offset < needed then
                missing = needed - (available - offset)
            else
                dissect_record(tvb(offset, needed):tvb(), pinfo, tree)
                offset = offset + needed
            end
        end
        if missing then
            if pinfo.can_desegment == 0 then
                return offset
            end
            pinfo.desegment_offset = offset
            pinfo.desegment_len = missing
            return available
        end
    end
    return available
end
vesk.dissector = dissect_records

-- A session is recognised by its first record from either side: a
-- ClientHello or a ServerHello, each a handshake record of version 2.0 whose
-- handshake header agrees with the record's length.
local function heuristic(tvb, pinfo, tree)
    if tvb:len() < kRecordHeader + kHandshakeHeader then
        return false
    end
    if tvb(0, 1):uint() ~= 1 or tvb(1, 1):uint() ~= 2 or tvb(2, 1):uint() ~= 0 then
        return false
    end
    local length = tvb(3, 3):uint()
    local hs_type = tvb(6, 1):uint()
    if length > kMaxRecordBody or hs_type > 1 or tvb(7, 3):uint() + kHandshakeHeader ~= length then
        return false
    end
    pinfo.conversation = vesk
    -- Called directly: through its handle the dissector could no longer ask
    -- TCP for the rest of a record.
    dissect_records(tvb, pinfo, tree)
    return true
end
vesk:register_heuristic("tcp", heuristic)

local tcp_ports = DissectorTable.get("tcp.port")
tcp_ports:add_for_decode_as(vesk)
local registered_port = 0
function vesk.prefs_changed()
    if registered_port ~= 0 then
        tcp_ports:remove(registered_port, vesk)
    end
    registered_port = vesk.prefs.tcp_port
    if registered_port ~= 0 then
        tcp_ports:add(registered_port, vesk)
    end
end
