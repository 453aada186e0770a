// SPDX-License-Identifier: GPL-2.0-or-later
// ovk5dump.exe compiles capture filters with the wpcap.dll Npcap installs,
// loaded when a filter is given (windows/wpcap_runtime.cpp): the few
// libpcap declarations it uses, laid out as that DLL has them.
#ifndef OVK_WINDOWS_PCAP_H
#define OVK_WINDOWS_PCAP_H

#include <winsock2.h>

typedef unsigned int bpf_u_int32;
struct bpf_insn;
struct bpf_program {
    unsigned int bf_len;
    struct bpf_insn *bf_insns;
};
struct pcap_pkthdr {
    struct timeval ts;
    bpf_u_int32 caplen;
    bpf_u_int32 len;
};
typedef struct pcap pcap_t;

#define DLT_EN10MB 1
#define PCAP_NETMASK_UNKNOWN 0xffffffff

pcap_t *pcap_open_dead(int linktype, int snaplen);
int pcap_compile(pcap_t *p, struct bpf_program *program, const char *text, int optimize, bpf_u_int32 netmask);
char *pcap_geterr(pcap_t *p);
int pcap_offline_filter(const struct bpf_program *program, const struct pcap_pkthdr *header, const unsigned char *data);
void pcap_freecode(struct bpf_program *program);
void pcap_close(pcap_t *p);

// Why pcap_open_dead() gave nothing: Npcap missing.
const char *ovk_wpcap_missing();

#endif
