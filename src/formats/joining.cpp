#include "joining.hpp"

#include "common/heap.hpp"

#include <cerrno>
#include <cmath>
#include <cstring>

namespace gridvane_core::formats {

KeptFindings::~KeptFindings()
{
    for (std::size_t i = 0; i < kept_.size(); ++i)
        heap::release(const_cast<char *>(kept_[i].text));
}

int KeptFindings::keep(const gridvane_finding *f, void *context)
{
    static_cast<KeptFindings *>(context)->add(*f);
    return 0;
}

void KeptFindings::add(gridvane_finding f)
{
    if (overflowed_ || kept_.size() == most || !kept_.reserve(kept_.size() + 1)) {
        overflowed_ = true;
        return;
    }
    if (f.text != nullptr) {
        const std::size_t n = std::strlen(f.text);
        auto *text = static_cast<char *>(heap::allocate(n + 1));
        if (text == nullptr) {
            overflowed_ = true;
            return;
        }
        std::memcpy(text, f.text, n + 1);
        f.text = text;
    }
    kept_.push(f);
}

AsciiJoin::AsciiJoin(const Span &head, Observer *observer)
    : observer_(observer), previous_(head.last_frame), previous_line_(head.last_frame_line),
      told_carriage_return_(head.told_carriage_return), lines_before_(head.lines)
{
    if (!summaries_.merge(head.summaries, 0))
        failure_ = gridvane_core::failure(GRIDVANE_E_NO_MEMORY, ENOMEM);
}

// A part's finding at its place in the file: lines count from the file's
// first, and a falling frame names the line before and the row in the table.
bool AsciiJoin::tell_moved(gridvane_finding f)
{
    f.line += lines_before_;
    if (f.kind == GRIDVANE_FINDING_FRAME_NOT_RISING) {
        f.expected += lines_before_;
        f.found += rows_;
    }
    return observer_->tell(f);
}

// The comparison of a part's first frame with the last frame before it,
// which the part could not make: a finding, or the failure of a load whose
// frames stand in a column.
Joined AsciiJoin::tell_first_frame(const Span &part)
{
    gridvane_finding f = part.first_frame;
    if (std::isnan(previous_) || f.taken > previous_)
        return Joined::told;
    if (part.frames_refused_falling) {
        failure_ = with_counts(failure_at(GRIDVANE_E_AGAINST_READING, f.line + lines_before_, f.column, f.offset),
                               previous_line_, GRIDVANE_FINDING_FRAME_NOT_RISING);
        return Joined::failed;
    }
    if (observer_ == nullptr)
        return Joined::told;
    f.previous = previous_;
    f.expected = previous_line_ - lines_before_;
    return tell_moved(f) ? Joined::told : Joined::stopped;
}

Joined AsciiJoin::tell(const Span &part, const KeptFindings &kept)
{
    const auto first_frame_at = part.first_frame_seen ? part.first_frame_told : -1;
    if (observer_ == nullptr)
        return first_frame_at >= 0 ? tell_first_frame(part) : Joined::told;
    for (std::size_t i = 0; i < kept.size(); ++i) {
        if (static_cast<std::int64_t>(i) == first_frame_at)
            if (const Joined j = tell_first_frame(part); j != Joined::told)
                return j;
        const gridvane_finding &f = kept[i];
        // One carriage return is told per file, not per part.
        if (f.kind == GRIDVANE_FINDING_CARRIAGE_RETURN) {
            if (told_carriage_return_)
                continue;
            told_carriage_return_ = true;
        }
        if (!tell_moved(f))
            return Joined::stopped;
    }
    if (kept.overflowed())
        return Joined::incomplete;
    if (first_frame_at == static_cast<std::int64_t>(kept.size()))
        return tell_first_frame(part);
    return Joined::told;
}

Status AsciiJoin::failure_in_file(Status part) const
{
    if (part.line > 0)
        part.line += lines_before_;
    // A frame column's falling frame names the line of the frame before.
    if (part.code == GRIDVANE_E_AGAINST_READING && part.found == GRIDVANE_FINDING_FRAME_NOT_RISING)
        part.expected += lines_before_;
    return part;
}

bool AsciiJoin::passed(const Span &part, std::int64_t rows)
{
    if (succeeded(failure_) && !summaries_.merge(part.summaries, lines_before_))
        failure_ = gridvane_core::failure(GRIDVANE_E_NO_MEMORY, ENOMEM);
    if (!std::isnan(part.last_frame)) {
        previous_ = part.last_frame;
        previous_line_ = part.last_frame_line + lines_before_;
    }
    lines_before_ += part.lines;
    rows_ += rows;
    return succeeded(failure_);
}

Joined AsciiJoin::tell_summaries()
{
    if (!succeeded(failure_))
        return Joined::failed;
    if (observer_ == nullptr || summaries_.tell(*observer_))
        return Joined::told;
    return Joined::stopped;
}

} // namespace gridvane_core::formats
