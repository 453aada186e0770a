// SPDX-License-Identifier: GPL-2.0-or-later
#include "dissection.h"

#include <epan/epan.h>
#include <epan/epan_dissect.h>
#include <epan/frame_data.h>
#include <epan/packet.h>
#include <epan/prefs.h>
#include <epan/prefs-int.h>
#include <epan/proto.h>
#include <epan/tap.h>
#include <epan/to_str.h>
#include <epan/dissectors/packet-tcp.h>
#include <epan/dissectors/packet-udp.h>
#include <wiretap/wtap.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "ovk5_tap.h"
#include "wiretap_compat.h"

void proto_register_ovk5(void);
void proto_reg_handoff_ovk5(void);
void proto_register_ovk5seq(void);
void proto_reg_handoff_ovk5seq(void);

// What the dissection asks of the reader: the time stamps of frames it
// refers back to (the previous displayed frame and the reference frame).
struct packet_provider_data {
    const frame_data *prev_dis = nullptr;
    const frame_data *ref = nullptr;
};

namespace ovk {

namespace {

const nstime_t *frame_time(struct packet_provider_data *provider, guint32 frame_number)
{
    if (provider->prev_dis && provider->prev_dis->num == frame_number)
        return &provider->prev_dis->abs_ts;
    if (provider->ref && provider->ref->num == frame_number)
        return &provider->ref->abs_ts;
    return nullptr;
}

// Filled by the tap listener while a record is dissected.
std::vector<Ovk5Found> *found_in_record = nullptr;

// The senders of the UDP datagrams and TCP segments of the packet, in the
// order the layers queued their taps (each before the layers inside it):
// pinfo's addresses, by the time taps run, are those of the last frame
// decoded, which may be the one inside an OVK5 header.
using Sender = std::array<char, sizeof(Ovk5Found::sender)>;
std::vector<Sender> carriers;
// For each OVK5 header found: how many carriers came before it.
std::vector<std::size_t> carriers_before;

void note_carrier(const address &source, guint16 port)
{
    char text[sizeof(Sender) - 8];
    address_to_str_buf(&source, text, sizeof text);
    Sender sender;
    std::snprintf(sender.data(), sender.size(), source.type == AT_IPv6 ? "[%s]:%u" : "%s:%u", text, port);
    carriers.push_back(sender);
}

// The carrier of a header whose frame starts at frame: for a header inside
// the frame of an earlier one, the first carrier inside that frame;
// otherwise the packet's own, the last before its first header.
const char *carrier_of(const std::vector<Ovk5Found> &found, const std::uint8_t *frame)
{
    std::size_t carrier = found.empty() ? carriers.size() : carriers_before.front();
    for (std::size_t i = found.size(); frame && i-- > 0;) {
        const Ovk5Found &outer = found[i];
        if (outer.frame && frame > outer.frame && frame < outer.frame + outer.captured_length) {
            carrier = carriers_before[i] + 1;
            break;
        }
    }
    return carrier >= 1 && carrier <= carriers.size() ? carriers[carrier - 1].data() : "";
}

tap_packet_status udp_seen(void *, packet_info *, epan_dissect_t *, const void *data, tap_flags_t)
{
    const auto *udp = static_cast<const e_udphdr *>(data);
    note_carrier(udp->ip_src, udp->uh_sport);
    return TAP_PACKET_DONT_REDRAW;
}

tap_packet_status tcp_seen(void *, packet_info *, epan_dissect_t *, const void *data, tap_flags_t)
{
    const auto *tcp = static_cast<const tcp_info_t *>(data);
    note_carrier(tcp->ip_src, tcp->th_sport);
    return TAP_PACKET_DONT_REDRAW;
}

tap_packet_status ovk5_damage_found(void *damage, packet_info *pinfo, epan_dissect_t *, const void *data, tap_flags_t)
{
    const auto *info = static_cast<const ovk5_damage_info *>(data);
    if (pinfo->flags.in_error_pkt)
        return TAP_PACKET_DONT_REDRAW;
    auto *total = static_cast<StreamDamage *>(damage);
    total->records_lost += info->records_lost;
    total->records_cut += info->records_cut;
    total->bytes_skipped += info->bytes_skipped;
    total->bytes_missing += info->bytes_missing;
    return TAP_PACKET_DONT_REDRAW;
}

// Plain data only: called from inside the dissection engine.
tap_packet_status ovk5_header_found(void *, packet_info *pinfo, epan_dissect_t *, const void *data, tap_flags_t)
{
    const auto *info = static_cast<const ovk5_tap_info *>(data);
    // A header quoted inside an ICMP error is a copy of a packet sent
    // earlier, not a record of its own.
    if (!found_in_record || pinfo->flags.in_error_pkt)
        return TAP_PACKET_DONT_REDRAW;
    const guint captured = tvb_captured_length(info->frame_tvb);
    Ovk5Found found{};
    found.interface_id = info->interface_id;
    found.rid0 = info->rid0;
    found.rid1 = info->rid1;
    found.hw_time = info->hw_time;
    found.captured_length = captured;
    found.reported_length = tvb_reported_length(info->frame_tvb);
    found.hw_time_valid = info->hw_time_valid;
    found.frame = captured ? tvb_get_ptr(info->frame_tvb, 0, static_cast<gint>(captured)) : nullptr;
    std::snprintf(found.sender, sizeof found.sender, "%s", carrier_of(*found_in_record, found.frame));
    carriers_before.push_back(carriers.size());
    found_in_record->push_back(found);
    return TAP_PACKET_DONT_REDRAW;
}

std::string preference_error(const std::string &argument, prefs_set_pref_e status, const char *detail)
{
    if (status == PREFS_SET_SYNTAX_ERR)
        return "invalid -o value \"" + argument + "\"" + (detail ? std::string(": ") + detail : std::string());
    return "-o \"" + argument + "\" names no known preference";
}

std::string trimmed(const std::string &text)
{
    const auto first = text.find_first_not_of(' ');
    if (first == std::string::npos)
        return {};
    return text.substr(first, text.find_last_not_of(' ') - first + 1);
}

// Whether the preferences in force frame OVK5 records on TCP streams.
bool frames_tcp_records()
{
    module_t *module = prefs_find_module("ovk5");
    pref_t *desegment = module ? prefs_find_preference(module, "tcp.desegment") : nullptr;
    return desegment && prefs_get_bool_value(desegment, pref_current);
}

bool names_preference(const std::vector<std::string> &arguments, const std::string &name)
{
    for (const std::string &argument : arguments) {
        if (trimmed(argument.substr(0, argument.find(':'))) == name)
            return true;
    }
    return false;
}

struct HandleSearch {
    std::string protocol;
    dissector_handle_t handle = nullptr;
};

void match_protocol(const gchar *, gpointer handle, gpointer data)
{
    auto *search = static_cast<HandleSearch *>(data);
    const int proto = dissector_handle_get_protocol_index(static_cast<dissector_handle_t>(handle));
    if (!search->handle && proto != -1 && search->protocol == proto_get_protocol_filter_name(proto))
        search->handle = static_cast<dissector_handle_t>(handle);
}

constexpr guint32 max_range_values = 65536;

bool parse_selector(const std::string &text, guint32 *value, const char **end)
{
    const char *start = text.c_str();
    char *stop = nullptr;
    errno = 0;
    const unsigned long long parsed = std::strtoull(start, &stop, 0);
    if (stop == start || *start == '-' || *start == '+' || errno == ERANGE || parsed > G_MAXUINT32)
        return false;
    *value = static_cast<guint32>(parsed);
    *end = stop;
    return true;
}

// Applies one "-d" argument as tshark does: "table==selector,protocol",
// where a numeric selector may be a range "low-high" or "first:count", and
// a table without selectors takes "table,protocol".
bool apply_decode_as(const std::string &argument, std::string *error)
{
    const std::string usage = "\"" + argument + "\" is not <layer_type>==<selector>,<decode_as_protocol>";
    const auto comma = argument.rfind(',');
    if (comma == std::string::npos) {
        *error = usage;
        return false;
    }
    const std::string left = argument.substr(0, comma);
    const std::string protocol = trimmed(argument.substr(comma + 1));
    const auto equals = left.find('=');
    const std::string table_name = trimmed(left.substr(0, equals));
    std::string selector;
    if (equals != std::string::npos)
        selector = trimmed(left.substr(left.compare(equals, 2, "==") == 0 ? equals + 2 : equals + 1));

    dissector_table_t table = table_name.empty() ? nullptr : find_dissector_table(table_name.c_str());
    if (!table) {
        *error = "-d \"" + argument + "\": unknown layer type \"" + table_name + "\"";
        return false;
    }
    HandleSearch search{protocol};
    dissector_table_foreach_handle(table_name.c_str(), match_protocol, &search);
    if (!search.handle) {
        *error = "-d \"" + argument + "\": protocol \"" + protocol + "\" "
                 + (proto_get_id_by_filter_name(protocol.c_str()) == -1 ? "is unknown"
                                                                        : "can't be chosen for " + table_name);
        return false;
    }

    const ftenum_t type = get_dissector_table_selector_type(table_name.c_str());
    switch (type) {
    case FT_UINT8:
    case FT_UINT16:
    case FT_UINT24:
    case FT_UINT32: {
        const guint32 widest = type == FT_UINT8 ? G_MAXUINT8 : type == FT_UINT16 ? G_MAXUINT16
                               : type == FT_UINT24 ? 0xFFFFFF : G_MAXUINT32;
        guint32 low = 0, high = 0;
        const char *end = nullptr;
        bool valid = parse_selector(selector, &low, &end);
        high = low;
        if (valid && (*end == '-' || *end == ':')) {
            const char op = *end;
            guint32 second = 0;
            const std::string rest(end + 1);
            const char *rest_end = nullptr;
            valid = parse_selector(rest, &second, &rest_end) && *rest_end == '\0';
            if (valid && op == ':') {
                valid = second != 0 && static_cast<guint64>(low) + second - 1 <= G_MAXUINT32;
                high = low + (second - 1);
            } else if (valid) {
                valid = second >= low;
                high = second;
            }
        } else if (valid) {
            valid = *end == '\0';
        }
        if (!valid) {
            *error = "-d \"" + argument + "\": invalid selector \"" + selector + "\"";
            return false;
        }
        if (high > widest) {
            *error = "-d \"" + argument + "\": " + table_name + " goes up to " + std::to_string(widest);
            return false;
        }
        // One table entry per value: a range is bounded as a port range is.
        if (high - low >= max_range_values) {
            *error = "-d \"" + argument + "\": a range covers at most " + std::to_string(max_range_values) + " values";
            return false;
        }
        for (guint64 key = low; key <= high; ++key)
            dissector_change_uint(table_name.c_str(), static_cast<guint32>(key), search.handle);
        return true;
    }
    case FT_STRING:
    case FT_STRINGZ:
    case FT_UINT_STRING:
    case FT_STRINGZPAD:
        dissector_change_string(table_name.c_str(), selector.c_str(), search.handle);
        return true;
    case FT_NONE:
        dissector_change_payload(table_name.c_str(), search.handle);
        return true;
    default:
        *error = "-d \"" + argument + "\": layer type \"" + table_name + "\" takes no Decode As entries";
        return false;
    }
}

} // namespace

class EpanDissection final : public PacketDissection {
public:
    ~EpanDissection() override;
    StartResult start(const DissectionSettings &settings, std::string *error) override;
    const std::vector<Ovk5Found> &dissect(wtap *wth, ovk_read_record *r, std::int64_t offset) override;
    void end_record() override;
    bool ovk5_port(bool tcp, std::uint16_t port) override;
    const StreamDamage &damage() const override;

private:
    struct State;
    State *state_ = nullptr;
};

struct EpanDissection::State {
    epan_t *session = nullptr;
    epan_dissect_t *edt = nullptr;
    packet_provider_data provider;
    frame_data current{};
    bool current_in_use = false;
    frame_data prev_dis{};
    frame_data ref_frame{};
    const frame_data *ref = nullptr;
    nstime_t elapsed_time{};
    guint32 cum_bytes = 0;
    guint32 frame_number = 0;
    std::vector<Ovk5Found> found;
    int ovk5 = -1;
    dissector_table_t udp_ports = nullptr;
    dissector_table_t tcp_ports = nullptr;
    StreamDamage damage;
};

StartResult EpanDissection::start(const DissectionSettings &settings, std::string *error)
{
    if (state_)
        return StartResult::started;

    static proto_plugin ovk5_plugin{proto_register_ovk5, proto_reg_handoff_ovk5};
    static proto_plugin ovk5seq_plugin{proto_register_ovk5seq, proto_reg_handoff_ovk5seq};
    proto_register_plugin(&ovk5_plugin);
    proto_register_plugin(&ovk5seq_plugin);

    // Plug-ins stay unloaded: ours are built in, and the installed copies
    // of them would register the same protocols a second time.
    if (!epan_init(nullptr, nullptr, FALSE)) {
        *error = "the dissection engine failed to start";
        return StartResult::failed;
    }
    // The user's preferences, Decode As entries and disabled protocols.
    epan_load_settings();

    // What the exporter needs is the headers, not their analysis, whose
    // per-frame state only costs memory; a user's -o given later wins.
    std::vector<std::string> preferences = {"ovk5.analyze:FALSE", "ovk5seq.analyze:FALSE"};
    preferences.insert(preferences.end(), settings.preferences.begin(), settings.preferences.end());
    for (const std::string &argument : preferences) {
        std::string copy = argument;
        char *detail = nullptr;
        const prefs_set_pref_e status = prefs_set_pref(&copy[0], &detail);
        if (status != PREFS_SET_OK) {
            *error = preference_error(argument, status, detail);
            g_free(detail);
            return StartResult::refused;
        }
        g_free(detail);
    }
    for (const std::string &argument : settings.decode_as) {
        if (!apply_decode_as(argument, error))
            return StartResult::refused;
    }
    // Records framed on a TCP stream are lost when a segment comes late
    // and TCP hands it on out of its place; a user's -o still decides.
    if (frames_tcp_records() && !names_preference(settings.preferences, "tcp.reassemble_out_of_order")) {
        char reorder[] = "tcp.reassemble_out_of_order:TRUE";
        char *detail = nullptr;
        prefs_set_pref(reorder, &detail);
        g_free(detail);
    }
    // As tshark: after the Decode As entries, so that hand-off routines
    // applying port preferences see which ports the user chose.
    prefs_apply_all();

    state_ = new State;
    static packet_provider_funcs funcs{};
    funcs.get_frame_ts = frame_time;
    state_->session = epan_new(&state_->provider, &funcs);
    state_->edt = epan_dissect_new(state_->session, FALSE, FALSE);

    const struct {
        const char *tap;
        void *data;
        tap_packet_cb listener;
    } taps[] = {{"udp", state_, udp_seen},
                {"tcp", state_, tcp_seen},
                {ovk5_tap_name, state_, ovk5_header_found},
                {ovk5_damage_tap_name, &state_->damage, ovk5_damage_found}};
    for (const auto &tap : taps) {
        GString *refused = register_tap_listener(tap.tap, tap.data, nullptr, TL_REQUIRES_NOTHING, nullptr,
                                                 tap.listener, nullptr, nullptr);
        if (refused) {
            *error = std::string("cannot listen to the ") + tap.tap + " dissector: " + refused->str;
            g_string_free(refused, TRUE);
            return StartResult::failed;
        }
    }
    found_in_record = &state_->found;
    state_->ovk5 = proto_get_id_by_filter_name("ovk5");
    state_->udp_ports = find_dissector_table("udp.port");
    state_->tcp_ports = find_dissector_table("tcp.port");
    return StartResult::started;
}

const StreamDamage &EpanDissection::damage() const
{
    static StreamDamage total;
    total = state_ ? state_->damage : StreamDamage{};
    const ovk5_stream_leftovers leftovers = ovk5_tcp_stream_leftovers();
    total.segments_held_back += leftovers.segments_held_back;
    total.records_lost += leftovers.records_unfinished;
    return total;
}

void EpanDissection::end_record()
{
    if (!state_ || !state_->current_in_use)
        return;
    epan_dissect_reset(state_->edt);
    frame_data_destroy(&state_->current);
    state_->current_in_use = false;
}

const std::vector<Ovk5Found> &EpanDissection::dissect(wtap *wth, ovk_read_record *r, std::int64_t offset)
{
    State &s = *state_;
    end_record();
    s.found.clear();
    carriers.clear();
    carriers_before.clear();

    frame_data_init(&s.current, ++s.frame_number, &r->rec, offset, s.cum_bytes);
    s.current_in_use = true;
    frame_data_set_before_dissect(&s.current, &s.elapsed_time, &s.ref, s.frame_number > 1 ? &s.prev_dis : nullptr);
    if (s.ref == &s.current) {
        s.ref_frame = s.current;
        s.ref = &s.ref_frame;
    }
    s.provider.ref = s.ref;
    ovk_dissect_read_record(s.edt, wtap_file_type_subtype(wth), r, &s.current);
    frame_data_set_after_dissect(&s.current, &s.cum_bytes);
    s.prev_dis = s.current;
    s.provider.prev_dis = &s.prev_dis;
    return s.found;
}

bool EpanDissection::ovk5_port(bool tcp, std::uint16_t port)
{
    dissector_table_t table = tcp ? state_->tcp_ports : state_->udp_ports;
    if (state_->ovk5 == -1 || !table)
        return true;  // cannot tell: let the dissection decide
    dissector_handle_t handle = dissector_get_uint_handle(table, port);
    return handle && dissector_handle_get_protocol_index(handle) == state_->ovk5;
}

EpanDissection::~EpanDissection()
{
    if (!state_)
        return;
    found_in_record = nullptr;
    end_record();
    // One listener per tap, all with state_ as their data.
    for (int listener = 0; listener < 3; ++listener)
        remove_tap_listener(state_);
    remove_tap_listener(&state_->damage);
    epan_dissect_free(state_->edt);
    epan_free(state_->session);
    delete state_;
}

} // namespace ovk

#ifdef _WIN32
#define OVK_MODULE_EXPORT __declspec(dllexport)
#else
#define OVK_MODULE_EXPORT __attribute__((visibility("default")))
#endif
extern "C" OVK_MODULE_EXPORT ovk::PacketDissection *ovk_export_dissection_new()
{
    return new ovk::EpanDissection;
}
