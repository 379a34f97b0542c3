// gridvane: look at, convert, sample, slice and plot channel tables with the
// library's own code.
#include "cli.hpp"

#include <cstring>
#include <exception>
#include <iostream>
#include <map>

namespace {

const char overview[] = R"(usage: gridvane <verb> [options] FILE...

verbs:
  info FILE...                    kind, size, frames and column statistics
  convert IN OUT [--to FORM]      rewrite a table as ascii or binary
  sample FILE U V                 bilinear sample at column U, row V
  slice FILE --rows A:B --cols C:D
                                  a sub-table, as ASCII on standard output
  plot FILE -o OUT.svg            curves of a channel table, or a heat map

"-" is standard input or output. 'gridvane <verb> --help' tells more.
  --version                       print the version
)";

const std::map<std::string, const char *> verb_help = {
    {"info", R"(usage: gridvane info [--json] FILE...

For each table: its kind (ASCII plain, ASCII table form, binary little- or
big-endian), columns x rows, the frames of a table-form file, and for each
column its minimum, maximum, mean (NaN left out) and number of NaN values.
  --json    one JSON object per file (an array for several); non-finite
            numbers are null
)"},
    {"convert", R"(usage: gridvane convert IN OUT [--to ascii|binary]

Loads IN and saves it as OUT. The form comes from --to, else from OUT's
suffix (.chan .cha .txt: ascii; .chb .bchan: binary). A table-form file loses
its frame column. A table larger than 32767 rows or columns cannot be binary:
nothing is written then. A file OUT is replaced only once the new one is
complete.
)"},
    {"sample", R"(usage: gridvane sample FILE U V
       gridvane sample FILE < pairs
       gridvane sample FILE --frame F [U...]

Prints the bilinear sample at column U, row V (coordinates are clamped into
the table), one value per line, with enough digits to read back exactly.
Without U V, reads "U V" pairs from standard input, one per line. With
--frame, samples at the row coordinate of frame F, at the columns U given or
at every column.
)"},
    {"slice", R"(usage: gridvane slice FILE [--rows A:B] [--cols C:D]

Writes rows A to B-1 and columns C to D-1 of the table to standard output in
the plain ASCII form. Either end of a range may be left out (":10", "5:").
)"},
    {"plot", R"(usage: gridvane plot FILE -o OUT.svg [--curves|--heatmap] [--title T]

Draws the table as an SVG picture: one curve per column against the frames
(table form) or the rows, or a heat map of the grid. Table-form files and
tall narrow tables become curves, other grids heat maps, unless --curves or
--heatmap says otherwise. "-o -" writes to standard output.
)"},
};

} // namespace

int main(int argc, char **argv)
{
    std::vector<std::string> words(argv + 1, argv + argc);
    if (words.empty()) {
        std::cerr << overview;
        return cli::exit_usage;
    }
    if (words[0] == "--help" || words[0] == "-h" || words[0] == "help") {
        std::cout << overview;
        return 0;
    }
    if (words[0] == "--version") {
        std::cout << "gridvane " << GRIDVANE_VERSION_STRING << "\n";
        return 0;
    }
    const std::string verb = words[0];
    words.erase(words.begin());
    const auto help = verb_help.find(verb);
    if (help == verb_help.end()) {
        std::cerr << "gridvane: unknown verb '" << verb << "'\n" << overview;
        return cli::exit_usage;
    }
    for (const auto &w : words)
        if (w == "--help" || w == "-h") {
            std::cout << help->second;
            return 0;
        }
    try {
        if (verb == "info")
            return cli::info(words);
        if (verb == "convert")
            return cli::convert(words);
        if (verb == "sample")
            return cli::sample(words);
        if (verb == "slice")
            return cli::slice(words);
        return cli::plot(words);
    } catch (const cli::Failure &f) {
        std::cout.flush();
        std::cerr << "gridvane: " << verb << ": " << f.what() << "\n";
        if (f.status == cli::exit_usage)
            std::cerr << help->second;
        return f.status;
    } catch (const std::exception &e) {
        std::cerr << "gridvane: " << verb << ": " << e.what() << "\n";
        return cli::exit_failure;
    }
}
