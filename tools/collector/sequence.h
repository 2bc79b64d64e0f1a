// Sequence numbers as a UDP collector checks them, in what the relay sends
// on an exporter's behalf, so that the collector counts as missing what
// the exporter lost and nothing else.
//
// NetFlow v9 numbers the export packets of an observation domain (source
// ID), so each template message the relay sends again would be a gap. The
// relay adds to every number of the domain the messages it has put in:
// such a message takes the number the domain's next datagram would have
// carried, and the datagrams after it one more. A jump the exporter made
// goes out just as big.
//
// IPFIX numbers a domain's data records, and over SCTP each stream numbers
// its own (RFC 7011, section 3.1), while a UDP collector follows one
// sequence per domain. So the relay numbers the domain's messages out one
// after another by their data records (templatesCount), and carries over
// what a stream lost: a stream's number beyond its previous one plus that
// message's records is a gap, added to the domain's. A message whose
// records the templates could not all count leaves its stream to learn
// them from its next number, which then counts no loss. A number behind
// what its stream expects (the exporter started again, say) is counted as
// out of order and numbered on as if it followed. Template messages sent
// again carry the domain's number as it stands: they hold no data records.
//
// The state lives in the exporter's store (TemplateStore) and counts
// against the template cache's caps; a domain or stream whose state does
// not fit is not kept (counted as untracked), and its messages pass with
// their own numbers.
#pragma once

#include <cstddef>
#include <cstdint>

#include "templates.h"

constexpr uint32_t kNoSequence = UINT32_MAX;

// What sequenceObserve found for a message, for sequenceStamp.
struct SequenceMark {
    uint32_t domain = kNoSequence;  // its place in `sequences`; none: it passes as it is
    uint32_t records = 0;           // its data records, as far as the templates tell
};

// Takes in the number of a message that templatesObserve took, which came
// on SCTP stream `stream`: counts what is missing or out of order, and
// counts its data records. The number it goes out with is written by
// sequenceStamp, after any template messages sent ahead of it.
SequenceMark sequenceObserve(TemplateCache& cache, ExporterTemplates& exporter, const uint8_t* data, size_t len,
                             uint32_t stream);

// Writes the message's number out (bytes 12-15 in v9, 8-11 in IPFIX), and
// moves its domain's on past it.
void sequenceStamp(ExporterTemplates& exporter, const SequenceMark& mark, uint8_t* data);

// The number a template message sent again for `domain` is to carry: in v9
// it is taken, and the domain's numbers move on by one. False when the
// relay keeps no numbers for the domain.
bool sequenceForResend(TemplateCache& cache, ExporterTemplates& exporter, uint32_t domain, uint32_t* number);
