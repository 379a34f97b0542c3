// gridvane: look at, check, convert, sample, slice and plot channel tables
// with the library's own code.
#include "args.hpp"
#include "batch.hpp"
#include "outputs.hpp"
#include "platform.hpp"
#include "verbs.hpp"

#include "gridvane.h"
#include "gridvane.hpp"
#include "gridvane_ext.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>

namespace {

struct Verb {
    const char *name;
    int (*run)(const std::vector<std::string> &);
    const char *synopsis; // one usage line per form, as the overview lists them
    const char *description;
};

// How every verb that reads a table reads it, for the verbs' help.
#define RULES_HELP                                                                                                   \
    "  --names first-line  a plain text file's first line holds the column\n"                                        \
    "            names, one a column (another count is refused)\n"                                                   \
    "  --frames-column N   column N (from 0) of a plain text or binary file\n"                                       \
    "            holds the frames: whole numbers that rise, refused where not\n"
#define READING_HELP                                                                                                 \
    "  --lenient read what the library's reader reads, without a word\n"                                             \
    "  --strict  refuse the file at warnings too\n"                                                                   \
    "  --max-growth N  refuse a text file whose table passes N times its bytes (default 256; 0: no bound)\n" RULES_HELP

const Verb verbs[] = {
    {"info", cli::info, "info [--json] [--lenient|--strict] FILE...",
     R"(For each table: its kind (ASCII plain, ASCII table form, binary little- or
big-endian), columns x rows, the frames of a table-form file, and for each
column (by its header name, if the file has one) its minimum, maximum, mean
(NaN left out) and number of NaN values. Goes on past a file that cannot be
read, and exits 1 if any could not.
  --json    a JSON array of one object per file; non-finite numbers are
            null; a file that failed has an "error" key
)" READING_HELP},
    {"check", cli::check, "check [--json] [--shard I/N] [--files-from LIST] FILE...",
     R"(Says where the library's readers take a file other than as it is written:
tokens that are not whole numbers ("abc", "1,5", "1.2.3", "0x10"), rows
longer or shorter than the first, table-form lines whose separator or value
count disagrees with the header, frames that do not increase, NaN and
infinite values, binary data under a text name and text under a binary
one, truncated or padded binary files, and content the library cannot read
at all. One line per finding, FILE:LINE:COLUMN: message (a binary file
counts as one line of bytes), then a summary. Exits 1 if it found anything.
On a terminal, a line on standard error shows the files done, the rate and
the time left.
  --json    an array of {"file", "findings": [{"line", "column",
            "message"}], "total"} objects
)" BATCH_HELP RULES_HELP},
    {"convert", cli::convert,
     "convert [--to ascii|binary] [--plain|--frames-as-column] [--lenient|--strict] IN OUT\n"
     "convert --to ascii|binary --into DIR [--shard I/N] [--files-from LIST] [--plain] [--lenient|--strict] "
     "FILE...",
     R"(Reads IN and writes it as OUT. The form comes from --to, else from OUT's
name (.chan .cha .txt: ascii; .chb .bchan: binary); --to may not contradict
the name. A table-form file stays in the table form (header names, rule
line, frame column) when OUT is ASCII; the binary form has no frame column,
which the tool says. An existing OUT is replaced only once the new file is
complete, and keeps its permissions, owner and links; a file that may not
be written is refused; nothing is opened before IN has been read. A table
too large for the binary form is refused: nothing is written then.
With --into, each FILE is written as DIR/FILE (a leading '/' left out) with
the suffix of the form --to gives (.chan or .chb); a file that fails does
not stop the others, and the last line on standard output counts them.
Files of the list that would share a name, or be written over a file of
the list (itself included), are refused in every shard. On a terminal, a line on
standard error shows the files done, the rate and the time left.
  --plain   write the plain form, without frames and header names
  --frames-as-column  write a plain form (ASCII or binary) with the frames
            as its first column, which --frames-column 0 reads back
  --into DIR  convert every FILE into the folder DIR
)" BATCH_HELP READING_HELP},
    {"sample", cli::sample,
     "sample [--format tsv|csv|json] [--lenient|--strict] FILE U V\n"
     "sample [--format tsv|csv|json] [--lenient|--strict] FILE < PAIRS\n"
     "sample [--format tsv|csv|json] [--lenient|--strict] FILE --frame F [U...]\n"
     "sample [--format tsv|csv|json] [--lenient|--strict] FILE --frames A:B[:STEP] [U...]\n"
     "sample [--format tsv|csv|json] [--lenient|--strict] FILE --frames - [U...] < FRAMES",
     R"(Prints the bilinear sample at column U, row V (coordinates are clamped into
the table), one value per line, with enough digits to read back exactly.
Without U V, reads "U V" pairs from standard input, one per line ('#'
comments and blank lines are skipped; a bad line names its number and
field). --frame samples at the row coordinate of frame F (fractional frames
interpolate along the frame column), at the columns U given or at every
column, one value per line. --frames A:B[:STEP] samples frames A to B
inclusive, every STEP (1 unless given); --frames - reads frames from
standard input, one per line. Each frame gives one line, the frame first.
  --format  tsv (no header line), csv (a header line) or json (an array
            of objects); the default for --frames is tsv
)" READING_HELP},
    {"slice", cli::slice,
     "slice [--rows A:B[:STEP]] [--cols C:D[:STEP]] [--plain|--frames-as-column] [--format tsv|csv|json] "
     "[--lenient|--strict] FILE",
     R"(Writes rows A to B-1 and columns C to D-1 of the table to standard output,
every STEP-th of them (1 unless given), as ASCII in the table form for a
table-form file, else in the plain form. Ranges behave like Python slices:
either end may be left out (":10", "5:", "::2"), a negative end counts from
the end, and ends beyond the table stop at its edge; the step is positive;
a range that selects nothing is an error.
  --plain   the plain form, without frames and header names
  --frames-as-column  the plain form with the frames as its first column
  --format  tsv, csv or json records instead, the frame first
)" READING_HELP},
    {"plot", cli::plot, "plot [-o|--output OUT.svg] [--curves|--heatmap] [--title TEXT] [--lenient|--strict] FILE",
     R"(Draws the table as an SVG picture: one curve per column against the frames
(table form) or the rows, with the header names in the legend, or a heat
map of the grid. Table-form files and tall narrow tables become curves,
other grids heat maps, unless --curves or --heatmap says otherwise. A long
curve keeps the lowest and highest value of each pixel column.
  -o, --output OUT.svg  where the picture goes; "-" is standard output
)" READING_HELP},
};

