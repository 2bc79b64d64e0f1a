#include "datagrams.h"

#include <cctype>

#include "../common/netflow.h"

bool parseRawDatagrams(const std::vector<uint8_t>& file, std::vector<std::vector<uint8_t>>* out,
                       std::string* error) {
    std::vector<std::vector<uint8_t>> datagrams;
    size_t at = 0;
    while (at < file.size()) {
        if (file.size() - at < 4) {
            *error = "truncated length at offset " + std::to_string(at);
            return false;
        }
        uint32_t len = readBe32(&file[at]);
        if (len == 0) {
            *error = "empty datagram at offset " + std::to_string(at);
            return false;
        }
        if (file.size() - at - 4 < len) {
            *error = "datagram at offset " + std::to_string(at) + " claims " + std::to_string(len) +
                     " bytes, only " + std::to_string(file.size() - at - 4) + " left";
            return false;
        }
        datagrams.emplace_back(file.begin() + at + 4, file.begin() + at + 4 + len);
        at += 4 + len;
    }
    *out = datagrams;
    return true;
}

bool parseStreamList(const std::string& text, std::vector<uint16_t>* out, std::string* error) {
    std::vector<uint16_t> streams;
    size_t i = 0;
    for (;;) {
        size_t j = text.find(',', i);
        std::string word = text.substr(i, j == std::string::npos ? std::string::npos : j - i);
        bool ok = !word.empty() && word.size() <= 5 && !(word.size() > 1 && word[0] == '0');
        unsigned long v = 0;
        for (char c : word) {
            if (!std::isdigit(static_cast<unsigned char>(c))) ok = false;
            else v = v * 10 + static_cast<unsigned long>(c - '0');
        }
        if (!ok || v > 65534) {
            *error = "bad stream number '" + word + "'";
            return false;
        }
        streams.push_back(static_cast<uint16_t>(v));
        if (j == std::string::npos) break;
        i = j + 1;
    }
    *out = streams;
    return true;
}

Slot slotFor(uint64_t index, size_t assocs, const std::vector<uint16_t>& streams) {
    Slot s;
    s.assoc = static_cast<size_t>(index % assocs);
    s.stream = streams[static_cast<size_t>((index / assocs) % streams.size())];
    return s;
}

uint16_t outboundStreamsNeeded(const std::vector<uint16_t>& streams) {
    uint16_t highest = 0;
    for (uint16_t s : streams)
        if (s > highest) highest = s;
    return static_cast<uint16_t>(highest + 1);
}
