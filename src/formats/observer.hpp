// How readers tell a caller where they take the input other than as it is
// written. A reader built without an observer has none of this code: the
// readers take the observer as a template choice, so the fast path does not
// test for one per token.
#pragma once

#include "common/status.hpp"
#include "gridvane_ext.h"

#include <cstdint>

namespace gridvane_core::formats {

class Observer {
public:
    Observer(gridvane_observer observer, void *context) : observer_(observer), context_(context) {}

    // Tells the caller; false when the caller asks to stop the read, which
    // then fails with stopped().
    bool tell(gridvane_finding &finding)
    {
        finding.severity = severity_of(finding.kind);
        ++(finding.severity == GRIDVANE_SEVERITY_ERROR ? errors_ : warnings_);
        if (observer_ == nullptr)
            return true;
        int verdict = 1;
        std::int32_t code = GRIDVANE_E_REFUSED;
        try {
            verdict = observer_(&finding, context_);
        } catch (...) { // a C++ observer's exception stops the read, and goes no further
            code = GRIDVANE_E_OBSERVER;
        }
        if (verdict == 0)
            return true;
        stopped_ = with_counts(failure_at(code, finding.line, finding.column, finding.offset), 0, finding.kind);
        return false;
    }

    const Status &stopped() const { return stopped_; }
    std::int64_t errors() const { return errors_; }
    std::int64_t warnings() const { return warnings_; }

    static std::int32_t severity_of(std::int32_t kind);

private:
    gridvane_observer observer_;
    void *context_;
    Status stopped_ = ok_status();
    std::int64_t errors_ = 0, warnings_ = 0;
};

// A finding at a place, the rest of it empty.
inline gridvane_finding finding_at(std::int32_t kind, std::int64_t line, std::int64_t column, std::int64_t offset)
{
    gridvane_finding f{};
    f.kind = kind;
    f.line = line;
    f.column = column;
    f.offset = offset;
    return f;
}

} // namespace gridvane_core::formats
