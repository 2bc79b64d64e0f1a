// What the benchmark drivers read off the processes they measure, and how
// they summarise rounds: shared by every driver, so their figures mean the
// same.
#pragma once

#include <sys/types.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

inline void die(const char* what) {
    perror(what);
    exit(2);
}

// user+sys ticks of the process, from /proc/PID/stat fields 14 and 15.
inline long cpuTicks(pid_t pid) {
    char path[64], buf[1024];
    snprintf(path, sizeof path, "/proc/%d/stat", pid);
    FILE* f = fopen(path, "r");
    if (!f) return -1;
    size_t n = fread(buf, 1, sizeof buf - 1, f);
    fclose(f);
    buf[n] = 0;
    const char* p = strrchr(buf, ')');
    if (!p) return -1;
    long utime = 0, stime = 0;
    // After ")": state is field 3; utime is field 14.
    if (sscanf(p + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %ld %ld", &utime, &stime) != 2) return -1;
    return utime + stime;
}

// A number from /proc/PID/status: KiB for the Vm and Rss lines, a count for
// the context switches.
inline long statusField(pid_t pid, const char* key) {
    char path[64], line[256];
    snprintf(path, sizeof path, "/proc/%d/status", pid);
    FILE* f = fopen(path, "r");
    if (!f) return -1;
    long v = -1;
    size_t k = strlen(key);
    while (fgets(line, sizeof line, f))
        if (!strncmp(line, key, k) && line[k] == ':') v = atol(line + k + 1);
    fclose(f);
    return v;
}

inline double median(std::vector<double> v) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    size_t m = v.size() / 2;
    return v.size() % 2 ? v[m] : (v[m - 1] + v[m]) / 2;
}

inline std::vector<std::string> split(const std::string& s) {
    std::vector<std::string> out;
    size_t b = 0;
    for (size_t e; (e = s.find(',', b)) != std::string::npos; b = e + 1) out.push_back(s.substr(b, e - b));
    out.push_back(s.substr(b));
    return out;
}

inline std::string spread(std::vector<double> v, const char* format) {
    if (v.empty()) return "-";
    std::sort(v.begin(), v.end());
    char buf[96];
    std::string f = std::string(format) + " [" + format + "-" + format + "]";
    snprintf(buf, sizeof buf, f.c_str(), median(v), v.front(), v.back());
    return buf;
}
