#pragma once
// What several benches share: the median they print, and the relvix-cli they time.
#include <QByteArray>
#include <QString>
#include <algorithm>
#include <vector>

namespace relvix::bench {

// The upper of the two middle values for an even count: a figure that was measured.
inline double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

#ifdef RELVIX_CLI_PROGRAM
// The relvix-cli of this build, or the one RELVIX_CLI names.
inline QString cliProgram()
{
    return QString::fromLocal8Bit(qgetenv("RELVIX_CLI").isEmpty() ? QByteArray(RELVIX_CLI_PROGRAM)
                                                                  : qgetenv("RELVIX_CLI"));
}
#endif

} // namespace relvix::bench
