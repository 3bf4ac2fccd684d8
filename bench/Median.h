#pragma once

#include <algorithm>
#include <chrono>
#include <vector>

// What every benchmark here reports: the median of its runs, in milliseconds.
using Clock = std::chrono::steady_clock;

inline double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n == 0 ? 0 : n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

inline double millisecondsSince(Clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}
