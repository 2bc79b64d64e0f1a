#include "metrics_text.h"

#include <arpa/inet.h>

#include <string_view>
#include <vector>

namespace {

using Figures = MetricsFigures;

void family(std::string& out, const char* name, const char* type, const char* help) {
    out.append("# HELP ").append(name).append(" ").append(help);
    out.append("\n# TYPE ").append(name).append(" ").append(type).append("\n");
}

// `labels` and `more` as they go between the braces, already escaped.
void sample(std::string& out, const char* name, std::string_view labels, uint64_t value,
            std::string_view more = std::string_view()) {
    out.append(name);
    if (!labels.empty() || !more.empty()) {
        out.append("{").append(labels);
        if (!labels.empty() && !more.empty()) out.append(",");
        out.append(more).append("}");
    }
    out.append(" ").append(std::to_string(value)).append("\n");
}

// Appends name="value", with the value escaped as the format asks.
void label(std::string& out, const char* name, std::string_view value) {
    out.append(name).append("=\"");
    for (char ch : value) {
        if (ch == '\\' || ch == '"') out += '\\';
        if (ch == '\n') out += "\\n";
        else out += ch;
    }
    out += '"';
}

// --- One sample a family.

struct Scalar {
    const char* name;
    const char* type;
    const char* help;
    uint64_t (*value)(const Figures&);
};

const Scalar kScalars[] = {
    {"quorvane_collector_records_total", "counter", "Records received from the daemon.",
     [](const Figures& f) { return static_cast<uint64_t>(f.records); }},
    {"quorvane_collector_oversize_records_total", "counter",
     "Records longer than 65535 payload bytes, read past and not relayed.",
     [](const Figures& f) { return static_cast<uint64_t>(f.oversize); }},
    {"quorvane_collector_daemon_connected", "gauge", "1 while the daemon is connected, 0 while it is waited for.",
     [](const Figures& f) { return uint64_t{f.connected}; }},
    {"quorvane_collector_daemon_sessions_total", "counter", "Daemon connections taken, the current one included.",
     [](const Figures& f) { return f.link->sessions; }},
    {"quorvane_collector_refused_connections_total", "counter",
     "Connections refused for belonging to neither the collector's user nor a -peer-user.",
     [](const Figures& f) { return f.link->refused; }},
    {"quorvane_collector_exporters", "gauge",
     "Exporters in the table now: with sockets of their own, or under -spoof with their templates kept.",
     [](const Figures& f) { return uint64_t{f.relay->table.exporters}; }},
    {"quorvane_collector_exporters_limit", "gauge", "Exporters the table holds at most.",
     [](const Figures& f) { return uint64_t{f.relay->table.cap}; }},
    {"quorvane_collector_exporter_evictions_total", "counter",
     "Exporters that gave their slot up to a newcomer, the least recently seen first.",
     [](const Figures& f) { return f.relay->table.evictions; }},
    {"quorvane_collector_exporter_table_bytes", "gauge", "Memory of the exporter table's own arrays.",
     [](const Figures& f) { return uint64_t{exportersBytes(f.relay->table)}; }},
    {"quorvane_collector_exporter_aliases", "gauge",
     "Sender addresses remembered now as another address of their exporter's association.",
     [](const Figures& f) { return f.relay->associations.aliases; }},
    {"quorvane_collector_association_lookups_total", "counter", "Times the kernel was asked about associations.",
     [](const Figures& f) { return f.relay->associations.lookups; }},
    {"quorvane_collector_lookup_deferred_records_total", "counter",
     "Records relayed under their own address while their lookup waited for the time budget.",
     [](const Figures& f) { return f.relay->associations.deferred; }},
    {"quorvane_collector_association_table_bytes", "gauge",
     "Memory of the addresses remembered and of the lookups' reply buffer.",
     [](const Figures& f) { return uint64_t{associationsBytes(f.relay->associations)}; }},
    {"quorvane_collector_templates_taken_total", "counter", "Template records taken in, new or changed.",
     [](const Figures& f) { return f.relay->templates.cached; }},
    {"quorvane_collector_template_messages_resent_total", "counter",
     "Messages of templates sent again, counted per target.",
     [](const Figures& f) { return f.relay->templates.resent; }},
    {"quorvane_collector_templates_withdrawn_total", "counter", "Templates removed by IPFIX withdrawals.",
     [](const Figures& f) { return f.relay->templates.withdrawn; }},
    {"quorvane_collector_malformed_messages_total", "counter",
     "IPFIX and v9 messages whose templates were not taken for being inconsistent.",
     [](const Figures& f) { return f.relay->templates.malformed; }},
    {"quorvane_collector_templates_over_cap_total", "counter", "Templates not kept for the template cache's caps.",
     [](const Figures& f) { return f.relay->templates.refused; }},
    {"quorvane_collector_template_cache_bytes", "gauge",
     "Bytes the template cache holds, its bookkeeping included, as counted against its caps.",
     [](const Figures& f) { return uint64_t{f.relay->templates.bytes}; }},
    {"quorvane_collector_template_cache_limit_bytes", "gauge", "Bytes the template cache holds at most, in all.",
     [](const Figures& f) { return uint64_t{f.relay->templates.totalLimit}; }},
    {"quorvane_collector_template_cache_exporter_limit_bytes", "gauge",
     "Bytes the template cache holds at most for one exporter.",
     [](const Figures& f) { return uint64_t{f.relay->templates.perExporterLimit}; }},
    {"quorvane_collector_relayed_bytes_total", "counter", "Payload bytes of the records relayed.",
     [](const Figures& f) { return f.relay->payloadBytes; }},
    {"quorvane_collector_data_records_total", "counter", "Data records the exporters' templates counted.",
     [](const Figures& f) { return f.relay->templates.records; }},
    {"quorvane_collector_sequence_missing_total", "counter",
     "Sequence numbers the exporters skipped: v9 datagrams, IPFIX data records.",
     [](const Figures& f) { return f.relay->templates.missing; }},
    {"quorvane_collector_sequence_out_of_order_total", "counter", "Times an exporter's sequence number went back.",
     [](const Figures& f) { return f.relay->templates.disorder; }},
    {"quorvane_collector_sequence_untracked_total", "counter",
     "Datagrams sent on with their own sequence number, their domain's or stream's state being over the caps.",
     [](const Figures& f) { return f.relay->templates.untracked; }},
};

// --- Per target, labelled target="HOST:PORT" as on the command line.

struct TargetCounter {
    const char* name;
    const char* help;
    uint64_t RelayTarget::*field;
};

const TargetCounter kTargetCounters[] = {
    {"quorvane_collector_target_sent_total", "Datagrams the kernel accepted toward the target.", &RelayTarget::sent},
    {"quorvane_collector_target_errors_total", "Datagrams toward the target dropped as send errors.",
     &RelayTarget::errors},
    {"quorvane_collector_target_shared_total",
     "Of the datagrams sent, those that went through the shared socket, the exporter having none of its own.",
     &RelayTarget::shared},
};

// --- Per exporter, labelled exporter="A.B.C.D" and port="SCTP port".
//
// A family gives its samples for one exporter slot through put(), which
// writes the family's name and the exporter's labels, and any labels of
// the family's own after them (say a version and an observation domain).
// A new per-exporter figure is a new row of kExporterFamilies.

struct ExporterSamples {
    std::string& out;
    const char* name;
    std::string_view labels;
};

void put(const ExporterSamples& s, uint64_t value, std::string_view more = std::string_view()) {
    sample(s.out, s.name, s.labels, value, more);
}

struct ExporterFamily {
    const char* name;
    const char* type;
    const char* help;
    void (*samples)(const Relay& relay, uint32_t slot, const ExporterSamples& s);
};

const ExporterFamily kExporterFamilies[] = {
    {"quorvane_collector_exporter_info", "gauge", "1 for each exporter listed: in the table, most recently seen first.",
     [](const Relay&, uint32_t, const ExporterSamples& s) { put(s, 1); }},
    {"quorvane_collector_exporter_templates", "gauge", "Templates the relay holds for the exporter.",
     [](const Relay& r, uint32_t slot, const ExporterSamples& s) {
         const TemplateStore* t = r.slotTemplates[slot].cache.store.get();
         put(s, t ? t->entries.size() : 0);
     }},
    {"quorvane_collector_exporter_template_bytes", "gauge",
     "Bytes the relay holds for the exporter's templates and sequence numbers, as counted against the caps.",
     [](const Relay& r, uint32_t slot, const ExporterSamples& s) {
         const TemplateStore* t = r.slotTemplates[slot].cache.store.get();
         put(s, t ? t->held : 0);
     }},
    {"quorvane_collector_exporter_datagrams_total", "counter", "Datagrams of the exporter relayed since it took its slot.",
     [](const Relay& r, uint32_t slot, const ExporterSamples& s) {
         put(s, exportersCounters(r.table, slot).datagrams);
     }},
    {"quorvane_collector_exporter_bytes_total", "counter", "Payload bytes of the exporter relayed since it took its slot.",
     [](const Relay& r, uint32_t slot, const ExporterSamples& s) { put(s, exportersCounters(r.table, slot).bytes); }},
    {"quorvane_collector_exporter_data_records_total", "counter",
     "Data records of the exporter's datagrams, as far as its templates tell, since it took its slot.",
     [](const Relay& r, uint32_t slot, const ExporterSamples& s) {
         put(s, exportersCounters(r.table, slot).records);
     }},
    {"quorvane_collector_exporter_last_seen_seconds", "gauge",
     "When the exporter's latest datagram was received, in seconds since the epoch.",
     [](const Relay& r, uint32_t slot, const ExporterSamples& s) {
         put(s, exportersCounters(r.table, slot).lastSeenMs / 1000);
     }},
};

// --- Per observation domain (v9 source ID) and IPFIX stream of a listed
// exporter, labelled version, domain and stream after the exporter's own.

struct SequenceFamily {
    const char* name;
    const char* help;
    bool stream;
    uint64_t SequenceDomain::*domainField;
    uint64_t SequenceStream::*streamField;
};

const SequenceFamily kSequenceFamilies[] = {
    {"quorvane_collector_exporter_sequence_missing_total",
     "Sequence numbers the exporter skipped in the domain: v9 datagrams, IPFIX data records.", false,
     &SequenceDomain::missing, nullptr},
    {"quorvane_collector_exporter_sequence_out_of_order_total", "Times the domain's sequence number went back.", false,
     &SequenceDomain::disorder, nullptr},
    {"quorvane_collector_exporter_stream_sequence_missing_total",
     "IPFIX data records the exporter skipped on the SCTP stream.", true, nullptr, &SequenceStream::missing},
    {"quorvane_collector_exporter_stream_sequence_out_of_order_total",
     "Times the SCTP stream's IPFIX sequence number went back.", true, nullptr, &SequenceStream::disorder},
};

struct Listed {
    uint32_t slot;
    size_t at, len;  // its labels in `labels`
};

// The exporters of the table from the most recently seen on, at most
// kMetricsExporters slots visited, their labels one after another in
// `labels`. The key is address << 32 | SCTP port.
std::vector<Listed> listExporters(const ExporterTable& t, std::string& labels) {
    std::vector<Listed> listed;
    size_t visited = 0;
    for (uint32_t s = t.head; s != kNoSlot && visited < kMetricsExporters; s = t.next[s], ++visited) {
        if (!t.bound[s]) continue;
        in_addr a{htonl(static_cast<uint32_t>(t.key[s] >> 32))};
        char text[INET_ADDRSTRLEN];
        inet_ntop(AF_INET, &a, text, sizeof text);
        size_t at = labels.size();
        label(labels, "exporter", text);
        labels += ',';
        label(labels, "port", std::to_string(static_cast<uint32_t>(t.key[s])));
        listed.push_back({s, at, labels.size() - at});
    }
    return listed;
}

// The domains and streams of the listed exporters, in that order, at most
// kMetricsSequences of them; their labels follow `labels`' exporters'.
struct ListedSequence {
    const SequenceDomain* domain;
    const SequenceStream* stream;
    size_t at, len;
};

std::vector<ListedSequence> listSequences(const Relay& r, const std::vector<Listed>& listed, std::string& labels) {
    std::vector<ListedSequence> out;
    for (const Listed& x : listed) {
        const ExporterTemplates& e = r.slotTemplates[x.slot].cache;
        if (!e.store) continue;
        std::string exporter = labels.substr(x.at, x.len), version = std::to_string(e.version);
        auto add = [&](const SequenceDomain* d, const SequenceStream* st) {
            size_t at = labels.size();
            labels.append(exporter).append(",");
            label(labels, "version", version);
            labels += ',';
            label(labels, "domain", std::to_string(d ? d->domain : st->domain));
            if (st) {
                labels += ',';
                label(labels, "stream", std::to_string(st->stream));
            }
            out.push_back({d, st, at, labels.size() - at});
        };
        for (const SequenceDomain& d : e.store->sequences) {
            if (out.size() == kMetricsSequences) return out;
            add(&d, nullptr);
        }
        for (const SequenceStream& st : e.store->streams) {
            if (out.size() == kMetricsSequences) return out;
            add(nullptr, &st);
        }
    }
    return out;
}

}  // namespace

