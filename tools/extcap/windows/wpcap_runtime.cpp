// SPDX-License-Identifier: GPL-2.0-or-later
// libpcap's filter compiler from the wpcap.dll Npcap installs, loaded on
// first use from System32\Npcap, where every Npcap installation has it
// (its WinPcap-compatible mode adds a copy in System32 itself, a folder
// where other wpcap.dll builds live too, e.g. Wine's, which lacks
// pcap_open_dead). Without it no filter can be compiled, and capture
// without one still works.
#include <pcap/pcap.h>

#include <windows.h>

#include <string>

namespace {

struct Wpcap {
    HMODULE dll = nullptr;
    decltype(&pcap_open_dead) open_dead = nullptr;
    decltype(&pcap_compile) compile = nullptr;
    decltype(&pcap_geterr) geterr = nullptr;
    decltype(&pcap_offline_filter) offline_filter = nullptr;
    decltype(&pcap_freecode) freecode = nullptr;
    decltype(&pcap_close) close = nullptr;
};

template <typename Function>
bool find(HMODULE dll, const char *name, Function *function)
{
    *function = reinterpret_cast<Function>(reinterpret_cast<void *>(GetProcAddress(dll, name)));
    return *function != nullptr;
}

const Wpcap &wpcap()
{
    static const Wpcap loaded = [] {
        Wpcap w;
        wchar_t system[MAX_PATH];
        const UINT length = GetSystemDirectoryW(system, MAX_PATH);
        if (length > 0 && length < MAX_PATH) {
            const std::wstring npcap = std::wstring(system) + L"\\Npcap\\wpcap.dll";
            w.dll = LoadLibraryExW(npcap.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
        }
        if (!w.dll)
            return w;
        if (!find(w.dll, "pcap_open_dead", &w.open_dead) || !find(w.dll, "pcap_compile", &w.compile)
            || !find(w.dll, "pcap_geterr", &w.geterr) || !find(w.dll, "pcap_offline_filter", &w.offline_filter)
            || !find(w.dll, "pcap_freecode", &w.freecode) || !find(w.dll, "pcap_close", &w.close))
            w.open_dead = nullptr;
        return w;
    }();
    return loaded;
}

} // namespace

const char *ovk_wpcap_missing()
{
    return wpcap().open_dead ? nullptr
                             : "capture filters need Npcap (wpcap.dll), which is not installed; "
                               "capture without a filter, or install Npcap from https://npcap.com";
}

pcap_t *pcap_open_dead(int linktype, int snaplen)
{
    return wpcap().open_dead ? wpcap().open_dead(linktype, snaplen) : nullptr;
}

int pcap_compile(pcap_t *p, bpf_program *program, const char *text, int optimize, bpf_u_int32 netmask)
{
    return wpcap().compile(p, program, text, optimize, netmask);
}

char *pcap_geterr(pcap_t *p)
{
    return wpcap().geterr(p);
}

int pcap_offline_filter(const bpf_program *program, const pcap_pkthdr *header, const unsigned char *data)
{
    return wpcap().offline_filter(program, header, data);
}

void pcap_freecode(bpf_program *program)
{
    wpcap().freecode(program);
}

void pcap_close(pcap_t *p)
{
    wpcap().close(p);
}
