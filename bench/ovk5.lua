-- SPDX-License-Identifier: GPL-2.0-or-later
-- OVK5 in Lua for the benchmark: the same header fields, tree and hand-off
-- as the C++ plug-in, default ports only.

local ovk5 = Proto("ovk5", "Ovkan Link Protocol 5")

local f_bs = ProtoField.uint16("ovk5.bs", "Blob size", base.DEC)
local f_if = ProtoField.uint8("ovk5.if", "Interface", base.DEC)
local f_res = ProtoField.uint8("ovk5.res", "Reserved", base.HEX)
local f_ts = ProtoField.absolute_time("ovk5.ts", "Timestamp (unix)", base.UTC)
local f_rid0 = ProtoField.uint16("ovk5.rid0", "RID 0", base.HEX)
local f_rid1 = ProtoField.uint16("ovk5.rid1", "RID 1", base.HEX)
ovk5.fields = { f_bs, f_if, f_res, f_ts, f_rid0, f_rid1 }

local eth = Dissector.get("eth_maybefcs")

function ovk5.dissector(tvb, pinfo, tree)
    if tvb:reported_len() < 16 then
        return 0
    end
    local subtree = tree:add(ovk5, tvb(0, 16))
    subtree:add_le(f_bs, tvb(0, 2))
    subtree:add_le(f_if, tvb(2, 1))
    subtree:add_le(f_res, tvb(3, 1))
    subtree:add_le(f_ts, tvb(4, 8))
    subtree:add_le(f_rid0, tvb(12, 2))
    subtree:add_le(f_rid1, tvb(14, 2))
    eth:call(tvb(16):tvb(), pinfo, tree)
    pinfo.cols.protocol:set("OVK5")
    return tvb:captured_len()
end

DissectorTable.get("udp.port"):add(21171, ovk5)
DissectorTable.get("tcp.port"):add(21103, ovk5)
