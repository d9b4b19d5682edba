// Samples of one benchmark figure and the statistics the report prints.
#pragma once

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstddef>
#include <limits>
#include <map>
#include <string>
#include <vector>

namespace bench
{

using Clock = std::chrono::steady_clock;

inline double millisecondsBetween(Clock::time_point from, Clock::time_point to)
{
    return std::chrono::duration<double, std::milli>(to - from).count();
}

inline double secondsSince(Clock::time_point from)
{
    return std::chrono::duration<double>(Clock::now() - from).count();
}

constexpr double kNotMeasured = std::numeric_limits<double>::quiet_NaN();

// The value each row of the tags table should hold, by row id.
using RowValues = std::map<int, int>;

// How long a measuring loop may run: it ends at whichever limit it meets first.
struct Budget {
    std::size_t maxSamples;
    double maxSeconds;
};

// Per-operation measurements of one figure, in milliseconds.
class Samples
{
public:
    void add(double value) { m_values.push_back(value); }
    std::size_t count() const { return m_values.size(); }
    bool empty() const { return m_values.empty(); }

    // Nearest rank: the smallest sample with at least p % of all samples at
    // or below it, so the p99 of 100 samples is the second largest.
    double percentile(double p) const
    {
        if (m_values.empty()) {
            return kNotMeasured;
        }
        std::vector<double> sorted = m_values;
        std::sort(sorted.begin(), sorted.end());
        const auto rank = std::size_t(std::ceil(p / 100.0 * double(sorted.size())));
        return sorted[std::clamp<std::size_t>(rank, 1, sorted.size()) - 1];
    }
    double median() const { return percentile(50); }
    double p99() const { return percentile(99); }
    double max() const { return percentile(100); }

    double mean() const
    {
        if (m_values.empty()) {
            return kNotMeasured;
        }
        double sum = 0;
        for (double value : m_values) {
            sum += value;
        }
        return sum / double(m_values.size());
    }

private:
    std::vector<double> m_values;
};

// One figure of the report: a headline value with its unit, the latencies
// behind it (empty for a single measurement), the operations that failed or
// timed out, and why the figure is missing when it is.
struct Figure {
    double value = kNotMeasured;
    std::string unit;
    Samples samples;
    std::size_t failures = 0;
    std::string note;

    bool measured() const { return !std::isnan(value) || !samples.empty(); }
};

inline Figure missingFigure(std::string why)
{
    Figure figure;
    figure.note = std::move(why);
    return figure;
}

} // namespace bench
