// SPDX-License-Identifier: GPL-2.0-or-later
#include "pcapng_writer.h"

#include <wiretap/wtap.h>
#include <wiretap/wtap_opttypes.h>

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "wiretap_compat.h"

namespace ovk {

namespace {

constexpr guint64 nanoseconds_per_second = 1000000000;
constexpr guint8 nanosecond_resolution = 9;  // if_tsresol: 10^-9 s
constexpr guint32 snap_length = 262144;

std::string wiretap_error(int err, gchar *err_info)
{
    std::string text = wtap_strerror(err);
    if (err_info) {
        text += std::string(" (") + err_info + ")";
        g_free(err_info);
    }
    return text;
}

} // namespace

PcapngWriter::~PcapngWriter()
{
    if (fd_ >= 0)
        ::close(fd_);
    if (dumper_) {
        int err = 0;
        gchar *err_info = nullptr;
        wtap_dump_close(dumper_, nullptr, &err, &err_info);
        g_free(err_info);
    }
    if (record_) {
        // The options blocks are ours; the record must not free them.
        record_->block = nullptr;
        wtap_rec_cleanup(record_);
        delete record_;
    }
    if (ovk5seq_options_)
        wtap_block_unref(ovk5seq_options_);
    if (ovk5_options_)
        wtap_block_unref(ovk5_options_);
    if (ovk5seq_noted_options_)
        wtap_block_unref(ovk5seq_noted_options_);
    if (ovk5_lossy_options_)
        wtap_block_unref(ovk5_lossy_options_);
    // The dumper may refer to the section header until it is closed.
    if (sections_) {
        wtap_block_unref(g_array_index(sections_, wtap_block_t, 0));
        g_array_free(sections_, TRUE);
    }
}

void PcapngWriter::describe_section(const SectionInfo &info)
{
    section_ = info;
}

#ifdef _WIN32
void PcapngWriter::open_path(const std::string &path)
{
    path_ = path;
    open(-1);
}
#endif

void PcapngWriter::open(int fd)
{
    fd_ = fd;
    // The options of every packet of a kind, their values replaced per packet.
    ovk5seq_options_ = wtap_block_create(WTAP_BLOCK_PACKET);
    wtap_block_add_uint64_option(ovk5seq_options_, OPT_PKT_DROPCOUNT, 0);
    ovk5_options_ = wtap_block_create(WTAP_BLOCK_PACKET);
    wtap_block_add_string_option(ovk5_options_, OPT_COMMENT, "", 0);
    ovk5seq_noted_options_ = wtap_block_create(WTAP_BLOCK_PACKET);
    wtap_block_add_uint64_option(ovk5seq_noted_options_, OPT_PKT_DROPCOUNT, 0);
    wtap_block_add_string_option(ovk5seq_noted_options_, OPT_COMMENT, "", 0);
    ovk5_lossy_options_ = wtap_block_create(WTAP_BLOCK_PACKET);
    wtap_block_add_string_option(ovk5_lossy_options_, OPT_COMMENT, "", 0);
    wtap_block_add_uint64_option(ovk5_lossy_options_, OPT_PKT_DROPCOUNT, 0);

    record_ = new wtap_rec;
    ovk_packet_rec_init(record_, WTAP_ENCAP_ETHERNET);
    record_->presence_flags = WTAP_HAS_TS | WTAP_HAS_CAP_LEN | WTAP_HAS_INTERFACE_ID;
    record_->tsprec = WTAP_TSPREC_NSEC;
}

// Started with the first packet's interface (first_interface, or none for
// a capture without packets): given no interface, libwiretap would make up
// an unnamed one of its own, unless told that the list is empty (live).
bool PcapngWriter::start_dumper(wtap_block_t first_interface, bool live, std::string *error)
{
    wtap_dump_params params;
    wtap_dump_params_init(&params, nullptr);
    params.encap = WTAP_ENCAP_ETHERNET;
    params.snaplen = snap_length;
    params.tsprec = WTAP_TSPREC_NSEC;
    // The section header block as libwiretap would write it, with the
    // origin's description when one was given.
    GArray *&sections = sections_;
    if (!section_.hardware.empty() || !section_.os.empty() || !section_.application.empty()) {
        wtap_block_t shb = wtap_block_create(WTAP_BLOCK_SECTION);
        const auto add = [shb](guint option, const std::string &text) {
            if (!text.empty())
                wtap_block_add_string_option(shb, option, text.c_str(), text.size());
        };
        add(OPT_SHB_HARDWARE, section_.hardware);
        add(OPT_SHB_OS, section_.os);
        add(OPT_SHB_USERAPPL, section_.application);
        sections = g_array_new(FALSE, FALSE, sizeof(wtap_block_t));
        g_array_append_val(sections, shb);
        params.shb_hdrs = sections;
    }
    wtapng_iface_descriptions_t interfaces{};
    interfaces.interface_data = g_array_new(FALSE, FALSE, sizeof(wtap_block_t));
    // Live, the capture starts with no interface at all: libwiretap makes
    // one up for an empty list, so it is given a list it must not copy.
    wtap_block_t placeholder = nullptr;
    if (live && !first_interface) {
        placeholder = wtap_block_create(WTAP_BLOCK_IF_ID_AND_INFO);
        first_interface = placeholder;
        params.dont_copy_idbs = TRUE;
    }
    if (first_interface) {
        g_array_append_val(interfaces.interface_data, first_interface);
        params.idb_inf = &interfaces;
    }
    int err = 0;
    gchar *err_info = nullptr;
#ifdef _WIN32
    if (!path_.empty())
        dumper_ = path_ == "-" ? wtap_dump_open_stdout(wtap_pcapng_file_type_subtype(), WTAP_UNCOMPRESSED, &params,
                                                       &err, &err_info)
                               : wtap_dump_open(path_.c_str(), wtap_pcapng_file_type_subtype(), WTAP_UNCOMPRESSED,
                                                &params, &err, &err_info);
    else
#endif
    dumper_ = wtap_dump_fdopen(fd_, wtap_pcapng_file_type_subtype(), WTAP_UNCOMPRESSED, &params, &err, &err_info);
    g_array_free(interfaces.interface_data, TRUE);
    if (placeholder)
        wtap_block_unref(placeholder);
    if (!dumper_) {
        *error = wiretap_error(err, err_info);
        return false;
    }
    dumper_fd_ = fd_;
    fd_ = -1;
    return true;
}

int PcapngWriter::interface_for(const InterfaceLabel &label, std::string *error)
{
    const auto known = interfaces_.find(label.name);
    if (known != interfaces_.end())
        return known->second;

    wtap_block_t idb = wtap_block_create(WTAP_BLOCK_IF_ID_AND_INFO);
    auto *mandatory = static_cast<wtapng_if_descr_mandatory_t *>(wtap_block_get_mandatory_data(idb));
    mandatory->wtap_encap = WTAP_ENCAP_ETHERNET;
    mandatory->time_units_per_second = nanoseconds_per_second;
    mandatory->tsprecision = WTAP_TSPREC_NSEC;
    mandatory->snap_len = snap_length;
    wtap_block_add_string_option(idb, OPT_IDB_NAME, label.name.c_str(), label.name.size());
    wtap_block_add_string_option(idb, OPT_IDB_DESCRIPTION, label.description.c_str(), label.description.size());
    wtap_block_add_uint8_option(idb, OPT_IDB_TSRESOL, nanosecond_resolution);
    if (!capture_filter_.empty()) {
        if_filter_opt_t filter{};
        filter.type = if_filter_pcap;
        filter.data.filter_str = const_cast<char *>(capture_filter_.c_str());
        wtap_block_add_if_filter_option(idb, OPT_IDB_FILTER, &filter);
    }

    bool added;
    if (!dumper_) {
        added = start_dumper(idb, false, error);
    } else {
        int err = 0;
        gchar *err_info = nullptr;
        added = wtap_dump_add_idb(dumper_, idb, &err, &err_info);
        if (!added)
            *error = wiretap_error(err, err_info);
    }
    wtap_block_unref(idb);
    if (!added)
        return -1;
    const int index = static_cast<int>(interfaces_.size());
    interfaces_.emplace(label.name, index);
    return index;
}

bool PcapngWriter::write(const ExportedPacket &packet, std::string *error)
{
    wtap_block_t options;
    std::string comment;
    if (packet.kind == HeaderKind::ovk5seq) {
        options = packet.note ? ovk5seq_noted_options_ : ovk5seq_options_;
        // Setting an option looks its type up: only when it changes.
        std::uint64_t &drops = packet.note ? ovk5seq_noted_drops_ : ovk5seq_drops_;
        if (drops != packet.missing_frames) {
            wtap_block_set_uint64_option_value(options, OPT_PKT_DROPCOUNT, packet.missing_frames);
            drops = packet.missing_frames;
        }
    } else {
        options = packet.lost_before ? ovk5_lossy_options_ : ovk5_options_;
        if (packet.lost_before)
            wtap_block_set_uint64_option_value(options, OPT_PKT_DROPCOUNT, packet.lost_before);
        char rids[32];
        std::snprintf(rids, sizeof rids, "RID 0 0x%04x, RID 1 0x%04x", packet.rid0, packet.rid1);
        comment = rids;
    }
    if (packet.note)
        comment += (comment.empty() ? "" : "; ") + std::string(packet.note);
    if (!comment.empty())
        wtap_block_set_nth_string_option_value(options, OPT_COMMENT, 0, comment.c_str(), comment.size());

    wtap_rec &rec = *record_;
    rec.ts = packet.time;
    rec.rec_header.packet_header.caplen = packet.captured_length;
    rec.rec_header.packet_header.len = packet.reported_length;
    rec.rec_header.packet_header.interface_id = static_cast<guint32>(packet.interface);
    rec.block = options;

    int err = 0;
    gchar *err_info = nullptr;
    const bool written = ovk_dump_packet(dumper_, &rec, packet.frame, &err, &err_info);
    if (!written) {
        *error = wiretap_error(err, err_info);
        return false;
    }
    return true;
}

bool PcapngWriter::start(std::string *error)
{
    return (dumper_ || start_dumper(nullptr, true, error)) && flush(error);
}

bool PcapngWriter::flush(std::string *error)
{
    int err = 0;
    if (dumper_ && !wtap_dump_flush(dumper_, &err)) {
        *error = wtap_strerror(err);
        return false;
    }
    return true;
}

// libwiretap writes a file's statistics blocks only from what its
// interfaces carried when they were added, so a capture that learns its
// counts at the end writes the block itself, after the dumper's buffer:
// in the section's byte order (the host's, as libwiretap writes it).
bool PcapngWriter::write_statistics(int interface, const InterfaceStatistics &statistics, const nstime_t &time,
                                    std::string *error)
{
    if (!flush(error))
        return false;
    enum : std::uint16_t { isb_ifrecv = 4, isb_ifdrop = 5, isb_filteraccept = 6, isb_osdrop = 7 };
    std::vector<std::uint32_t> words = {5 /* block type */, 0 /* length, below */, static_cast<std::uint32_t>(interface)};
    const std::uint64_t stamp = static_cast<std::uint64_t>(time.secs) * nanoseconds_per_second
                                + static_cast<std::uint64_t>(time.nsecs);
    words.push_back(static_cast<std::uint32_t>(stamp >> 32));
    words.push_back(static_cast<std::uint32_t>(stamp));
    const auto add_count = [&words](std::uint16_t code, std::uint64_t value) {
        const std::uint16_t option[2] = {code, 8};  // code, value length
        std::uint32_t word;
        std::memcpy(&word, option, sizeof word);
        words.push_back(word);
        std::uint32_t halves[2];
        std::memcpy(halves, &value, sizeof value);
        words.push_back(halves[0]);
        words.push_back(halves[1]);
    };
    add_count(isb_ifrecv, statistics.received);
    add_count(isb_ifdrop, statistics.dropped);
    if (statistics.filtered)
        add_count(isb_filteraccept, statistics.accepted);
    if (statistics.os_dropped)
        add_count(isb_osdrop, statistics.os_dropped);
    if (!statistics.comment.empty()) {
        const std::uint16_t option[2] = {1 /* opt_comment */, static_cast<std::uint16_t>(statistics.comment.size())};
        std::uint32_t word;
        std::memcpy(&word, option, sizeof word);
        words.push_back(word);
        std::vector<std::uint32_t> text((statistics.comment.size() + 3) / 4, 0);
        std::memcpy(text.data(), statistics.comment.data(), statistics.comment.size());
        words.insert(words.end(), text.begin(), text.end());
    }
    words.push_back(0);  // end of options
    words.push_back(0);  // length, again
    const std::uint32_t length = static_cast<std::uint32_t>(words.size() * sizeof(std::uint32_t));
    words[1] = words.back() = length;

    const auto *bytes = reinterpret_cast<const char *>(words.data());
#ifdef _WIN32
    // The dumper's descriptor belongs to the analyser's C runtime.
    (void)bytes;
    *error = "statistics blocks are not written on Windows";
    return false;
#endif
    for (std::size_t done = 0; done < length;) {
        const ssize_t n = ::write(dumper_fd_, bytes + done, length - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            *error = std::strerror(errno);
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

bool PcapngWriter::close(std::string *error)
{
    if (!dumper_ && !start_dumper(nullptr, false, error))
        return false;
    int err = 0;
    gchar *err_info = nullptr;
    const bool closed = wtap_dump_close(dumper_, nullptr, &err, &err_info);
    dumper_ = nullptr;
    if (!closed) {
        *error = wiretap_error(err, err_info);
        return false;
    }
    return true;
}

} // namespace ovk
