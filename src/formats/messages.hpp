// Messages of the channel format readers, exactly as hosts see them.
#pragma once

namespace gridvane::formats::msg {

inline constexpr char ascii_eof[] = "Gridvane (ChanReadAscii): EOF reached\n";
inline constexpr char ascii_no_space[] = "Gridvane (ChanReadAscii): can't allocate space\n";
inline constexpr char bin_bad_magic[] = "Gridvane (ChanReadBin): invalid magic number\n";
inline constexpr char bin_no_space[] = "Gridvane (ChanReadBin): can't allocate space\n";

} // namespace gridvane::formats::msg
