#include "summaries.hpp"

#include "common/heap.hpp"

#include <algorithm>
#include <cstring>

namespace gridvane_core::formats {

namespace {

// The two kinds that sum up, side by side in where_.
std::size_t slot(std::int32_t kind, std::int64_t column)
{
    return static_cast<std::size_t>(column) * 2 + (kind == GRIDVANE_FINDING_ROUNDED_WHOLE_PART ? 1 : 0);
}

} // namespace

ColumnSummaries::~ColumnSummaries()
{
    for (std::size_t i = 0; i < kept_.size(); ++i)
        heap::release(const_cast<char *>(kept_[i].text));
}

bool ColumnSummaries::sums_up(std::int32_t kind)
{
    return kind == GRIDVANE_FINDING_ROUNDED_WHOLE_NUMBER || kind == GRIDVANE_FINDING_ROUNDED_WHOLE_PART;
}

std::size_t ColumnSummaries::find(std::int32_t kind, std::int64_t column) const
{
    const std::size_t at = slot(kind, column);
    return at < where_.size() ? where_[at] : 0;
}

bool ColumnSummaries::add(gridvane_finding f, std::int64_t count)
{
    const std::size_t at = slot(f.kind, f.expected);
    if (at >= where_.size()) {
        if (!where_.reserve(at + 1))
            return false;
        std::fill(where_.data() + where_.size(), where_.data() + at + 1, 0u);
        where_.resize(at + 1);
    }
    if (kept_.size() >= UINT32_MAX - 1 || !kept_.reserve(kept_.size() + 1))
        return false;
    if (f.text != nullptr) {
        const std::size_t n = std::strlen(f.text);
        auto *text = static_cast<char *>(heap::allocate(n + 1));
        if (text == nullptr)
            return false;
        std::memcpy(text, f.text, n + 1);
        f.text = text;
    }
    f.found = count;
    kept_.push(f);
    where_[at] = static_cast<std::uint32_t>(kept_.size());
    return true;
}

bool ColumnSummaries::note(const gridvane_finding &f, std::int64_t column)
{
    if (const std::size_t i = find(f.kind, column)) {
        ++kept_[i - 1].found;
        return true;
    }
    gridvane_finding first = f;
    first.expected = column;
    return add(first, 1);
}

bool ColumnSummaries::merge(const ColumnSummaries &later, std::int64_t lines_before)
{
    for (std::size_t k = 0; k < later.kept_.size(); ++k) {
        const gridvane_finding &f = later.kept_[k];
        if (const std::size_t i = find(f.kind, f.expected)) {
            kept_[i - 1].found += f.found;
            continue;
        }
        gridvane_finding moved = f;
        moved.line += lines_before;
        if (!add(moved, f.found))
            return false;
    }
    return true;
}

bool ColumnSummaries::tell(Observer &observer) const
{
    // Each was kept at its first place, in input order (a later part's
    // lines all follow the earlier's).
    for (std::size_t i = 0; i < kept_.size(); ++i) {
        gridvane_finding f = kept_[i];
        if (!observer.tell(f))
            return false;
    }
    return true;
}

} // namespace gridvane_core::formats
