// Messages of the registry and cell operations, exactly as hosts see them.
#pragma once

namespace gridvane_core::registry::msg {

// Said for a count below 1 (a count of 1 is accepted): kept as hosts see it.
inline constexpr char bad_counts[] = "ArrayAllocate: rows and columns must be > 1\n";
inline constexpr char no_space[] = "ArrayAllocate: can't allocate space\n";
inline constexpr char no_first_node[] = "Can't allocate array node\n";
inline constexpr char no_next_node[] = "Can't allocate Tail->next node\n";
// Every table family without samples is called so, whatever it is: kept as
// hosts see it.
inline constexpr char no_array_for_type[] = "ArrayGetArray undefined for MED or SPLINE types\n";
inline constexpr char no_write_for_type[] = "illegal to write into MED or SPLINE type arrays\n";

} // namespace gridvane_core::registry::msg
