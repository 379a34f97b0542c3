// Messages of the channel format readers, exactly as hosts of the 20
// functions see them, and the one table that turns a reader's status into
// them.
#pragma once

#include "common/status.hpp"

namespace gridvane_core::formats {

namespace msg {
inline constexpr char ascii_eof[] = "Gridvane (ChanReadAscii): EOF reached\n";
inline constexpr char ascii_no_space[] = "Gridvane (ChanReadAscii): can't allocate space\n";
inline constexpr char bin_bad_magic[] = "Gridvane (ChanReadBin): invalid magic number\n";
inline constexpr char bin_no_space[] = "Gridvane (ChanReadBin): can't allocate space\n";
} // namespace msg

// Tells a host of the 20 functions that a reader failed: its message, if it
// has one, through Libprintf, and its error number (the ASCII reader sets
// none but EIO for a failed read).
void tell_host_of_ascii_failure(const Status &status);
void tell_host_of_binary_failure(const Status &status);

// What a host of the 20 functions gets of a writer: 0 with errno as it was
// before the call (errno_before), or -1 with the error number of the
// failure. The writers print no message.
int written_for_host(const Status &status, int errno_before);

} // namespace gridvane_core::formats