void renderMetrics(const MetricsFigures& f, std::string* out) {
    std::string& o = *out;
    for (const Scalar& s : kScalars) {
        family(o, s.name, s.type, s.help);
        sample(o, s.name, std::string_view(), s.value(f));
    }
    std::string labels;
    for (const TargetCounter& c : kTargetCounters) {
        family(o, c.name, "counter", c.help);
        for (const RelayTarget& t : f.relay->targets) {
            labels.clear();
            label(labels, "target", t.text);
            sample(o, c.name, labels, t.*c.field);
        }
    }
    labels.clear();
    std::vector<Listed> listed = listExporters(f.relay->table, labels);
    for (const ExporterFamily& e : kExporterFamilies) {
        family(o, e.name, e.type, e.help);
        for (const Listed& x : listed)
            e.samples(*f.relay, x.slot, ExporterSamples{o, e.name, std::string_view(labels).substr(x.at, x.len)});
    }
    std::vector<ListedSequence> sequences = listSequences(*f.relay, listed, labels);
    for (const SequenceFamily& q : kSequenceFamilies) {
        family(o, q.name, "counter", q.help);
        for (const ListedSequence& x : sequences)
            if (q.stream == (x.stream != nullptr))
                sample(o, q.name, std::string_view(labels).substr(x.at, x.len),
                       q.stream ? x.stream->*q.streamField : x.domain->*q.domainField);
    }
}
