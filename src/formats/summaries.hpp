// Findings that sum a column up: a column of Unix times or large counters
// would otherwise give one finding a row. Each (column, kind) is kept once,
// at its first place, with how many numbers of the column it concerns, and
// told after the last row in the order of those first places. A load read
// in parts keeps one per part and merges them in file order.
#pragma once

#include "common/growable.hpp"
#include "observer.hpp"

#include <cstddef>
#include <cstdint>

namespace gridvane_core::formats {

class ColumnSummaries {
public:
    ColumnSummaries() = default;
    ColumnSummaries(const ColumnSummaries &) = delete;
    ColumnSummaries &operator=(const ColumnSummaries &) = delete;
    ~ColumnSummaries();

    // Whether a finding of this kind sums its column up rather than being
    // told where it stands.
    static bool sums_up(std::int32_t kind);

    // Counts f (its text copied on the first of its column and kind) for
    // column; false when memory ran out.
    bool note(const gridvane_finding &f, std::int64_t column);
    // Adds a later part's, its lines moved by lines_before; false when
    // memory ran out.
    bool merge(const ColumnSummaries &later, std::int64_t lines_before);
    // Tells each, by first place; false when the observer stopped the read.
    bool tell(Observer &observer) const;

    std::size_t size() const { return kept_.size(); }

private:
    std::size_t find(std::int32_t kind, std::int64_t column) const;
    bool add(gridvane_finding f, std::int64_t count);

    // expected: the column; found: the count.
    Growable<gridvane_finding> kept_;
    // (column, kind) to its place in kept_ plus one, for the columns seen.
    Growable<std::uint32_t> where_;
};

} // namespace gridvane_core::formats
