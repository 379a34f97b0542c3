// The bound on what a read may make of its input. A text file's first row
// fixes the width and every later line gets a row that wide, so a few bytes
// can claim gigabytes (a first row of 20,000 values, then 100,000 lines of
// "0": 240 KB asking for 8 GB). A read's table may hold at most `factor`
// times the bytes read so far, plus an allowance; past that it fails where
// it is. The densest real text holds a 4-byte float in 2 bytes ("0 "), and
// real short rows pad a few cells, so real files stay near 2; the default
// 256 leaves them a hundredfold margin and is met only by a file whose rows
// lack more than 99 % of their cells.
#pragma once

#include "gridvane_ext.h"

#include <algorithm>
#include <atomic>
#include <cstdint>

namespace gridvane_core::formats {

// The process's factor (0: no bound), set through gridvane_read_growth.
inline std::atomic<std::int64_t> read_growth{GRIDVANE_GROWTH_DEFAULT};

constexpr std::int64_t growth_allowance = GRIDVANE_GROWTH_ALLOWANCE;

// The table a read has made so far against its bound. begin is where the
// read's own input begins: a part of a planned load is held to its own
// bytes, and keeps its peak excess over the bytes from the file's start, by
// which the join tells whether a single read would have failed in it.
class Growth {
public:
    explicit Growth(std::int64_t begin = 0)
        : factor_(read_growth.load(std::memory_order_relaxed)), begin_(begin),
          most_bytes_(factor_ == 0 ? INT64_MAX : INT64_MAX / factor_)
    {
    }

    // A row of `bytes` taken, the input read up to `offset`: false once the
    // table passes its bound.
    bool take(std::int64_t bytes, std::int64_t offset)
    {
        if (factor_ == 0)
            return true;
        table_ += bytes;
        peak_ = std::max(peak_, table_ - allowed(offset));
        return table_ - allowed(offset - begin_) <= growth_allowance;
    }
    std::int64_t factor() const { return factor_; }
    std::int64_t table() const { return table_; }
    // The largest excess of the table over factor times the bytes from the
    // file's start (INT64_MIN: none yet, or no bound).
    std::int64_t peak() const { return peak_; }

private:
    std::int64_t allowed(std::int64_t bytes) const
    {
        return bytes > most_bytes_ ? INT64_MAX : factor_ * bytes;
    }
    std::int64_t factor_, begin_;
    std::int64_t most_bytes_; // past these, factor times them passes INT64_MAX: worked out once, not per row
    std::int64_t table_ = 0, peak_ = INT64_MIN;
};

} // namespace gridvane_core::formats
