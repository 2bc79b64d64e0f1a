#include "main/settings.h"

#include <cstdlib>
#include <cstring>
#include <iostream>

int forwardingport = -1;
int udpsocketbufsize = -1;
int packetpoolsize = -1;
int maxpacketsize = -1;
int logstatsinterval = -1;
unsigned int poolUsageWarningPercentEntries_ = 15;
unsigned int cancelPoolUsageWarningPercentEntries_ = 50;
unsigned int poolUsageWarningNumPackets_ = 0;
unsigned int cancelPoolUsageWarningNumPackets_ = 0;
bool debugEnabled_ = false;

void usageAndExit() {
    std::cerr << "usage: quorvane -forwardingport port -udpsocketbufsize size -packetpoolsize size"
                 " -maxpacketsize size [ -logstats secs ] [ -poolusagewarnpct pct ]"
                 " [ -cancelpoolusagewarnpct pct ]"
              << std::endl;
    exit(1);
}

// atoi on purpose: operators have always been able to write "-logstats 5s" or
// leave a value empty, and such values must keep meaning what they meant.
int stringToInt(const char* text) { return atoi(text); }

namespace {

struct ValueOption {
    const char* name;
    int* signedTarget;
    unsigned int* unsignedTarget;
};

const ValueOption valueOptions[] = {
    {"-forwardingport", &forwardingport, nullptr},
    {"-udpsocketbufsize", &udpsocketbufsize, nullptr},
    {"-packetpoolsize", &packetpoolsize, nullptr},
    {"-maxpacketsize", &maxpacketsize, nullptr},
    {"-logstats", &logstatsinterval, nullptr},
    {"-poolusagewarnpct", nullptr, &poolUsageWarningPercentEntries_},
    {"-cancelpoolusagewarnpct", nullptr, &cancelPoolUsageWarningPercentEntries_},
};

}  // namespace

void parseArgs(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        const ValueOption* option = nullptr;
        for (const ValueOption& candidate : valueOptions) {
            if (strcmp(argv[i], candidate.name) == 0) {
                option = &candidate;
                break;
            }
        }
        if (option != nullptr) {
            // A value option with nothing behind it is as wrong as any other bad
            // line; reading past argv would pick up whatever memory follows.
            if (i + 1 >= argc) usageAndExit();
            ++i;
            int value = stringToInt(argv[i]);
            if (option->signedTarget != nullptr)
                *option->signedTarget = value;
            else
                *option->unsignedTarget = static_cast<unsigned int>(value);
        } else if (strcmp(argv[i], "-debug") == 0) {
            debugEnabled_ = true;
        } else {
            usageAndExit();
        }
    }

    if (forwardingport < 0 || udpsocketbufsize < 0 || packetpoolsize < 0 || maxpacketsize < 0)
        usageAndExit();
    if (poolUsageWarningPercentEntries_ > 100) usageAndExit();
    if (cancelPoolUsageWarningPercentEntries_ > 100) usageAndExit();
    if (poolUsageWarningPercentEntries_ > cancelPoolUsageWarningPercentEntries_) usageAndExit();

    // 32-bit unsigned on purpose: a huge pool wraps exactly as it always has.
    unsigned int pool = static_cast<unsigned int>(packetpoolsize);
    poolUsageWarningNumPackets_ = (pool * poolUsageWarningPercentEntries_) / 100;
    cancelPoolUsageWarningNumPackets_ = (pool * cancelPoolUsageWarningPercentEntries_) / 100;
}
