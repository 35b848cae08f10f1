#pragma once

// What the window benchmarks share to measure how responsive the interface stays: the
// gaps between the ticks of a 10 ms timer on the interface thread while work runs.

#include <QElapsedTimer>
#include <QEventLoop>
#include <QObject>
#include <QTimer>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <vector>

namespace bench_gaps {

constexpr int TickMs = 10;

/** Gaps between the ticks of a 10 ms timer on the interface thread. */
struct Gaps
{
    std::vector<double> ms;

    double Percentile(double p) const
    {
        if (ms.empty()) return 0;
        std::vector<double> sorted(ms);
        std::sort(sorted.begin(), sorted.end());
        const size_t rank = size_t(std::ceil(p * double(sorted.size())));
        return sorted[std::clamp<size_t>(rank, 1, sorted.size()) - 1];
    }
    double Max() const { return ms.empty() ? 0 : *std::max_element(ms.begin(), ms.end()); }
};

/**
 * Runs the interface thread's event loop with a 10 ms timer; `onTick` runs at every tick
 * and returns false to stop. Returns the gaps between consecutive ticks.
 */
template <class OnTick> Gaps RecordTicks(OnTick&& onTick)
{
    Gaps gaps;
    QEventLoop loop;
    QTimer timer;
    timer.setTimerType(Qt::PreciseTimer);
    timer.setInterval(TickMs);
    QElapsedTimer clock;
    bool first = true;
    qint64 last = 0;
    QObject::connect(&timer, &QTimer::timeout, &loop, [&] {
        const qint64 now = clock.nsecsElapsed();
        if (!first) gaps.ms.push_back(double(now - last) * 1e-6);
        first = false;
        last = now;
        if (!onTick()) loop.quit();
    });
    clock.start();
    timer.start();
    loop.exec();
    timer.stop();
    return gaps;
}

} // namespace bench_gaps
