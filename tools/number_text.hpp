// The one way the tool writes a number, whatever the locale.
#pragma once

#include <string>

namespace cli {

// digits 0: the shortest text that reads back as the same float ("nan",
// "-nan", "inf" and "-inf" for the others); otherwise value rounded to that
// many significant digits, as printf's %g writes it.
std::string number_text(double value, int digits = 0);

} // namespace cli
