#include "joining.hpp"

#include "common/heap.hpp"

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
// which the part could not make.
bool AsciiJoin::tell_first_frame(const Span &part)
{
    gridvane_finding f = part.first_frame;
    if (std::isnan(previous_) || f.taken > previous_)
        return true;
    f.previous = previous_;
    f.expected = previous_line_ - lines_before_;
    return tell_moved(f);
}

Joined AsciiJoin::tell(const Span &part, const KeptFindings &kept)
{
    if (observer_ == nullptr)
        return Joined::told;
    const auto first_frame_at = part.first_frame_seen ? part.first_frame_told : -1;
    for (std::size_t i = 0; i < kept.size(); ++i) {
        if (static_cast<std::int64_t>(i) == first_frame_at && !tell_first_frame(part))
            return Joined::stopped;
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
    if (first_frame_at == static_cast<std::int64_t>(kept.size()) && !tell_first_frame(part))
        return Joined::stopped;
    return Joined::told;
}

Status AsciiJoin::failure_in_file(Status part) const
{
    if (part.line > 0)
        part.line += lines_before_;
    return part;
}

void AsciiJoin::passed(const Span &part, std::int64_t rows)
{
    if (!std::isnan(part.last_frame)) {
        previous_ = part.last_frame;
        previous_line_ = part.last_frame_line + lines_before_;
    }
    lines_before_ += part.lines;
    rows_ += rows;
}

} // namespace gridvane_core::formats
