// Where a conversion of many files writes each: one rule for the tool's
// batches and for gridvane.dask.convert.
#include "gridvane_ext.h"

#include "common/failure.hpp"
#include "formats/forms.hpp"

#include <algorithm>
#include <cstring>
#include <string>

using namespace gridvane_core;

namespace {

bool is_separator(char c) { return c == '/' || c == '\\'; }

// NAME with the form's suffix for its own; empty for a name that has
// nothing to keep or would leave the folder it is written into ("..").
std::string output_name(const std::string &name, const char *suffix)
{
    if (name.empty())
        return {};
    for (std::size_t part = 0; part <= name.size();) {
        const std::size_t end = std::min(name.find_first_of("/\\", part), name.size());
        if (name.compare(part, end - part, "..") == 0)
            return {};
        part = end + 1;
    }
    std::size_t base = name.size();
    while (base > 0 && !is_separator(name[base - 1]))
        --base;
    const std::size_t dot = name.rfind('.');
    const std::string stem = dot != std::string::npos && dot > base ? name.substr(0, dot) : name;
    return stem + suffix;
}

} // namespace

extern "C" {

GRIDVANE_API ptrdiff_t gridvane_output_name(const char *name, int32_t form, char *out, size_t size,
                                            gridvane_status *status)
{
    return at_edge(status, ptrdiff_t(-1), [&](Status &s) -> ptrdiff_t {
        const char *suffix = gridvane_form_suffix(form);
        if (name == nullptr || suffix == nullptr || (out == nullptr && size > 0))
            return refuse(s, GRIDVANE_E_ARGUMENT);
        const std::string made = output_name(name, suffix);
        if (made.empty())
            return refuse(s, GRIDVANE_E_ARGUMENT);
        if (size > 0) {
            const std::size_t n = std::min(made.size(), size - 1);
            std::memcpy(out, made.data(), n);
            out[n] = '\0';
        }
        return static_cast<ptrdiff_t>(made.size());
    });
}

} // extern "C"
