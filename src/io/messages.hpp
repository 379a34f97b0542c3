// Messages of the stream and file operations, exactly as hosts see them:
// the double spaces after some prefixes are part of the texts, kept as hosts
// see them. (An unknown handle in ArraySave fails with ENOMEM and no
// message, as hosts have always seen it.)
#pragma once

namespace gridvane_core::io::msg {

inline constexpr char read_no_first_node[] = "Gridvane (ArrayRead):  Can't allocate array node\n";
inline constexpr char read_no_next_node[] = "Gridvane (ArrayRead):  Can't allocate Tail->next node\n";

inline constexpr char load_bad_suffix[] = "Gridvane (ArrayLoad):  Bad suffix on %s\n";
inline constexpr char load_cant_open[] = "Gridvane (ArrayLoad): Can't open %s: %s\n";
inline constexpr char load_premature_eof[] = "Gridvane (ArrayLoad):  Premature EOF reached\n";
inline constexpr char load_invalid_format[] = "Gridvane (ArrayLoad): invalid file format\n";

inline constexpr char save_null_pointer[] = "Gridvane (ArraySave):  null file name pointer\n";
inline constexpr char save_null_name[] = "Gridvane (ArraySave):  null file name\n";
inline constexpr char save_bad_suffix[] = "Gridvane (ArraySave):  Bad suffix on %s\n";
inline constexpr char save_cant_open[] = "Gridvane (ArraySave): Can't open %s: %s\n";

} // namespace gridvane_core::io::msg
