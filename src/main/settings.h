// Settings taken from the command line; written once by parseArgs, read-only afterwards.
#pragma once

extern int forwardingport;
extern int udpsocketbufsize;
extern int packetpoolsize;
extern int maxpacketsize;
extern int logstatsinterval;
extern unsigned int poolUsageWarningPercentEntries_;
extern unsigned int cancelPoolUsageWarningPercentEntries_;
extern unsigned int poolUsageWarningNumPackets_;
extern unsigned int cancelPoolUsageWarningNumPackets_;
extern bool debugEnabled_;

void parseArgs(int argc, char** argv);
[[noreturn]] void usageAndExit();
int stringToInt(const char* text);
