/*
 * Gridvane for C++20: a header-only interface over the C functions of
 * gridvane.h and gridvane_ext.h (since 1.1).
 *
 * Only C types cross the library's boundary, so a host built with another
 * compiler or C++ library (MSVC against the MinGW-built gridvane.dll, say)
 * uses this header against the same library.
 *
 * Reading. A read refuses what the tool and the Python package refuse: the
 * first finding of error severity (a value the reader would take otherwise
 * than the text spells it) stops it, and the failure carries the finding's
 * place and words. read_options::lenient reads as the 20 functions read.
 * Warnings reach the observer, or are counted in the report.
 *
 * Errors. Every operation that can fail comes in two forms: one that throws
 * gridvane::error (a std::runtime_error whose what() reads
 * "name:line:column: words", as the tool prints a failure), and a noexcept
 * twin that takes a gridvane::failure& last and fills it (cleared on
 * success): the whole gridvane_status, the name concerned and the words, as
 * the exception holds them. Both give a std::error_code (gridvane::category())
 * that compares equal to gridvane::errc::open and the other codes and, where
 * the cause is the system's, to its std::errc too
 * (ec == std::errc::no_such_file_or_directory). Built without exceptions
 * (-fno-exceptions), only the twins are there. An exception thrown by an
 * observer or a stream callback stops the read and comes back out of the
 * throwing form as itself; the noexcept twin gives errc::observer instead.
 *
 * Checked and unchecked. Members that take a row check it (row(r): a
 * std::out_of_range past the end, on an empty or moved-from table too;
 * frame_value(r): also an error on a table without frames), as
 * std::vector::at does; unchecked_row(r) does not, as operator[] does not.
 *
 * Threads. As the C interface: any function from any thread. A table
 * object's const members may run on many threads at once; one that changes
 * the object (assignment, reset, set_frame_value, frames_changed) runs alone
 * on it, as with a standard container. Its rows are shared by every copy of
 * the handle.
 */
#ifndef GRIDVANE_HPP
#define GRIDVANE_HPP

#if !defined(_MSVC_LANG) && __cplusplus < 202002L
#    error "gridvane.hpp needs C++20 or later (-std=c++20)"
#endif

#include "gridvane_ext.h"

#include <algorithm>
#include <atomic>
#include <cassert>
#include <cerrno>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <exception>
#include <filesystem>
#include <functional>
#include <memory>
#include <new>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

#if defined(__cpp_exceptions) || defined(_CPPUNWIND)
#    define GRIDVANE_CXX_EXCEPTIONS 1
#else
#    define GRIDVANE_CXX_EXCEPTIONS 0
#endif

namespace gridvane {

/* ---- Forms and codes --------------------------------------------------- */

enum class form : std::int32_t {
    decide = GRIDVANE_FORM_DECIDE,
    ascii = GRIDVANE_FORM_ASCII,
    table = GRIDVANE_FORM_TABLE,
    binary = GRIDVANE_FORM_BINARY,
};

// The GRIDVANE_E_ codes, as conditions an error_code compares equal to.
enum class errc : std::int32_t {
    argument = GRIDVANE_E_ARGUMENT,
    bad_suffix = GRIDVANE_E_BAD_SUFFIX,
    open = GRIDVANE_E_OPEN,
    read = GRIDVANE_E_READ,
    empty = GRIDVANE_E_EMPTY,
    invalid_format = GRIDVANE_E_INVALID_FORMAT,
    no_data = GRIDVANE_E_NO_DATA,
    no_rule_line = GRIDVANE_E_NO_RULE_LINE,
    no_data_after_rule = GRIDVANE_E_NO_DATA_AFTER_RULE,
    bad_magic = GRIDVANE_E_BAD_MAGIC,
    truncated_header = GRIDVANE_E_TRUNCATED_HEADER,
    truncated_samples = GRIDVANE_E_TRUNCATED_SAMPLES,
    negative_count = GRIDVANE_E_NEGATIVE_COUNT,
    no_memory = GRIDVANE_E_NO_MEMORY,
    too_large = GRIDVANE_E_TOO_LARGE,
    write = GRIDVANE_E_WRITE,
    unknown_handle = GRIDVANE_E_UNKNOWN_HANDLE,
    no_samples = GRIDVANE_E_NO_SAMPLES,
    refused = GRIDVANE_E_REFUSED,
    frames_lost = GRIDVANE_E_FRAMES_LOST,
    form_against_name = GRIDVANE_E_FORM_AGAINST_NAME,
    unnamed_form = GRIDVANE_E_UNNAMED_FORM,
    bad_name = GRIDVANE_E_BAD_NAME,
    observer = GRIDVANE_E_OBSERVER,
    changed = GRIDVANE_E_CHANGED,
    out_of_proportion = GRIDVANE_E_OUT_OF_PROPORTION,
    against_reading = GRIDVANE_E_AGAINST_READING,
};

/* ---- Words ------------------------------------------------------------- */

namespace detail {

// The library's words have no bound: the length first, then the text.
template <typename Thing> std::string words(const Thing &thing, std::size_t (*say)(const Thing *, char *, std::size_t))
{
    std::string text(say(&thing, nullptr, 0), '\0');
    say(&thing, text.data(), text.size() + 1);
    return text;
}

// A status the header makes itself (a refused argument, no memory, an
// observer that threw), with the error number the library gives each.
inline gridvane_status status_of_code(int code) noexcept
{
    const int error = code == GRIDVANE_OK          ? 0
                      : code == GRIDVANE_E_NO_MEMORY ? ENOMEM
                      : code == GRIDVANE_E_OBSERVER  ? ECANCELED
                                                     : EINVAL;
    return gridvane_status{code, error, 0, 0, -1, 0, 0};
}

// The codes whose error number is the system's own cause.
constexpr bool system_cause(std::int32_t code) noexcept
{
    return code == GRIDVANE_E_OPEN || code == GRIDVANE_E_READ || code == GRIDVANE_E_WRITE ||
           code == GRIDVANE_E_NO_MEMORY;
}

// An error_code's value: the code in the low byte and, where the cause is
// the system's, its error number above it.
constexpr int value_of(const gridvane_status &s) noexcept
{
    return s.code | (system_cause(s.code) && s.error > 0 && s.error < (1 << 22) ? s.error << 8 : 0);
}
inline gridvane_status status_of_value(int value) noexcept
{
    gridvane_status s = status_of_code(value & 0xff);
    if (value >> 8 != 0)
        s.error = value >> 8;
    return s;
}

} // namespace detail

// The library's words for a status ("truncated samples: 136 of 400 bytes")
// and a finding ("'8,25' is not a whole number: the reader takes 8 ...").
inline std::string message(const gridvane_status &status) { return detail::words(status, gridvane_status_message); }
inline std::string message(const gridvane_finding &finding)
{
    return detail::words(finding, gridvane_finding_message);
}

/* ---- Errors ------------------------------------------------------------ */

namespace detail {

class error_category final : public std::error_category {
public:
    const char *name() const noexcept override { return "gridvane"; }
    // The code's words, without the counts and place only a status has.
    std::string message(int value) const override
    {
        const gridvane_status s = status_of_value(value);
        std::string text(gridvane_code_message(s.code, s.error, nullptr, 0), '\0');
        gridvane_code_message(s.code, s.error, text.data(), text.size() + 1);
        return text;
    }
    std::error_condition default_error_condition(int value) const noexcept override { return {value & 0xff, *this}; }
    // Equal to its errc and, for a system cause, to the std::errc of the
    // error number.
    bool equivalent(int value, const std::error_condition &condition) const noexcept override
    {
        if (condition.category() == *this)
            return condition.value() == (value & 0xff);
        return (value >> 8) != 0 && condition == std::error_condition(value >> 8, std::generic_category());
    }
};

} // namespace detail

// The category of the GRIDVANE_E_ codes.
inline const std::error_category &category() noexcept
{
    static const detail::error_category instance;
    return instance;
}

inline std::error_condition make_error_condition(errc code) noexcept { return {static_cast<int>(code), category()}; }

// A status as an error_code: clear for GRIDVANE_OK.
inline std::error_code error_code_of(const gridvane_status &status) noexcept
{
    return status.code == GRIDVANE_OK ? std::error_code() : std::error_code(detail::value_of(status), category());
}

// What a failed operation left: the library's whole status, the name of the
// file concerned (empty for a stream or memory) and the words. A refusal
// says the finding's words ("'8,25' has text after the number: ..."), any
// other failure the status's. Empty (false) after a success.
class failure {
public:
    failure() noexcept = default;
    failure(const gridvane_status &status, std::string name = {}, std::string words = {})
        : status_(status), name_(std::move(name)), words_(std::move(words))
    {
    }

