// What the heap asks of the system beyond malloc: aligned blocks, and the
// advice that a block may be backed by huge pages.
#pragma once

#include <cstddef>

namespace gridvane_core::platform {

// Whether advising huge pages can do anything here.
bool has_huge_pages();
// An aligned block that free releases, or null.
void *allocate_aligned(std::size_t bytes, std::size_t alignment);
// Advice only: a failure changes nothing.
void advise_huge_pages(void *block, std::size_t bytes);

} // namespace gridvane_core::platform
