#pragma once
// Processor time of this whole process (every thread, user and system), for the figures the
// benchmarks print beside their wall times.
#include <sys/resource.h>

namespace bench {

inline double ProcessCpuMs()
{
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1000.0 +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1000.0;
}

} // namespace bench