    explicit operator bool() const noexcept { return status_.code != GRIDVANE_OK; }
    const gridvane_status &status() const noexcept { return status_; }
    std::error_code code() const noexcept { return error_code_of(status_); }
    const std::string &name() const noexcept { return name_; }
    // The words alone: the status's (with its counts), or a refusal's
    // finding's; code().message() words the code alone.
    std::string message() const { return words_.empty() ? gridvane::message(status_) : words_; }
    // "name:line:column: words", with as much of the place as is known.
    std::string what() const
    {
        std::string text = name_;
        if (status_.line > 0) {
            text += (text.empty() ? "" : ":") + std::to_string(status_.line);
            if (status_.column > 0)
                text += ":" + std::to_string(status_.column);
        }
        return (text.empty() ? text : text + ": ") + message();
    }
    void clear() noexcept
    {
        status_ = detail::status_of_code(GRIDVANE_OK);
        name_.clear();
        words_.clear();
    }

private:
    gridvane_status status_ = detail::status_of_code(GRIDVANE_OK);
    std::string name_;
    std::string words_;
};

// A failure of the library, thrown: what() is the failure's what().
class error : public std::runtime_error {
public:
    explicit error(gridvane::failure why) : std::runtime_error(why.what()), why_(std::move(why)) {}
    explicit error(const gridvane_status &status) : error(gridvane::failure(status)) {}
    const gridvane_status &status() const noexcept { return why_.status(); }
    std::error_code code() const noexcept { return why_.code(); }
    const std::string &name() const noexcept { return why_.name(); }
    std::string message() const { return why_.message(); }
    const gridvane::failure &details() const noexcept { return why_; }

private:
    gridvane::failure why_;
};

} // namespace gridvane

template <> struct std::is_error_condition_enum<gridvane::errc> : std::true_type {};

namespace gridvane {

/* ---- Observers and options --------------------------------------------- */

// Told each finding of a read, in input order, on the reading thread: any
// callable taking a const gridvane_finding&, returning void (go on) or
// something testable as bool (true: go on; false: stop the read, which
// then fails with errc::refused).
class observer {
public:
    observer() = default;
    template <typename F>
        requires(!std::same_as<std::remove_cvref_t<F>, observer> &&
                 std::invocable<std::remove_cvref_t<F> &, const gridvane_finding &>)
    observer(F &&f) // NOLINT: any callable is an observer
        : call_([g = std::forward<F>(f)](const gridvane_finding &x) mutable -> bool {
              if constexpr (std::is_void_v<std::invoke_result_t<decltype(g) &, const gridvane_finding &>>) {
                  g(x);
                  return true;
              } else {
                  return static_cast<bool>(g(x));
              }
          })
    {
    }
    explicit operator bool() const noexcept { return static_cast<bool>(call_); }
    bool operator()(const gridvane_finding &f) const { return call_(f); }

private:
    std::function<bool(const gridvane_finding &)> call_;
};

// How to read: the form, an observer, a report to fill (what the input was
// and the findings counted), whether to read leniently, and the parts of a
// load by name (0: one per core, or the driver's own count; 1: the calling
// thread alone; more: that many parts at most).
struct read_options {
    form as = form::decide;
    gridvane::observer observe = {};
    gridvane_report *report = nullptr;
    unsigned threads = 0;
    // Reads as the 20 functions read: no finding stops the read (an
    // observer may still stop it), and without an observer none is counted.
    bool lenient = false;
    // The reading's rules (gridvane_reading): a first line of names taken
    // as the column names, a column of frames (-1: none).
    gridvane_reading reading{0, -1};
};

// How to write or save: the form (decide: for a save, the name's; for a
// stream, the table form for a table with frames, else ASCII) and what may
// be given up.
struct write_options {
    form as = form::decide;
    bool drop_frames = false; // the binary form of a table with frames writes without them
    bool any_name = false;    // a form against the name's type is written all the same
    bool shortest = false;    // ASCII values as the shortest text that reads back the same (0.1)
    bool frames_as_column = false; // a plain form of a table with frames writes each frame first
};

namespace detail {

inline std::uint32_t flags_of(const write_options &o) noexcept
{
    return (o.drop_frames ? GRIDVANE_WRITE_DROP_FRAMES : 0u) | (o.any_name ? GRIDVANE_WRITE_ANY_NAME : 0u) |
           (o.shortest ? GRIDVANE_WRITE_SHORTEST : 0u) | (o.frames_as_column ? GRIDVANE_WRITE_FRAMES_AS_COLUMN : 0u);
}

// The observer a read hands the C interface: the caller's, then the strict
// rule (an error finding stops the read) unless the read is lenient. It
// keeps the words of the finding it stopped at. What the caller's observer
// throws is caught here, before the library's frames, and stops the read;
// the throwing forms give it back to their caller.
class watching {
public:
    watching(const gridvane::observer &o, bool lenient) : observer_(o), lenient_(lenient) {}
    gridvane_observer function() const noexcept { return observer_ || !lenient_ ? &call : nullptr; }
    void *context() noexcept { return this; }
    bool threw() const noexcept { return static_cast<bool>(caught_); }
    const std::string &words() const noexcept { return words_; }
#if GRIDVANE_CXX_EXCEPTIONS
    void rethrow() const
    {
        if (caught_)
            std::rethrow_exception(caught_);
    }
#endif

private:
    static int call(const gridvane_finding *f, void *context) noexcept
    {
        auto *self = static_cast<watching *>(context);
#if GRIDVANE_CXX_EXCEPTIONS
        try {
            return self->decide(*f);
        } catch (...) {
            self->caught_ = std::current_exception();
            return 1;
        }
#else
        return self->decide(*f);
#endif
    }
    int decide(const gridvane_finding &f)
    {
        bool go_on = observer_ ? observer_(f) : true;
        if (go_on && !lenient_ && f.severity == GRIDVANE_SEVERITY_ERROR)
            go_on = false;
        if (!go_on)
            words_ = gridvane::message(f);
        return go_on ? 0 : 1;
    }