const Verb *find_verb(const std::string &name)
{
    for (const Verb &v : verbs)
        if (name == v.name)
            return &v;
    return nullptr;
}

// Each form of the synopsis on its own line, after a lead.
std::string synopsis_lines(const Verb &v, const char *first_lead, const char *lead)
{
    std::string out;
    const std::string text = v.synopsis;
    for (std::size_t start = 0; start <= text.size();) {
        const std::size_t end = std::min(text.find('\n', start), text.size());
        out += (out.empty() ? first_lead : lead) + text.substr(start, end - start) + "\n";
        start = end + 1;
    }
    return out;
}

std::string overview()
{
    std::string text = "usage: gridvane VERB [options] FILE...\n\n";
    for (const Verb &v : verbs)
        text += synopsis_lines(v, "  gridvane ", "  gridvane ");
    return text + R"(  gridvane help [VERB]
  gridvane --version

"-" is standard input or output; every other name is a file, and after
"--" a name beginning with '-' is one too. Data goes to standard output,
messages to standard error. A file is refused where the library's reader
would take it other than as written (FILE:LINE:COLUMN and why); --lenient
reads it as the library does. Exit status: 0 on success, 1 on a data or
I/O failure, 2 on a usage error. 'gridvane help VERB' or
'gridvane VERB --help' tells more.
)";
}

std::string verb_help(const Verb &v)
{
    return synopsis_lines(v, "usage: gridvane ", "       gridvane ") + "\n" + v.description;
}

// Around the progress line, where one is shown.
using cli::say;

// --max-growth N, which every verb that reads takes, before any "--": it
// sets the library's bound for the whole run and leaves the verb the rest.
void take_growth_option(std::vector<std::string> &words)
{
    const std::string name = "--max-growth";
    for (std::size_t i = 0; i < words.size() && words[i] != "--"; ++i) {
        std::string value;
        std::size_t taken = 1;
        if (words[i] == name) {
            if (i + 1 >= words.size())
                cli::usage_error(name + " needs a value");
            value = words[i + 1];
            taken = 2;
        } else if (words[i].rfind(name + "=", 0) == 0) {
            value = words[i].substr(name.size() + 1);
        } else {
            continue;
        }
        const long factor = cli::parse_integer(value, name);
        if (factor < 0)
            cli::usage_error(name + " is 0 (no bound) or more, not " + value);
        gridvane::read_growth(factor);
        words.erase(words.begin() + static_cast<std::ptrdiff_t>(i),
                    words.begin() + static_cast<std::ptrdiff_t>(i + taken));
        --i;
    }
}

int run(std::vector<std::string> words, std::string &verb)
{
    if (words.empty()) {
        say(overview());
        return cli::exit_usage;
    }
    try {
        if (words[0] == "--help" || words[0] == "-h" || (words[0] == "help" && words.size() == 1)) {
            cli::put(overview());
            return 0;
        }
        if (words[0] == "--version") {
            cli::put(std::string("gridvane ") + GRIDVANE_VERSION_STRING + "\n");
            return 0;
        }
    } catch (const cli::Failure &f) {
        say(std::string("gridvane: ") + f.what() + "\n");
        return f.status;
    }
    bool asked_help = words[0] == "help";
    if (asked_help)
        words.erase(words.begin());
    verb = words[0];
    words.erase(words.begin());
    const Verb *v = find_verb(verb);
    if (v == nullptr) {
        say("gridvane: unknown verb '" + verb + "'\n" + overview());
        return cli::exit_usage;
    }
    try {
        if (asked_help || cli::asks_help(words)) {
            cli::put(verb_help(*v));
            return 0;
        }
        take_growth_option(words);
        return v->run(words);
    } catch (const cli::Failure &f) {
        std::fflush(stdout);
        say("gridvane: " + verb + ": " + f.what() + "\n");
        if (f.status == cli::exit_usage)
            say(verb_help(*v));
        return f.status;
    } catch (const std::exception &e) {
        std::fflush(stdout);
        say("gridvane: " + verb + ": " + e.what() + "\n");
        return cli::exit_failure;
    }
}

} // namespace

int main(int argc, char **argv)
{
    cli::platform::binary_standard_streams();
    cli::platform::remove_on_signals();
    std::string verb;
    int status = run(std::vector<std::string>(argv + 1, argv + argc), verb);
    // Whatever the verb printed is only out once it is flushed and closed.
    bool said = false;
    if (!cli::finish_standard_output(said) && !said) {
        say("gridvane: " + (verb.empty() ? "" : verb + ": ") + "standard output: " + std::strerror(errno) + "\n");
        status = cli::exit_failure;
    }
    return status;
}
