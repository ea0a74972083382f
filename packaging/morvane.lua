-- Wireshark dissector for the Morvane drive's serial link, as a link trace
-- (morvane-cli drive --trace FILE, the Link Trace window's Save) converted by
--   text2pcap -D -t "%Y-%m-%d %H:%M:%S.%f" -l 147 FILE FILE.pcapng
-- Link type 147 (USER0); the direction of each frame comes from the trace
-- ("O" to the drive, "I" from it).
--
-- A frame to the drive is a command byte and its data; bytes from the drive
-- are responses, each a code byte and a payload whose length the code fixes.
-- Which command a response answers is the last one sent before it.
--
-- Installed with the package in Wireshark's global Lua plugin folder; else
-- copy it to ~/.local/lib/wireshark/plugins/ or load it with
--   tshark -X lua_script:morvane.lua ...

local morvane = Proto("morvane", "Morvane drive link")

-- Commands and the data bytes each carries.
local commands = {
  [0x77] = { "CmdGetName", 0 },
  [0x0D] = { "CmdGetVersion", 0 },
  [0x78] = { "CmdGetSerialNo", 0 },
  [0x10] = { "CmdGetHardwareId", 2 },
  [0x35] = { "CmdGetProfile", 1 },
  [0x34] = { "CmdSaveProfile", 223 },
  [0x90] = { "CmdActivateProfile", 1 },
  [0x24] = { "CmdStart", 0 },
  [0x25] = { "CmdStop", 0 },
  [0x39] = { "CmdReset", 2 },
  [0x01] = { "CmdSetSpeed", 2 },
  [0x74] = { "Status: Phase Current (A)", 0 },
  [0x42] = { "Status: Speed (RPM)", 0 },
  [0x70] = { "Status: Phase Power (W)", 0 },
  [0x60] = { "Status: Status", 0 },
  [0x76] = { "Status: Controller Temp (C)", 0 },
  [0xF1] = { "Status: Internal Status", 2 },
  [0x75] = { "Status: Motor Temp (R)", 0 },
  [0x73] = { "Status: Torque (NM)", 0 },
  [0x72] = { "Status: Bus Voltage (V)", 0 },
}

-- Response code -> payload length.
local lengths = {
  [0x00] = 1, [0x07] = 2, [0x09] = 1, [0x0B] = 0, [0x19] = 2, [0x27] = 2, [0x37] = 2, [0x43] = 2,
  [0x47] = 2, [0x53] = 223, [0x57] = 2, [0x62] = 2, [0x63] = 2, [0x67] = 2, [0x72] = 2, [0x73] = 2,
  [0x77] = 16, [0x83] = 2, [0x87] = 2, [0x93] = 2, [0xC0] = 2, [0xC1] = 2, [0xC2] = 2, [0xCA] = 2,
  [0xCB] = 2, [0xDD] = 6, [0xE0] = 2, [0xE4] = 2, [0xE5] = 2, [0xFA] = 2,
}

-- Status steps: the value's scale and how it is shown.
local status = {
  [0x74] = { "phase_current", "Phase Current (A)", 0.1, "%0.1f" },
  [0x42] = { "speed", "Speed (RPM)", 10, "%d" },
  [0x70] = { "phase_power", "Phase Power (W)", 1, "%d" },
  [0x60] = { "status_word", "Status", nil, "%04X" },
  [0x76] = { "controller_temp", "Controller Temp (C)", 1, "%d" },
  [0xF1] = { "internal_status", "Internal Status", nil, "%04X" },
  [0x75] = { "motor_temp", "Motor Temp (R)", 1, "%d" },
  [0x73] = { "torque", "Torque (NM)", 1, "%d" },
  [0x72] = { "bus_voltage", "Bus Voltage (V)", 0.1, "%0.1f" },
}

-- The 222-byte profile record: name, comment, 34 numbers, five tables of
-- twelve, the checksum. All numbers are 16-bit little-endian.
local profile_numbers = {
  { 30, "cont_under_voltage_trip" }, { 32, "cont_over_voltage_trip" }, { 34, "cont_over_temp_trip" },
  { 36, "cont_over_temp_reset" }, { 38, "cont_braking_ratio" }, { 40, "cont_pwm_freq" },
  { 42, "cont_io_input1_edge" }, { 44, "cont_io_input2_edge" }, { 46, "cont_io_output1_edge" },
  { 48, "cont_io_output2_edge" }, { 50, "cont_io_output3_edge" }, { 52, "cont_io_output4_edge" },
  { 54, "cont_io_analogue_input_scaling" }, { 56, "motor_type" }, { 58, "motor_over_current_trip" },
  { 60, "motor_over_power_trip" }, { 62, "motor_dec_step" }, { 64, "motor_acc_step" },
  { 66, "motor_dec_acc_period" }, { 68, "motor_speed_min" }, { 70, "motor_speed_max" },
  { 72, "motor_temp_resistance_min" }, { 74, "motor_temp_resistance_max" }, { 76, "motor_temp_enable" },
  { 78, "motor_pole_pairs" }, { 80, "motor_dc_start_mdc" }, { 82, "motor_dc_degauss_count" },
  { 84, "motor_dc_bemf_sum" }, { 86, "motor_dc_pid_freq" }, { 88, "motor_dc_pid_kp_mult" },
  { 90, "motor_dc_pid_kp_div" }, { 92, "motor_dc_pid_ki_mult" }, { 94, "motor_dc_pid_ki_div" },
  { 96, "motor_ac_current_no_load" }, { 98, "motor_ac_current_max_load" },
}
local profile_tables = {
  { 100, "motor_ac_vf_data_speed" }, { 124, "motor_ac_vf_data_voltage_no_load" },
  { 148, "motor_ac_vf_data_voltage_max_load" }, { 172, "motor_ac_vf_data_speed_loss_no_load" },
  { 196, "motor_ac_vf_data_speed_loss_max_load" },
}

local command_names = {}
for c, info in pairs(commands) do command_names[c] = info[1] end

local f = {
  command = ProtoField.uint8("morvane.command", "Command", base.HEX, command_names),
  data = ProtoField.bytes("morvane.data", "Data"),
  code = ProtoField.uint8("morvane.code", "Response code", base.HEX),
  payload_length = ProtoField.uint16("morvane.payload_length", "Payload length"),
  answer_to = ProtoField.uint8("morvane.answer_to", "Answer to", base.HEX, command_names),
  slot = ProtoField.uint8("morvane.slot", "Slot index"),
  name = ProtoField.string("morvane.name", "Drive name"),
  version = ProtoField.string("morvane.version", "Version"),
  serial_no = ProtoField.uint16("morvane.serial_no", "Serial No"),
  hardware_id = ProtoField.string("morvane.hardware_id", "Hardware ID"),
  save_result = ProtoField.uint8("morvane.save_result", "Save result", base.DEC, { [0] = "not changed" }),
  speed_set = ProtoField.uint32("morvane.speed_set", "Speed set (RPM)"),
  reset_key = ProtoField.bytes("morvane.reset_key", "Reset key"),
  garbage = ProtoField.bytes("morvane.garbage", "Not a response"),
  profile = ProtoField.bytes("morvane.profile", "Motor profile"),
  profile_name = ProtoField.stringz("morvane.profile.name", "name"),
  profile_comment = ProtoField.stringz("morvane.profile.comment", "comment"),
  checksum = ProtoField.uint16("morvane.profile.checksum", "checksum", base.HEX),
  checksum_valid = ProtoField.bool("morvane.profile.checksum_valid", "checksum valid"),
}
for c, s in pairs(status) do
  f["status_" .. c] = ProtoField.uint16("morvane.status." .. s[1], s[2], s[3] == nil and base.HEX or base.DEC)
end
for _, n in ipairs(profile_numbers) do
  f["p_" .. n[2]] = ProtoField.uint16("morvane.profile." .. n[2], n[2])
end
for _, t in ipairs(profile_tables) do
  f["p_" .. t[2]] = ProtoField.uint16("morvane.profile." .. t[2], t[2])
end
local field_list = {}
for _, v in pairs(f) do field_list[#field_list + 1] = v end
morvane.fields = field_list

local e = {
  bad_code = ProtoExpert.new("morvane.bad_code", "Not a response code", expert.group.MALFORMED, expert.severity.ERROR),
  cut_off = ProtoExpert.new("morvane.cut_off", "Answer cut off", expert.group.MALFORMED, expert.severity.ERROR),
  bad_checksum = ProtoExpert.new("morvane.bad_checksum", "Invalid checksum", expert.group.CHECKSUM,
    expert.severity.ERROR),
  not_changed = ProtoExpert.new("morvane.not_changed", "Profile not changed", expert.group.RESPONSE_CODE,
    expert.severity.WARN),
  unknown_command = ProtoExpert.new("morvane.unknown_command", "Unknown command", expert.group.UNDECODED,
    expert.severity.WARN),
}
morvane.experts = { e.bad_code, e.cut_off, e.bad_checksum, e.not_changed, e.unknown_command }

-- The command each frame from the drive answers, found in the first pass.
local last_command
local answers_to = {}
function morvane.init()
  last_command = nil
  answers_to = {}
end

local function slot_text(index)
  return string.format("P%02d", index + 1)
end

-- A 223-byte slot block at tvb range r: slot index, then the profile.
local function add_block(tree, r)
  local slot = r(0, 1):uint()
  tree:add(f.slot, r(0, 1)):append_text(" (" .. slot_text(slot) .. ")")
  local p = r(1, 222)
  local t = tree:add(f.profile, p)
  t:add(f.profile_name, p(0, 12))
  t:add(f.profile_comment, p(12, 18))
  for _, n in ipairs(profile_numbers) do t:add_le(f["p_" .. n[2]], p(n[1], 2)) end
  for _, tab in ipairs(profile_tables) do
    local sub = t:add(p(tab[1], 24), tab[2])
    for i = 0, 11 do sub:add_le(f["p_" .. tab[2]], p(tab[1] + 2 * i, 2)):prepend_text("[" .. i .. "] ") end
  end
  local sum = 0
  for i = 0, 219 do sum = (sum + p(i, 1):uint()) % 65536 end
  local expected = (65536 - sum) % 65536
  local checksum = p(220, 2):le_uint()
  t:add_le(f.checksum, p(220, 2))
  local valid = checksum == expected
  local v = t:add(f.checksum_valid, p(220, 2), valid)
  v:set_generated()
  if not valid then v:add_proto_expert_info(e.bad_checksum, string.format("Invalid checksum (0x%04X expected)", expected)) end
  t:set_text("Motor profile " .. slot_text(slot) .. " \"" .. p(0, 12):stringz() .. "\"")
  return slot, valid
end

local function le16(r) return r:le_uint() end

-- One response at r (code and payload) answering command `asked`; its info text.
local function add_response(tree, r, asked)
  local code = r(0, 1):uint()
  local t = tree:add(morvane, r, "Response")
  t:add(f.code, r(0, 1))
  t:add(f.payload_length, lengths[code]):set_generated()
  if asked ~= nil then t:add(f.answer_to, asked):set_generated() end
  local p = r:len() > 1 and r(1) or nil
  local info = string.format("0x%02X", code)
  if asked == 0x77 then
    t:add(f.name, p, p:stringz())
    info = info .. " name \"" .. p:stringz() .. "\""
  elseif asked == 0x0D and lengths[code] == 6 then
    local text = string.format("S%04d-%02d, H%04d-%02d", le16(p(0, 2)), p(2, 1):uint(), le16(p(3, 2)), p(5, 1):uint())
    t:add(f.version, p, text)
    info = info .. " version " .. text
  elseif asked == 0x78 and lengths[code] >= 2 then
    t:add_le(f.serial_no, p(0, 2))
    info = info .. " serial no " .. le16(p(0, 2))
  elseif asked == 0x10 and lengths[code] >= 2 then
    local text = string.format("0x%02X 0x%02X 0x%02X", code, p(0, 1):uint(), p(1, 1):uint())
    t:add(f.hardware_id, r(0, 3), text)
    info = info .. " hardware id " .. text
  elseif asked == 0x35 and lengths[code] == 223 then
    local slot, valid = add_block(t, p)
    info = info .. " profile " .. slot_text(slot) .. (valid and " (checksum valid)" or " (INVALID CHECKSUM)")
  elseif asked == 0x34 and lengths[code] >= 2 then
    t:add(f.slot, p(0, 1))
    local result = t:add(f.save_result, p(1, 1))
    if p(1, 1):uint() == 0 then
      result:add_proto_expert_info(e.not_changed)
      info = info .. " profile " .. p(0, 1):uint() .. " not changed"
    else
      info = info .. " saved"
    end
  elseif asked ~= nil and status[asked] ~= nil and lengths[code] >= 2 then
    local s = status[asked]
    local v = le16(p(0, 2))
    local shown = s[3] == nil and string.format(s[4], v) or string.format(s[4], v * s[3])
    t:add_le(f["status_" .. asked], p(0, 2)):append_text(" = " .. shown)
    info = info .. " " .. s[2] .. " " .. shown
  end
  t:append_text(": " .. info)
  return info
end

function morvane.dissector(tvb, pinfo, tree)
  pinfo.cols.protocol = "Morvane"
  local root = tree:add(morvane, tvb())
  local to_drive = pinfo.p2p_dir ~= 1
  if to_drive then
    local cmd = tvb(0, 1):uint()
    if not pinfo.visited then last_command = cmd end
    local info = commands[cmd]
    local t = root:add(f.command, tvb(0, 1))
    local text = info and info[1] or string.format("unknown command 0x%02X", cmd)
    if info == nil then t:add_proto_expert_info(e.unknown_command) end
    local d = tvb:len() > 1 and tvb(1) or nil
    if d ~= nil then
      if (cmd == 0x35 or cmd == 0x90) then
        root:add(f.slot, d(0, 1)):append_text(" (" .. (d(0, 1):uint() == 6 and "none" or slot_text(d(0, 1):uint())) .. ")")
        text = text .. " " .. (d(0, 1):uint() == 6 and "none" or slot_text(d(0, 1):uint()))
      elseif cmd == 0x34 and d:len() == 223 then
        local slot = add_block(root, d)
        text = text .. " " .. slot_text(slot)
      elseif cmd == 0x01 and d:len() == 2 then
        root:add(f.speed_set, d(0, 2), le16(d(0, 2)) * 10)
        text = text .. " " .. (le16(d(0, 2)) * 10) .. " RPM"
      elseif cmd == 0x39 then
        root:add(f.reset_key, d)
      else
        root:add(f.data, d)
      end
    end
    root:append_text(", to the drive: " .. text)
    pinfo.cols.info = "→ " .. text
    return tvb:len()
  end

  if not pinfo.visited then answers_to[pinfo.number] = last_command end
  local asked = answers_to[pinfo.number]
  local texts = {}
  local offset = 0
  while offset < tvb:len() do
    local code = tvb(offset, 1):uint()
    local n = lengths[code]
    if n == nil then
      local g = root:add(f.garbage, tvb(offset))
      g:add_proto_expert_info(e.bad_code, string.format("0x%02X is not a response code", code))
      texts[#texts + 1] = string.format("0x%02X is not a response code", code)
      break
    end
    if offset + 1 + n > tvb:len() then
      local g = root:add(f.garbage, tvb(offset))
      g:add_proto_expert_info(e.cut_off, string.format("Answer 0x%02X cut off: %d of %d payload bytes", code,
        tvb:len() - offset - 1, n))
      texts[#texts + 1] = "answer cut off"
      break
    end
    texts[#texts + 1] = add_response(root, tvb(offset, 1 + n), asked)
    offset = offset + 1 + n
    asked = nil -- a second response in the same run answers nothing sent
  end
  local text = table.concat(texts, "; ")
  root:append_text(", from the drive: " .. text)
  pinfo.cols.info = "← " .. text
  return tvb:len()
end

DissectorTable.get("wtap_encap"):add(wtap_encaps.USER0, morvane)