    const gridvane::observer &observer_;
    bool lenient_;
    std::exception_ptr caught_;
    std::string words_;
};

// A name as the C interface takes it: NUL-terminated. One with a NUL
// inside would name another file: it goes as NULL, which the library
// refuses (errc::argument).
template <typename F> auto with_c_string(std::string_view text, F &&f)
{
    if (text.find('\0') != std::string_view::npos)
        return f(static_cast<const char *>(nullptr));
    char small[256];
    if (text.size() < sizeof small) {
        std::memcpy(small, text.data(), text.size());
        small[text.size()] = '\0';
        return f(static_cast<const char *>(small));
    }
    const std::string big(text);
    return f(big.c_str());
}

// The character types, which are no frame numbers.
template <typename T>
concept character = std::same_as<T, bool> || std::same_as<T, char> || std::same_as<T, signed char> ||
                    std::same_as<T, unsigned char> || std::same_as<T, wchar_t> || std::same_as<T, char8_t> ||
                    std::same_as<T, char16_t> || std::same_as<T, char32_t>;

// A path as the library's names are spelled (the system's narrow names).
template <typename P>
concept filesystem_path = std::same_as<std::remove_cvref_t<P>, std::filesystem::path>;
inline std::string name_of(const std::filesystem::path &p) { return p.string(); }

#if GRIDVANE_CXX_EXCEPTIONS
// The throwing forms' last step: a failure becomes an error.
inline void throw_if(gridvane::failure &why)
{
    if (why)
        throw error(std::move(why));
}

// Runs body(status) for a throwing form; name is the file concerned.
template <typename Body> auto or_throw(std::string_view name, Body &&body)
{
    gridvane_status status = status_of_code(GRIDVANE_OK);
    auto result = body(status);
    if (status.code != GRIDVANE_OK)
        throw error(gridvane::failure(status, std::string(name)));
    return result;
}
template <typename Body> auto or_throw(Body &&body) { return or_throw(std::string_view(), body); }
#endif

// Runs body() for a noexcept twin whose body fills why itself: no memory
// for std::bad_alloc, errc::observer for what a host's driver throws.
template <typename Result, typename Body> Result catching(gridvane::failure &why, Body &&body) noexcept
{
#if GRIDVANE_CXX_EXCEPTIONS
    try {
        return body();
    } catch (const std::bad_alloc &) {
        why = gridvane::failure(status_of_code(GRIDVANE_E_NO_MEMORY));
        return Result();
    } catch (...) { // a host's driver or callback
        why = gridvane::failure(status_of_code(GRIDVANE_E_OBSERVER));
        return Result();
    }
#else
    (void)why;
    return body();
#endif
}

// Runs body(status) for a noexcept twin: why filled from the status (name:
// the file concerned), and what the body throws as catching says.
template <typename Result, typename Body>
Result or_failure(gridvane::failure &why, std::string_view name, Body &&body) noexcept
{
    return catching<Result>(why, [&] {
        gridvane_status status = status_of_code(GRIDVANE_OK);
        Result result = body(status);
        why = status.code == GRIDVANE_OK ? gridvane::failure() : gridvane::failure(status, std::string(name));
        return result;
    });
}
template <typename Result, typename Body> Result or_failure(gridvane::failure &why, Body &&body) noexcept
{
    return or_failure<Result>(why, std::string_view(), body);
}

// A read of a file by name, as the reads of streams are made.
struct load_by_name {
    std::string_view name;
    const read_options &options;
    std::int32_t operator()(gridvane_observer o, void *c, gridvane_report *r) const
    {
        return with_c_string(name, [&](const char *n) {
            return gridvane_load_with(n, static_cast<std::int32_t>(options.as), &options.reading, o, c, r);
        });
    }
};

// How many parts a driver wants: its own count where it offers one
// (concurrency()), else one per core.
template <typename Driver> unsigned parts_for(const read_options &options, const Driver &drive)
{
    if (options.threads != 0)
        return options.threads;
    if constexpr (requires { { drive.concurrency() } -> std::convertible_to<unsigned>; })
        return std::max(1u, static_cast<unsigned>(drive.concurrency()));
    return std::max(1u, std::thread::hardware_concurrency());
}

} // namespace detail

// The form a name takes (gridvane_form_of_name): form::binary or
// form::ascii by the tools library's type, form::decide for a name it does
// not know; why filled for a type that is no channel file.
inline form form_of_name(std::string_view name, std::int32_t purpose, failure &why) noexcept
{
    return detail::or_failure<form>(why, name, [&](gridvane_status &s) {
        const std::int32_t f =
            detail::with_c_string(name, [&](const char *c) { return gridvane_form_of_name(c, purpose, &s); });
        return f < 0 ? form::decide : static_cast<form>(f);
    });
}

// The bound on what a text read may make of its bytes (gridvane_read_growth):
// sets the factor for every read of the process (0 lifts the bound; a
// negative factor only asks) and returns the one before. Process-wide, so
// set it once, before the reads it is for.
inline std::int64_t read_growth(std::int64_t factor = -1) noexcept { return gridvane_read_growth(factor); }

/* ---- Streams of the caller's own --------------------------------------- */

// A gridvane_io that reads a buffer in memory (which must outlive the read).
class memory_reader {
public:
    explicit memory_reader(std::span<const std::byte> bytes) noexcept : bytes_(bytes) {}
    explicit memory_reader(std::string_view text) noexcept
        : bytes_(reinterpret_cast<const std::byte *>(text.data()), text.size())
    {
    }
    const gridvane_io &io() noexcept
    {
        io_ = gridvane_io{this, &read, nullptr, nullptr};
        return io_;
    }

private:
    static std::ptrdiff_t read(void *context, void *buffer, std::size_t size) noexcept
    {
        auto *self = static_cast<memory_reader *>(context);
        const std::size_t n = std::min(size, self->bytes_.size());
        if (n != 0)
            std::memcpy(buffer, self->bytes_.data(), n);
        self->bytes_ = self->bytes_.subspan(n);
        return static_cast<std::ptrdiff_t>(n);
    }
    std::span<const std::byte> bytes_;
    gridvane_io io_{};
};

// A gridvane_io that appends what is written to a std::string.
class memory_writer {
public:
    const gridvane_io &io() noexcept
    {
        io_ = gridvane_io{this, nullptr, &write, nullptr};
        return io_;
    }
    std::string &bytes() noexcept { return bytes_; }

private:
    static std::ptrdiff_t write(void *context, const void *data, std::size_t size)
    {
        // An exception here (no memory) stops the write: the library
        // catches it and fails with errc::observer.
        static_cast<memory_writer *>(context)->bytes_.append(static_cast<const char *>(data), size);
        return static_cast<std::ptrdiff_t>(size);
    }
    std::string bytes_;
    gridvane_io io_{};
};

/* ---- Threads ----------------------------------------------------------- */

// The default threads driver of a load in parts: calls read(k) for every
// part k, on the calling thread and up to threads - 1 threads of its own,
// each taking the next part not yet taken, and returns once all have
// returned. A thread that cannot start leaves its share to the others. Any
// work shaped so (count items, one call each) may use it.
//
// A host with its own pool passes any callable of the same shape
// (void(std::int32_t parts, auto &&read)), e.g. one that hands read(k) to
// its task scheduler and waits; read may be called from any thread, each k
// at most once, and must have returned for every k before the driver does.
struct thread_driver {
    unsigned threads = 0; // 0: one per core

