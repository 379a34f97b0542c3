// Findings of a file read in parts, joined into the order a single read
// tells them. Each part is read apart, on any thread, into findings kept
// with their texts; whoever joins the parts tells the kept findings in file
// order, moved to the part's place, and makes the comparisons across part
// boundaries that only a single read can make as it goes (the first frame
// of a part against the last of the parts before it; a carriage return
// told once per file). The code that cuts a file and schedules its parts
// never learns these rules.
#pragma once

#include "binary_header.hpp"
#include "common/growable.hpp"
#include "formats.hpp"
#include "observer.hpp"

#include <cstddef>
#include <cstdint>

namespace gridvane_core::formats {

// A part's findings, kept with copies of their texts until they are told.
// Past a bound (or when memory runs out) it keeps no more and says so: the
// joiner then cannot tell what a single read would.
class KeptFindings {
public:
    static constexpr std::size_t most = 256;

    KeptFindings() = default;
    KeptFindings(const KeptFindings &) = delete;
    KeptFindings &operator=(const KeptFindings &) = delete;
    ~KeptFindings();

    // An observer that keeps every finding it is told and lets it pass.
    Observer observer() { return Observer(keep, this); }

    std::size_t size() const { return kept_.size(); }
    const gridvane_finding &operator[](std::size_t i) const { return const_cast<KeptFindings *>(this)->kept_[i]; }
    bool overflowed() const { return overflowed_; }

private:
    static int keep(const gridvane_finding *f, void *context);
    void add(gridvane_finding f);

    Growable<gridvane_finding> kept_;
    bool overflowed_ = false;
};

// What joining a part's findings came to: all told; the observer stopped
// the read (Observer::stopped says where); the part kept too few, so that
// only a read of the whole file can tell the rest; or the join failed
// (failure() says why: a frame column's first frame that does not rise,
// no memory).
enum class Joined { told, stopped, incomplete, failed };

// Joins the ASCII parts that follow a head, in file order.
class AsciiJoin {
public:
    AsciiJoin(const Span &head, Observer *observer);

    // Tells a part's kept findings (when there is an observer). A part that
    // failed is joined too, so that what a single read tells before its
    // failure is told.
    Joined tell(const Span &part, const KeptFindings &kept);
    // A part's failure as a single read gives it: at its line in the file.
    Status failure_in_file(Status part) const;
    // Takes a part that read well into the file's count of lines and rows,
    // and its column summaries; false (failure() says why) when memory ran
    // out.
    bool passed(const Span &part, std::int64_t rows);
    // After the last part: the column summaries of the whole file.
    Joined tell_summaries();

    std::int64_t rows() const { return rows_; }
    const Status &failure() const { return failure_; }

private:
    bool tell_moved(gridvane_finding f);
    Joined tell_first_frame(const Span &part);

    Observer *observer_;
    ColumnSummaries summaries_;
    Status failure_ = ok_status();
    float previous_;
    std::int64_t previous_line_;
    bool told_carriage_return_;
    std::int64_t lines_before_, rows_ = 1; // the head holds the first row
};

// The binary form read in parts: each part a run of rows, read straight
// into its place in one block of samples.

// Reads the header (the magic first, as a single read does) and tells of a
// header without samples. offset: where the source begins in the input.
Status read_binary_head(Source &source, Observer *observer, BinaryHeader &header, std::int64_t offset = 0);

// Whether a file of size bytes holds every sample the header promises: a
// failure where a single read finds it short, else OK.
Status binary_samples_there(const BinaryHeader &header, std::int64_t size);

// Reads rows [first, first + count) into into (count x columns floats), in
// the machine's byte order, from a source that stands at the first of them.
Status read_binary_rows(Source &source, const BinaryHeader &header, std::int64_t first, std::int64_t count,
                        float *into, std::int64_t offset = 0);

// Tells of the NaN and infinite samples among those rows; false when the
// observer stopped the read.
bool observe_binary_rows(const BinaryHeader &header, std::int64_t first, std::int64_t count, const float *rows,
                         Observer &observer, std::int64_t offset = 0);

// Tells of bytes after the last sample, in a file of size bytes; false when
// the observer stopped the read.
bool observe_binary_end(const BinaryHeader &header, std::int64_t size, Observer &observer, std::int64_t offset = 0);

} // namespace gridvane_core::formats
