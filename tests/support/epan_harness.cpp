// SPDX-License-Identifier: GPL-2.0-or-later
#include "epan_harness.h"

#include <epan/column.h>
#include <epan/disabled_protos.h>
#include <epan/column-info.h>
#include <epan/epan.h>
#include <epan/epan_dissect.h>
#include <epan/exceptions.h>
#include <epan/expert.h>
#include <epan/packet.h>
#include <epan/prefs.h>
#include <epan/proto.h>
#include <epan/tap.h>
#include <epan/timestamp.h>
#include <wiretap/wtap.h>
#include <wsutil/filesystem.h>
#include <wsutil/privileges.h>
#include <wsutil/wslog.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>

#include "epan_compat.h"
#include "ethernet_handoff.h"

namespace ovk::test {

namespace {

epan_t *session = nullptr;
column_info columns;
std::uint32_t frame_number = 0;

int frame_expert_severity = 0;

int proto_probe = -1;
ProbeRequest probe_request;
ProbeResult probe_result;

// Plain data only in here: exceptions unwind with longjmp.
int dissect_probe(tvbuff_t *tvb, packet_info *pinfo, proto_tree *tree, void *)
{
    if (probe_request.action == ProbeRequest::Action::ethernet_without_handle) {
        ovk_call_ethernet(nullptr, tvb, pinfo, tree);
        return tvb_captured_length(tvb);
    }
    if (probe_request.action == ProbeRequest::Action::heuristic) {
        heur_dtbl_entry_t *entry = find_heur_dissector_by_unique_short_name(probe_request.table.c_str());
        probe_result.handle_found = entry != nullptr;
        if (!entry)
            return 0;
        TRY {
            probe_result.bytes_taken = entry->dissector(tvb, pinfo, tree, nullptr) ? tvb_captured_length(tvb) : 0;
        }
        CATCH_ALL {
            probe_result.exception_raised = true;
            RETHROW;
        }
        ENDTRY;
        return tvb_captured_length(tvb);
    }
    dissector_table_t table = find_dissector_table(probe_request.table.c_str());
    dissector_handle_t handle = table ? dissector_get_uint_handle(table, probe_request.key) : nullptr;
    probe_result.handle_found = handle != nullptr;
    if (!handle)
        return 0;
    TRY {
        probe_result.bytes_taken = call_dissector_only(handle, tvb, pinfo, tree, nullptr);
    }
    CATCH_ALL {
        probe_result.exception_raised = true;
        RETHROW;
    }
    ENDTRY;
    return tvb_captured_length(tvb);
}

void register_probe()
{
    proto_probe = proto_register_protocol("OVK test probe", "OVKPROBE", "ovkprobe");
}

void handoff_probe()
{
    dissector_add_uint("wtap_encap", probe_encap, create_dissector_handle(dissect_probe, proto_probe));
}

tap_packet_status note_expert_entry(void *, packet_info *, epan_dissect_t *, const void *data, tap_flags_t)
{
    frame_expert_severity = std::max(frame_expert_severity, static_cast<const expert_info_t *>(data)->severity);
    return TAP_PACKET_DONT_REDRAW;
}

const nstime_t *frame_ts(struct packet_provider_data *, guint32)
{
    static nstime_t zero;
    return &zero;
}

std::string display_value(field_info *fi)
{
    char *text = fvalue_to_string_repr(nullptr, ovk_field_value(fi), FTREPR_DISPLAY, fi->hfinfo->display);
    std::string value = text ? text : "";
    g_free(text);
    return value;
}

void collect_fields(proto_node *node, gpointer data)
{
    auto *fields = static_cast<std::map<std::string, std::vector<std::string>> *>(data);
    field_info *fi = PNODE_FINFO(node);
    if (fi && fi->hfinfo)
        (*fields)[fi->hfinfo->abbrev].push_back(display_value(fi));
    proto_tree_children_foreach(node, collect_fields, data);
}

// Dissects one record with its frame data, as the file readers do on
// every pass.
Dissection dissect_frame(int encap, const Bytes &frame, std::uint32_t len, frame_data *fd, const nstime_t &ts,
                         Tree tree = Tree::build, bool has_ts = true)
{
    const auto caplen = static_cast<std::uint32_t>(frame.size());
    wtap_rec rec;
    ovk_packet_rec_init(&rec, encap);
    rec.presence_flags = (has_ts ? WTAP_HAS_TS : 0) | WTAP_HAS_CAP_LEN;
    rec.ts = ts;
    rec.rec_header.packet_header.caplen = caplen;
    rec.rec_header.packet_header.len = len;
    if (!fd->num)
        frame_data_init(fd, ++frame_number, &rec, 0, 0);

    const gboolean with_tree = tree == Tree::build;
    epan_dissect_t *edt = epan_dissect_new(session, with_tree, with_tree);
    frame_expert_severity = 0;
    ovk_dissect_record(edt, &rec, frame.data(), caplen, len, fd, &columns);
    epan_dissect_fill_in_columns(edt, FALSE, TRUE);

    Dissection result;
    if (edt->tree)
        proto_tree_children_foreach(edt->tree, collect_fields, &result.fields);
    result.expert_severity = frame_expert_severity;
    result.protocol_column = col_get_text(&columns, COL_PROTOCOL);
    result.info_column = col_get_text(&columns, COL_INFO);

    epan_dissect_free(edt);
    wtap_rec_cleanup(&rec);
    return result;
}

// Starts a new capture file: the dissectors' per-file state is reset.
void renew_session()
{
    epan_free(session);
    static packet_provider_funcs funcs{};
    funcs.get_frame_ts = frame_ts;
    session = epan_new(nullptr, &funcs);
    frame_number = 0;
}

} // namespace

void start_epan()
{
    if (session)
        return;

    // Nothing from the user's own configuration may leak into the tests.
    static std::string config_home = std::string(g_get_tmp_dir()) + "/ovk-tests-no-config";
    g_setenv("XDG_CONFIG_HOME", config_home.c_str(), TRUE);
    g_setenv("WIRESHARK_CONFIG_DIR", config_home.c_str(), TRUE);
    g_setenv("TZ", "UTC", TRUE);

    ovk_log_init("ovk-tests");
    ws_log_set_level(LOG_LEVEL_WARNING);
    init_process_policies();
    ovk_configuration_init("ovk-tests");
    timestamp_set_type(TS_RELATIVE);
    timestamp_set_precision(TS_PREC_AUTO);
    timestamp_set_seconds_type(TS_SECONDS_DEFAULT);

    static proto_plugin plugins[] = {
        {proto_register_ovk5, proto_reg_handoff_ovk5},
        {proto_register_ovk5seq, proto_reg_handoff_ovk5seq},
        {register_probe, handoff_probe},
    };
    for (proto_plugin &plugin : plugins)
        proto_register_plugin(&plugin);

    wtap_init(FALSE);
    // The dissectors under test are registered above, not loaded from disk.
    if (!epan_init(nullptr, nullptr, FALSE)) {
        ADD_FAILURE() << "epan_init failed";
        std::abort();
    }
    e_prefs *prefs = epan_load_settings();
    build_column_format_array(&columns, prefs->num_cols, TRUE);

    // Later series add members; those the tests need not stay null.
    renew_session();

    // Expert entries reach the "expert" tap with or without a tree.
    if (GString *error = register_tap_listener("expert", &frame_expert_severity, nullptr, TL_REQUIRES_NOTHING,
                                               nullptr, note_expert_entry, nullptr, nullptr)) {
        ADD_FAILURE() << error->str;
        g_string_free(error, TRUE);
    }
}

std::size_t Dissection::count(const std::string &field) const
{
    auto it = fields.find(field);
    return it == fields.end() ? 0 : it->second.size();
}

std::string Dissection::value(const std::string &field) const
{
    auto it = fields.find(field);
    if (it == fields.end()) {
        ADD_FAILURE() << "no field " << field;
        return {};
    }
    EXPECT_EQ(it->second.size(), 1u) << "field " << field;
    return it->second.front();
}

Dissection dissect(int encap, const Bytes &frame, std::uint32_t reported_length, Tree tree)
{
    start_epan();
    frame_data fd{};
    const Dissection result = dissect_frame(
        encap, frame, std::max(static_cast<std::uint32_t>(frame.size()), reported_length), &fd, nstime_t{}, tree);
    frame_data_destroy(&fd);
    return result;
}

void forget_capture_file()
{
    start_epan();
    wmem_free_all(wmem_file_scope());
    frame_number = 0;
}

struct Capture::Frame {
    Bytes bytes;
    nstime_t ts;
    frame_data fd;
};

Capture::Capture(int encap) : encap_(encap)
{
    start_epan();
    renew_session();
}

Capture::~Capture()
{
    for (auto &frame : frames_)
        frame_data_destroy(&frame->fd);
    // Nothing of this capture carries over to the next dissection.
    renew_session();
}

Dissection Capture::add(const Bytes &frame, std::int64_t seconds, std::uint32_t nanoseconds, Tree tree)
{
    auto f = std::make_unique<Frame>();
    f->bytes = frame;
    f->ts.secs = static_cast<time_t>(seconds);
    f->ts.nsecs = static_cast<int>(nanoseconds);
    f->fd = frame_data{};
    frames_.push_back(std::move(f));
    Frame &added = *frames_.back();
    return dissect_frame(encap_, added.bytes, static_cast<std::uint32_t>(added.bytes.size()), &added.fd, added.ts,
                         tree);
}

Dissection Capture::again(std::uint32_t number)
{
    Frame &frame = *frames_.at(number - 1);
    return dissect_frame(encap_, frame.bytes, static_cast<std::uint32_t>(frame.bytes.size()), &frame.fd, frame.ts);
}

ProbeResult probe(const ProbeRequest &request, const Bytes &payload, Dissection *dissection)
{
    probe_request = request;
    probe_result = ProbeResult{};
    Dissection d = dissect(probe_encap, payload);
    if (dissection)
        *dissection = std::move(d);
    return probe_result;
}

ProbeResult try_heuristic(const std::string &short_name, const Bytes &payload, std::optional<std::int64_t> seconds,
                          Dissection *dissection)
{
    start_epan();
    probe_request = {ProbeRequest::Action::heuristic, short_name, 0};
    probe_result = ProbeResult{};
    nstime_t ts{};
    ts.secs = static_cast<time_t>(seconds.value_or(0));
    frame_data fd{};
    Dissection d = dissect_frame(probe_encap, payload, static_cast<std::uint32_t>(payload.size()), &fd, ts,
                                 dissection ? Tree::build : Tree::none, seconds.has_value());
    frame_data_destroy(&fd);
    if (dissection)
        *dissection = std::move(d);
    return probe_result;
}

bool set_preference(const std::string &name, const std::string &value)
{
    start_epan();
    std::string pref = name + ":" + value;
    char *errmsg = nullptr;
    const prefs_set_pref_e status = prefs_set_pref(&pref[0], &errmsg);
    g_free(errmsg);
    prefs_apply_all();
    return status == PREFS_SET_OK;
}

void disable_protocol(const std::string &filter_name)
{
    start_epan();
    proto_disable_proto_by_name(filter_name.c_str());
}

std::vector<std::uint32_t> keys_bound_to(const std::string &table_name, const std::string &filter_name)
{
    start_epan();
    struct Search {
        int proto;
        std::vector<std::uint32_t> keys;
    } search{proto_get_id_by_filter_name(filter_name.c_str()), {}};

    dissector_table_foreach(
        table_name.c_str(),
        [](const gchar *, ftenum_t, gpointer key, gpointer value, gpointer data) {
            auto *s = static_cast<Search *>(data);
            auto *entry = static_cast<dtbl_entry_t *>(value);
            dissector_handle_t handle = dtbl_entry_get_handle(entry);
            if (handle && dissector_handle_get_protocol_index(handle) == s->proto)
                s->keys.push_back(GPOINTER_TO_UINT(key));
        },
        &search);
    std::sort(search.keys.begin(), search.keys.end());
    return search.keys;
}

} // namespace ovk::test