    unsigned concurrency() const noexcept
    {
        return threads != 0 ? threads : std::max(1u, std::thread::hardware_concurrency());
    }

    template <typename Read> void operator()(std::int32_t parts, Read &&read) const
    {
        const auto most = static_cast<std::int32_t>(std::min(concurrency(), 1024u));
        std::atomic<std::int32_t> next{0};
        const auto work = [&] {
            for (std::int32_t k; (k = next.fetch_add(1, std::memory_order_relaxed)) < parts;)
                read(k);
        };
        std::vector<std::thread> helpers;
#if GRIDVANE_CXX_EXCEPTIONS
        try {
            for (std::int32_t k = 1; k < parts && k < most; ++k)
                helpers.emplace_back(work);
        } catch (...) { // no more threads: those there share the work
        }
#else
        for (std::int32_t k = 1; k < parts && k < most; ++k)
            helpers.emplace_back(work);
#endif
        work();
        for (std::thread &helper : helpers)
            helper.join();
    }
};

class plan;

/* ---- Tables ------------------------------------------------------------ */

// One table of the library's registry, owned: freed (ArrayFree) when the
// object is destroyed. A default-constructed or moved-from table owns
// nothing and is empty (0 rows, 0 columns, no frames).
//
// The object reads the table's extent and row pointers once, when it takes
// the handle (a table's storage never moves), so row access costs what a
// raw pointer costs. Frame lookups by fractional frame keep an index of the
// frames, made at the first lookup and dropped by set_frame_value; a host
// that writes frame slots another way (through handle()) calls
// frames_changed().
class table {
public:
    table() noexcept = default;
    ~table() { reset(); }
    table(table &&other) noexcept
        : id_(std::exchange(other.id_, 0)), rows_(std::exchange(other.rows_, nullptr)),
          extent_(std::exchange(other.extent_, gridvane_extent{})),
          frames_(other.frames_.exchange(nullptr, std::memory_order_acq_rel))
    {
    }
    table &operator=(table &&other) noexcept
    {
        if (this != &other) {
            reset();
            id_ = std::exchange(other.id_, 0);
            rows_ = std::exchange(other.rows_, nullptr);
            extent_ = std::exchange(other.extent_, gridvane_extent{});
            frames_.store(other.frames_.exchange(nullptr, std::memory_order_acq_rel), std::memory_order_release);
        }
        return *this;
    }
    table(const table &) = delete;
    table &operator=(const table &) = delete;

    // Takes a handle from the C interface (a value below 1, or a handle the
    // registry does not know, owns nothing).
    static table adopt(std::int32_t id) noexcept
    {
        table t;
        if (id > 0 && gridvane_extent_of(id, &t.extent_, nullptr) == 0) {
            t.id_ = id;
            t.rows_ = ArrayGetArray(id);
            if (t.rows_ == nullptr)
                t.extent_.rows = t.extent_.columns = 0;
        } else {
            t.extent_ = gridvane_extent{};
        }
        return t;
    }
    // Gives the handle up without freeing it.
    std::int32_t release() noexcept
    {
        frames_changed();
        rows_ = nullptr;
        extent_ = gridvane_extent{};
        return std::exchange(id_, 0);
    }
    std::int32_t handle() const noexcept { return id_; }
    explicit operator bool() const noexcept { return id_ > 0; }
    // Frees the table now.
    void reset() noexcept
    {
        if (id_ > 0)
            ArrayFree(release());
    }

    // ---- Making and reading

#if GRIDVANE_CXX_EXCEPTIONS
    // A zero-filled table (with a frame slot in each row when frames).
    static table create(std::size_t rows, std::size_t columns, bool frames = false)
    {
        return detail::or_throw([&](gridvane_status &s) { return create_status(rows, columns, frames, s); });
    }
    // A file by name, in parts on the default threads driver (options.threads).
    static table load(std::string_view name, const read_options &options = {})
    {
        if (options.threads == 1)
            return read_throwing(name, options, detail::load_by_name{name, options});
        return load(name, options, thread_driver{options.threads});
    }
    template <detail::filesystem_path P> static table load(const P &path, const read_options &options = {})
    {
        return load(detail::name_of(path), options);
    }
    template <detail::filesystem_path P, typename Driver>
        requires(!std::same_as<std::remove_cvref_t<Driver>, failure>)
    static table load(const P &path, const read_options &options, Driver &&drive)
    {
        return load(detail::name_of(path), options, std::forward<Driver>(drive));
    }
    // A load in parts on the threads a driver gives (thread_driver, or a
    // host's own pool): as many parts as options.threads says, or as the
    // driver's concurrency() offers, or one per core.
    template <typename Driver> static table load(std::string_view name, const read_options &options, Driver &&drive);
    // A stream the caller opened, read to the table's end.
    static table read(std::FILE *stream, const read_options &options = {})
    {
        return read_throwing({}, options, [&](gridvane_observer o, void *c, gridvane_report *r) {
            return gridvane_read_with(stream, static_cast<std::int32_t>(options.as), &options.reading, o, c, r);
        });
    }
    // The caller's read function.
    static table read(const gridvane_io &io, const read_options &options = {})
    {
        return read_throwing({}, options, [&](gridvane_observer o, void *c, gridvane_report *r) {
            return gridvane_read_io_with(&io, static_cast<std::int32_t>(options.as), &options.reading, o, c, r);
        });
    }
    // Bytes in memory.
    static table read(std::span<const std::byte> bytes, const read_options &options = {})
    {
        memory_reader reader(bytes);
        return read(reader.io(), options);
    }
#endif

    static table create(std::size_t rows, std::size_t columns, bool frames, failure &why) noexcept
    {
        return detail::or_failure<table>(why,
                                         [&](gridvane_status &s) { return create_status(rows, columns, frames, s); });
    }
    static table load(std::string_view name, failure &why) noexcept { return load(name, read_options{}, why); }
    static table load(std::string_view name, const read_options &options, failure &why) noexcept
    {
        if (options.threads == 1)
            return read_failure(name, options, why, detail::load_by_name{name, options});
        return load(name, options, thread_driver{options.threads}, why);
    }
    template <detail::filesystem_path P> static table load(const P &path, failure &why) noexcept
    {
        return load(path, read_options{}, why);
    }
    template <detail::filesystem_path P>
    static table load(const P &path, const read_options &options, failure &why) noexcept
    {
        return detail::catching<table>(why, [&] { return load(detail::name_of(path), options, why); });
    }
    template <detail::filesystem_path P, typename Driver>
    static table load(const P &path, const read_options &options, Driver &&drive, failure &why) noexcept
    {
        return detail::catching<table>(
            why, [&] { return load(detail::name_of(path), options, std::forward<Driver>(drive), why); });
    }
    template <typename Driver>
    static table load(std::string_view name, const read_options &options, Driver &&drive, failure &why) noexcept;
    static table read(std::FILE *stream, const read_options &options, failure &why) noexcept
    {
        return read_failure({}, options, why, [&](gridvane_observer o, void *c, gridvane_report *r) {
            return gridvane_read_with(stream, static_cast<std::int32_t>(options.as), &options.reading, o, c, r);
        });
    }
    static table read(const gridvane_io &io, const read_options &options, failure &why) noexcept
    {
        return read_failure({}, options, why, [&](gridvane_observer o, void *c, gridvane_report *r) {
            return gridvane_read_io_with(&io, static_cast<std::int32_t>(options.as), &options.reading, o, c, r);
        });
    }
    static table read(std::span<const std::byte> bytes, const read_options &options, failure &why) noexcept
    {
        memory_reader reader(bytes);
        return read(reader.io(), options, why);
    }

    // ---- What it holds (an empty table: 0 rows and columns, no frames)

    gridvane_extent extent() const noexcept { return extent_; }
    std::size_t rows() const noexcept { return static_cast<std::size_t>(extent_.rows); }
    std::size_t columns() const noexcept { return static_cast<std::size_t>(extent_.columns); }
    bool has_frames() const noexcept { return extent_.frames != 0; }

    // A row's samples, without its frame. Checked: r past the end (of an
    // empty table too) throws std::out_of_range; built without exceptions,
    // an empty span (and an assertion in a debug build).
    std::span<float> row(std::size_t r) { return checked_row(r); }
    std::span<const float> row(std::size_t r) const { return checked_row(r); }
    // The same, unchecked: r must be below rows().
    std::span<float> unchecked_row(std::size_t r) noexcept { return {rows_[r], columns()}; }
    std::span<const float> unchecked_row(std::size_t r) const noexcept { return {rows_[r], columns()}; }

    // The row index itself, unchecked (rows() pointers to columns() samples,
    // and the frame slot after them where the table has frames); null for
    // an empty table.
    float *const *row_index() const noexcept { return rows_; }

    // A cell by whole coordinates, clamped into the table (ArrayGetIValue,
    // ArrayPutIValue).
    float cell(std::int32_t column, std::int32_t row) const noexcept { return ArrayGetIValue(id_, column, row); }
    float put_cell(std::int32_t column, std::int32_t row, float value) noexcept
    {
        return ArrayPutIValue(id_, column, row, value);
    }
    // The record's type (CHAN_ASCII, CHAN_BIN, another family), -1 for an
    // empty table.
    std::int32_t type() const noexcept { return ArrayType(id_); }

    // A row's frame number (ArrayGetFrame: truncated toward zero; -1
    // without frames or past the end).
    std::int32_t frame(std::size_t r) const noexcept
    {
        return r < rows() ? ArrayGetFrame(id_, static_cast<std::int32_t>(r)) : -1;
    }
#if GRIDVANE_CXX_EXCEPTIONS
    // A row's frame slot as stored, fractions kept. Checked: a table
    // without frames is an error (errc::argument), r past the end
    // std::out_of_range.
    float frame_value(std::size_t r) const
    {
        require_frame_slot(r);
        return rows_[r][columns()];
    }
    void set_frame_value(std::size_t r, float frame)
    {
        require_frame_slot(r);
        rows_[r][columns()] = frame;
        frames_changed();
    }
#endif
    float frame_value(std::size_t r, failure &why) const noexcept
    {
        return frame_slot_failure(r, why) ? rows_[r][columns()] : 0.0f;
    }
    void set_frame_value(std::size_t r, float frame, failure &why) noexcept
    {
        if (frame_slot_failure(r, why)) {
            rows_[r][columns()] = frame;
            frames_changed();
        }
    }

    // The fractional row at which a frame falls, -1 before the first frame,
    // after the last, without frames or for an empty table. A whole frame
    // gives exactly what ArrayFrameGetV gives; a fractional one (30.5: half
    // way from the row of frame 30 to that of 31) the same arithmetic on the
    // frame rounded to a float. Both go through an index of the frames made
    // at the first lookup, so that each costs a binary search.
    float row_of_frame(std::int32_t frame) const noexcept { return gridvane_frame_index_row(frame_index(), frame); }
    template <std::floating_point F> float row_of_frame(F frame) const noexcept
    {
        return gridvane_frame_index_row(frame_index(), static_cast<double>(frame));
    }
    template <std::integral I>
        requires(!std::same_as<I, std::int32_t> && !detail::character<I>)
    float row_of_frame(I frame) const noexcept
    {
        if (std::in_range<std::int32_t>(frame))
            return row_of_frame(static_cast<std::int32_t>(frame));
        return row_of_frame(static_cast<double>(frame));
    }
    // Forgets the frame index, after frame slots were written through the
    // C interface.
    void frames_changed() noexcept { gridvane_frame_index_close(frames_.exchange(nullptr, std::memory_order_acq_rel)); }

    // How many columns have names (0: none).
    std::size_t column_name_count() const noexcept
    {
        const std::int32_t n = id_ > 0 ? gridvane_column_name_count(id_, nullptr) : 0;
        return n > 0 ? static_cast<std::size_t>(n) : 0;
    }
    // A column's header name, empty where it has none.
    std::string_view column_name(std::size_t c) const noexcept
    {
        if (id_ <= 0 || c > INT32_MAX)
            return {};
        const char *name = gridvane_column_name(id_, static_cast<std::int32_t>(c), nullptr);
        return name != nullptr ? std::string_view(name) : std::string_view();
    }

    // As many names as columns (or none, to drop them).
#if GRIDVANE_CXX_EXCEPTIONS
    void set_column_names(std::span<const std::string_view> names)
    {
        detail::or_throw([&](gridvane_status &s) { return set_names_status(names, s); });
    }
#endif
    void set_column_names(std::span<const std::string_view> names, failure &why) noexcept
    {
        detail::or_failure<int>(why, [&](gridvane_status &s) { return set_names_status(names, s); });
    }

    // ---- Sampling

    // Exactly ArrayGetValue's bits.
    float sample(float u, float v) const noexcept { return ArrayGetValue(id_, u, v); }
    // Many points at once (the same bits): out.size() points, u and v of
    // that size, or of size 1 to give every point the same coordinate.
#if GRIDVANE_CXX_EXCEPTIONS
    void sample(std::span<const float> u, std::span<const float> v, std::span<float> out) const
    {
        detail::or_throw([&](gridvane_status &s) { return sample_status(u, v, out, s); });
    }
#endif
    void sample(std::span<const float> u, std::span<const float> v, std::span<float> out, failure &why) const noexcept
    {
        detail::or_failure<int>(why, [&](gridvane_status &s) { return sample_status(u, v, out, s); });
    }

    // ---- Writing and saving

#if GRIDVANE_CXX_EXCEPTIONS
    // By name, replaced safely (complete and flushed before it takes the
    // name). The form is the name's type (.chan, .chb ...) unless given: a
    // name of no known type needs one (errc::unnamed_form).
    void save(std::string_view name, const write_options &options = {}) const
    {
        detail::or_throw(name, [&](gridvane_status &s) { return save_status(name, options, s); });
    }
    template <detail::filesystem_path P> void save(const P &path, const write_options &options = {}) const
    {
        save(detail::name_of(path), options);
    }
    void write(std::FILE *stream, const write_options &options = {}) const
    {
        detail::or_throw([&](gridvane_status &s) {
            return gridvane_write(stream, id_, static_cast<std::int32_t>(options.as), detail::flags_of(options), &s);
        });
    }
    void write(const gridvane_io &io, const write_options &options = {}) const
    {
        detail::or_throw([&](gridvane_status &s) {
            return gridvane_write_io(&io, id_, static_cast<std::int32_t>(options.as), detail::flags_of(options), &s);
        });
    }
    // The bytes of a file in a form (decide: ASCII, the table form with frames).
    std::string to_bytes(const write_options &options = {}) const
    {
        memory_writer out;
        write(out.io(), options);
        return std::move(out.bytes());
    }
#endif
    void save(std::string_view name, failure &why) const noexcept { save(name, write_options{}, why); }
    void save(std::string_view name, const write_options &options, failure &why) const noexcept
    {
        detail::or_failure<int>(why, name, [&](gridvane_status &s) { return save_status(name, options, s); });
    }
    template <detail::filesystem_path P> void save(const P &path, failure &why) const noexcept
    {
        save(path, write_options{}, why);
    }
    template <detail::filesystem_path P> void save(const P &path, const write_options &options, failure &why) const noexcept
    {
        detail::catching<int>(why, [&] {
            save(detail::name_of(path), options, why);
            return 0;
        });
    }
    void write(std::FILE *stream, const write_options &options, failure &why) const noexcept
    {
        detail::or_failure<int>(why, [&](gridvane_status &s) {
            return gridvane_write(stream, id_, static_cast<std::int32_t>(options.as), detail::flags_of(options), &s);
        });
    }
    void write(const gridvane_io &io, const write_options &options, failure &why) const noexcept
    {
        detail::or_failure<int>(why, [&](gridvane_status &s) {
            return gridvane_write_io(&io, id_, static_cast<std::int32_t>(options.as), detail::flags_of(options), &s);
        });
    }
    std::string to_bytes(const write_options &options, failure &why) const noexcept
    {
        return detail::or_failure<std::string>(why, [&](gridvane_status &s) {
            memory_writer out;
            gridvane_write_io(&out.io(), id_, static_cast<std::int32_t>(options.as), detail::flags_of(options), &s);
            return s.code == GRIDVANE_OK ? std::move(out.bytes()) : std::string();
        });
    }

private:
    friend class plan;

    static table create_status(std::size_t rows, std::size_t columns, bool frames, gridvane_status &s) noexcept
    {
        if (rows > INT32_MAX || columns > INT32_MAX) {
            s = detail::status_of_code(GRIDVANE_E_ARGUMENT);
            return table();
        }
        return adopt(gridvane_alloc(static_cast<std::int32_t>(rows), static_cast<std::int32_t>(columns),
                                    frames ? ARRAY_FRAME : 0u, &s));
    }

    std::span<float> checked_row(std::size_t r) const
    {
        if (r >= rows()) [[unlikely]] {
#if GRIDVANE_CXX_EXCEPTIONS
            out_of_range("row", r, rows());
#else
            assert(!"gridvane::table::row: row past the end");
            return {};
#endif
        }
        return {rows_[r], columns()};
    }
#if GRIDVANE_CXX_EXCEPTIONS
    // Out of the way of the loops that check: the text is made only here.
#    if defined(__GNUC__)
    [[gnu::cold, gnu::noinline]]
#    endif
    [[noreturn]] static void out_of_range(const char *what, std::size_t r, std::size_t rows)
    {
        throw std::out_of_range(std::string("gridvane::table::") + what + ": row " + std::to_string(r) +
                                " of a table of " + std::to_string(rows) + " rows");
    }
#endif
    // Whether frame_value(r) may read: why says how it may not.
    bool frame_slot_failure(std::size_t r, failure &why) const noexcept
    {
        if (!has_frames() || r >= rows()) {
            why = failure(detail::status_of_code(GRIDVANE_E_ARGUMENT));
            return false;
        }
        why = failure();
        return true;
    }
#if GRIDVANE_CXX_EXCEPTIONS
    void require_frame_slot(std::size_t r) const
    {
        if (!has_frames())
            throw error(detail::status_of_code(GRIDVANE_E_ARGUMENT));
        if (r >= rows())
            out_of_range("frame_value", r, rows());
    }
#endif
    // The index of the frames, made at the first lookup (by one thread;
    // another that made one at the same time frees its own); null without
    // frames, which gridvane_frame_index_row answers with -1.
    const gridvane_frame_index *frame_index() const noexcept
    {
        gridvane_frame_index *index = frames_.load(std::memory_order_acquire);
        if (index != nullptr || !has_frames())
            return index;
        gridvane_frame_index *made = gridvane_frame_index_open(id_, nullptr);
        if (!frames_.compare_exchange_strong(index, made, std::memory_order_acq_rel)) {
            gridvane_frame_index_close(made);
            return index;
        }
        return made;
    }

    // The one road of a load in parts: the plan, the driver, the finish.
    template <typename Driver>
    static table parts_status(std::string_view name, const read_options &options, Driver &drive, plan &p,
                              failure &why);

    template <typename Read>
    static table read_status(std::string_view name, const read_options &options, detail::watching &watch,
                             failure &why, Read &&read)
    {
        gridvane_report report{};
        table t = adopt(read(watch.function(), watch.context(), &report));
        if (options.report != nullptr)
            *options.report = report;
        if (watch.threw())
            why = failure(detail::status_of_code(GRIDVANE_E_OBSERVER), std::string(name));
        else if (report.status.code != GRIDVANE_OK)
            why = failure(report.status, std::string(name),
                          report.status.code == GRIDVANE_E_REFUSED ? watch.words() : std::string());
        else
            why = failure();
        return t;
    }
#if GRIDVANE_CXX_EXCEPTIONS
    template <typename Read>
    static table read_throwing(std::string_view name, const read_options &options, Read &&read)
    {
        detail::watching watch(options.observe, options.lenient);
        failure why;
        table t = read_status(name, options, watch, why, read);
        watch.rethrow();
        detail::throw_if(why);
        return t;
    }
#endif
    template <typename Read>
    static table read_failure(std::string_view name, const read_options &options, failure &why, Read &&read) noexcept
    {
        return detail::catching<table>(why, [&] {
            detail::watching watch(options.observe, options.lenient);
            return read_status(name, options, watch, why, read);
        });
    }

    int set_names_status(std::span<const std::string_view> names, gridvane_status &s) const
    {
        std::vector<std::string> kept(names.begin(), names.end());
        std::vector<const char *> pointers;
        for (const std::string &name : kept)
            pointers.push_back(name.c_str());
        const auto cut = [](const std::string &name) { return name.find('\0') != std::string::npos; };
        if (pointers.size() > INT32_MAX || std::any_of(kept.begin(), kept.end(), cut)) {
            s = detail::status_of_code(GRIDVANE_E_ARGUMENT);
            return -1;
        }
        return gridvane_set_column_names(id_, static_cast<std::int32_t>(pointers.size()), pointers.data(), &s);
    }
    int sample_status(std::span<const float> u, std::span<const float> v, std::span<float> out,
                      gridvane_status &s) const noexcept
    {
        const auto stride = [&](std::size_t n) -> std::ptrdiff_t { return n == out.size() ? 1 : n == 1 ? 0 : -1; };
        if (stride(u.size()) < 0 || stride(v.size()) < 0) {
            s = detail::status_of_code(GRIDVANE_E_ARGUMENT);
            return -1;
        }
        return gridvane_sample_many(id_, out.size(), u.data(), stride(u.size()), v.data(), stride(v.size()),
                                    out.data(), &s);
    }
    int save_status(std::string_view name, const write_options &options, gridvane_status &s) const
    {
        return detail::with_c_string(name, [&](const char *c) {
            return gridvane_save(id_, c, static_cast<std::int32_t>(options.as), detail::flags_of(options), &s);
        });
    }

    std::int32_t id_ = 0;
    float *const *rows_ = nullptr;
    gridvane_extent extent_{};
    mutable std::atomic<gridvane_frame_index *> frames_{nullptr};
};

/* ---- Loads in parts ---------------------------------------------------- */

// A load spread over threads the caller gives (gridvane_plan_open): open,
// read every part on any threads, finish. Destroyed before the finish, it
// abandons the load without reading the rest of the file. The plan keeps a
// copy of the options' observer; the report they point to, if any, must
// last until the finish, which fills it again. A pipe or a FIFO is one
// part, which reads it as it comes.
class plan {
public:
    plan() noexcept = default;
    ~plan() { gridvane_plan_abandon(plan_); }
    plan(plan &&other) noexcept : plan_(std::exchange(other.plan_, nullptr)), state_(std::move(other.state_)) {}
    plan &operator=(plan &&other) noexcept
    {
        if (this != &other) {
            gridvane_plan_abandon(std::exchange(plan_, std::exchange(other.plan_, nullptr)));
            state_ = std::move(other.state_);
        }
        return *this;
    }
    plan(const plan &) = delete;
    plan &operator=(const plan &) = delete;

#if GRIDVANE_CXX_EXCEPTIONS
    static plan open(std::string_view name, std::int32_t parts, const read_options &options = {})
    {
        plan p;
        failure why;
        p.open_into(name, parts, options, why);
        p.rethrow();
        detail::throw_if(why);
        return p;
    }
    template <detail::filesystem_path P>
    static plan open(const P &path, std::int32_t parts, const read_options &options = {})
    {
        return open(detail::name_of(path), parts, options);
    }
    table finish()
    {
        failure why;
        table t = finish_status(why);
        rethrow();
        detail::throw_if(why);
        return t;
    }
#endif
    static plan open(std::string_view name, std::int32_t parts, const read_options &options, failure &why) noexcept
    {
        return detail::catching<plan>(why, [&] {
            plan p;
            p.open_into(name, parts, options, why);
            return p;
        });
    }
    template <detail::filesystem_path P>
    static plan open(const P &path, std::int32_t parts, const read_options &options, failure &why) noexcept
    {
        return detail::catching<plan>(why, [&] { return open(detail::name_of(path), parts, options, why); });
    }
    table finish(failure &why) noexcept
    {
        return detail::catching<table>(why, [&] { return finish_status(why); });
    }

    explicit operator bool() const noexcept { return plan_ != nullptr; }
    std::int32_t parts() const noexcept { return gridvane_plan_parts(plan_); }
    // Reads one part, from any thread: false when it failed (the finish
    // tells how).
    bool read(std::int32_t part) noexcept { return gridvane_plan_read(plan_, part, nullptr) == 0; }

private:
    friend class table;

    void open_into(std::string_view name, std::int32_t parts, const read_options &options, failure &why)
    {
        // The observer is kept, and its context lives where a move of the
        // plan cannot take it: the caller's options may go before the finish.
        state_ = std::make_unique<state>(name, options);
        gridvane_report report{};
        plan_ = detail::with_c_string(name, [&](const char *c) {
            return gridvane_plan_open_with(c, static_cast<std::int32_t>(options.as), parts, &options.reading,
                                           state_->watch.function(), state_->watch.context(), &report);
        });
        why = state_->failure_of(report);
        if (options.report != nullptr)
            *options.report = report;
    }
    table finish_status(failure &why)
    {
        if (plan_ == nullptr) {
            why = failure(detail::status_of_code(GRIDVANE_E_ARGUMENT));
            return table();
        }
        gridvane_report report{};
        table t = table::adopt(gridvane_plan_finish(std::exchange(plan_, nullptr), &report));
        why = state_->failure_of(report);
        if (state_->report != nullptr)
            *state_->report = report;
        return t;
    }
#if GRIDVANE_CXX_EXCEPTIONS
    void rethrow() const
    {
        if (state_)
            state_->watch.rethrow();
    }
#endif

    gridvane_plan *plan_ = nullptr;
    // What the plan keeps of the caller's options until the finish.
    struct state {
        state(std::string_view n, const read_options &options)
            : name(n), observe(options.observe), report(options.report), watch(observe, options.lenient)
        {
        }
        failure failure_of(const gridvane_report &r) const
        {
            if (watch.threw())
                return failure(detail::status_of_code(GRIDVANE_E_OBSERVER), name);
            if (r.status.code == GRIDVANE_OK)
                return failure();
            return failure(r.status, name, r.status.code == GRIDVANE_E_REFUSED ? watch.words() : std::string());
        }
        std::string name;
        gridvane::observer observe;
        gridvane_report *report;
        detail::watching watch;
    };
    std::unique_ptr<state> state_;
};

template <typename Driver>
table table::parts_status(std::string_view name, const read_options &options, Driver &drive, plan &p, failure &why)
{
    const unsigned parts = std::min(detail::parts_for(options, drive), 1024u);
    p.open_into(name, static_cast<std::int32_t>(parts), options, why);
    if (why)
        return table();
    drive(p.parts(), [&p](std::int32_t k) { p.read(k); });
    return p.finish_status(why);
}

#if GRIDVANE_CXX_EXCEPTIONS
template <typename Driver> table table::load(std::string_view name, const read_options &options, Driver &&drive)
{
    plan p;
    failure why;
    table t = parts_status(name, options, drive, p, why);
    p.rethrow();
    detail::throw_if(why);
    return t;
}
#endif

template <typename Driver>
table table::load(std::string_view name, const read_options &options, Driver &&drive, failure &why) noexcept
{
    return detail::catching<table>(why, [&] {
        plan p;
        return parts_status(name, options, drive, p, why);
    });
}

/* ---- Files replaced safely --------------------------------------------- */

// A file replaced as a save replaces one (gridvane_file_open): write to it,
// then commit; destroyed uncommitted, it is abandoned and the old file
// stays.
class file {
public:
    file() noexcept = default;
    ~file() { gridvane_file_abandon(file_); }
    file(file &&other) noexcept : file_(std::exchange(other.file_, nullptr)), name_(std::move(other.name_)) {}
    file &operator=(file &&other) noexcept
    {
        if (this != &other) {
            gridvane_file_abandon(std::exchange(file_, std::exchange(other.file_, nullptr)));
            name_ = std::move(other.name_);
        }
        return *this;
    }
    file(const file &) = delete;
    file &operator=(const file &) = delete;

#if GRIDVANE_CXX_EXCEPTIONS
    static file open(std::string_view name)
    {
        return detail::or_throw(name, [&](gridvane_status &s) { return open_status(name, s); });
    }
    template <detail::filesystem_path P> static file open(const P &path) { return open(detail::name_of(path)); }
    void write(std::string_view bytes)
    {
        detail::or_throw(name_, [&](gridvane_status &s) {
            return gridvane_file_write(file_, bytes.data(), bytes.size(), &s);
        });
    }
    void commit()
    {
        detail::or_throw(name_, [&](gridvane_status &s) {
            return gridvane_file_commit(std::exchange(file_, nullptr), &s);
        });
    }
#endif
    static file open(std::string_view name, failure &why) noexcept
    {
        return detail::or_failure<file>(why, name, [&](gridvane_status &s) { return open_status(name, s); });
    }
    template <detail::filesystem_path P> static file open(const P &path, failure &why) noexcept
    {
        return detail::catching<file>(why, [&] { return open(detail::name_of(path), why); });
    }
    void write(std::string_view bytes, failure &why) noexcept
    {
        detail::or_failure<int>(why, name_, [&](gridvane_status &s) {
            return gridvane_file_write(file_, bytes.data(), bytes.size(), &s);
        });
    }
    void commit(failure &why) noexcept
    {
        detail::or_failure<int>(why, name_, [&](gridvane_status &s) {
            return gridvane_file_commit(std::exchange(file_, nullptr), &s);
        });
    }
    void abandon() noexcept { gridvane_file_abandon(std::exchange(file_, nullptr)); }

    explicit operator bool() const noexcept { return file_ != nullptr; }
    // The stream, in the library's C runtime: for hosts that share it.
    std::FILE *stream() noexcept { return gridvane_file_stream(file_); }
    // The new file's name while it has one, else null.
    const char *temporary_name() const noexcept { return gridvane_file_temporary_name(file_); }
    // The C handle, for gridvane_write and friends.
    gridvane_file *get() const noexcept { return file_; }

private:
    static file open_status(std::string_view name, gridvane_status &s)
    {
        file f;
        f.file_ = detail::with_c_string(name, [&](const char *c) { return gridvane_file_open(c, &s); });
        if (f.file_ != nullptr)
            f.name_ = name;
        return f;
    }
    gridvane_file *file_ = nullptr;
    std::string name_;
};

} // namespace gridvane

#endif
