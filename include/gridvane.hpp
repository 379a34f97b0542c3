/*
 * Gridvane for C++20: a header-only interface over the C functions of
 * gridvane.h and gridvane_ext.h (since 1.1).
 *
 * Only C types cross the library's boundary, so a host built with another
 * compiler or C++ library (MSVC against the MinGW-built gridvane.dll, say)
 * uses this header against the same library.
 *
 * Errors. Every operation that can fail comes in two forms: one that throws
 * gridvane::error (a std::runtime_error carrying the library's
 * gridvane_status; what() gives the library's words), and a noexcept twin
 * that takes a std::error_code& last and sets it (gridvane::category(),
 * whose values are the GRIDVANE_E_ codes, also as gridvane::errc), clear on
 * success. Built without exceptions (-fno-exceptions), only the twins are
 * there. An exception thrown by an observer or a stream callback stops the
 * read and comes back out of the throwing form as itself; the noexcept
 * twin gives errc::observer instead.
 *
 * Threads. As the C interface: any function from any thread; a table
 * object is a handle, and its rows are shared by every copy of the handle.
 */
#ifndef GRIDVANE_HPP
#define GRIDVANE_HPP

#include "gridvane_ext.h"

#include <algorithm>
#include <atomic>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <exception>
#include <functional>
#include <memory>
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

// The GRIDVANE_E_ codes, for comparing an error_code.
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

inline gridvane_status status_of_code(int code) noexcept { return gridvane_status{code, 0, 0, 0, -1, 0, 0}; }

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
    std::string message(int code) const override { return gridvane::message(status_of_code(code)); }
};

} // namespace detail

// The category of the GRIDVANE_E_ codes.
inline const std::error_category &category() noexcept
{
    static const detail::error_category instance;
    return instance;
}

inline std::error_code make_error_code(errc code) noexcept { return {static_cast<int>(code), category()}; }

// A status as an error_code: clear for GRIDVANE_OK.
inline std::error_code error_code_of(const gridvane_status &status) noexcept
{
    return status.code == GRIDVANE_OK ? std::error_code() : std::error_code(status.code, category());
}

// A failure of the library: its status, and its words as what().
class error : public std::runtime_error {
public:
    explicit error(const gridvane_status &status) : std::runtime_error(message(status)), status_(status) {}
    const gridvane_status &status() const noexcept { return status_; }
    std::error_code code() const noexcept { return error_code_of(status_); }

private:
    gridvane_status status_;
};

} // namespace gridvane

template <> struct std::is_error_code_enum<gridvane::errc> : std::true_type {};

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
// and the findings counted), and the threads of a load by name (1: the
// calling thread alone; 0: one per core; more: the load is cut into parts
// that the default threads driver reads).
struct read_options {
    form as = form::decide;
    gridvane::observer observe = {};
    gridvane_report *report = nullptr;
    unsigned threads = 1;
};

// How to write or save: the form (decide: the name's, or the table form for
// a table with frames) and what may be given up.
struct write_options {
    form as = form::decide;
    bool drop_frames = false; // the binary form of a table with frames writes without them
    bool any_name = false;    // a form against the name's type is written all the same
    bool shortest = false;    // ASCII values as the shortest text that reads back the same (0.1)
};

namespace detail {

inline std::uint32_t flags_of(const write_options &o) noexcept
{
    return (o.drop_frames ? GRIDVANE_WRITE_DROP_FRAMES : 0u) | (o.any_name ? GRIDVANE_WRITE_ANY_NAME : 0u) |
           (o.shortest ? GRIDVANE_WRITE_SHORTEST : 0u);
}

// An observer called through the C interface. What it throws is caught
// here, before the library's frames, and stops the read; the throwing
// forms give it back to their caller.
class watching {
public:
    explicit watching(const gridvane::observer &o) : observer_(o) {}
    gridvane_observer function() const noexcept { return observer_ ? &call : nullptr; }
    void *context() noexcept { return this; }
    bool threw() const noexcept { return static_cast<bool>(caught_); }
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
            return self->observer_(*f) ? 0 : 1;
        } catch (...) {
            self->caught_ = std::current_exception();
            return 1;
        }
#else
        return self->observer_(*f) ? 0 : 1;
#endif
    }

    const gridvane::observer &observer_;
    std::exception_ptr caught_;
};

// A name as the C interface takes it: NUL-terminated.
template <typename F> auto with_c_string(std::string_view text, F &&f)
{
    char small[256];
    if (text.size() < sizeof small) {
        std::memcpy(small, text.data(), text.size());
        small[text.size()] = '\0';
        return f(static_cast<const char *>(small));
    }
    const std::string big(text);
    return f(big.c_str());
}

#if GRIDVANE_CXX_EXCEPTIONS
// The throwing forms' last step: a failed status becomes an error.
inline void throw_if(const gridvane_status &status)
{
    if (status.code != GRIDVANE_OK)
        throw error(status);
}

// Runs body(status) for a throwing form.
template <typename Body> auto or_throw(Body &&body)
{
    gridvane_status status = status_of_code(GRIDVANE_OK);
    auto result = body(status);
    throw_if(status);
    return result;
}
#endif

// Runs body(status) for a noexcept twin: ec set from the status, and no
// memory for what the body throws.
template <typename Result, typename Body> Result or_code(std::error_code &ec, Body &&body) noexcept
{
    gridvane_status status = status_of_code(GRIDVANE_OK);
#if GRIDVANE_CXX_EXCEPTIONS
    try {
        Result result = body(status);
        ec = error_code_of(status);
        return result;
    } catch (...) {
        ec = make_error_code(errc::no_memory);
        return Result();
    }
#else
    Result result = body(status);
    ec = error_code_of(status);
    return result;
#endif
}

// A read of a file by name, as the reads of streams are made.
struct load_by_name {
    std::string_view name;
    const read_options &options;
    std::int32_t operator()(gridvane_observer o, void *c, gridvane_report *r) const
    {
        return with_c_string(name, [&](const char *n) {
            return gridvane_load(n, static_cast<std::int32_t>(options.as), o, c, r);
        });
    }
};

} // namespace detail

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

    template <typename Read> void operator()(std::int32_t parts, Read &&read) const
    {
        const auto most = static_cast<std::int32_t>(
            std::max(1u, threads != 0 ? threads : std::thread::hardware_concurrency()));
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
// nothing.
class table {
public:
    table() noexcept = default;
    ~table() { reset(); }
    table(table &&other) noexcept : id_(std::exchange(other.id_, 0)) {}
    table &operator=(table &&other) noexcept
    {
        if (this != &other) {
            reset();
            id_ = std::exchange(other.id_, 0);
        }
        return *this;
    }
    table(const table &) = delete;
    table &operator=(const table &) = delete;

    // Takes a handle from the C interface (a value below 1 owns nothing).
    static table adopt(std::int32_t id) noexcept
    {
        table t;
        t.id_ = id > 0 ? id : 0;
        return t;
    }
    // Gives the handle up without freeing it.
    std::int32_t release() noexcept { return std::exchange(id_, 0); }
    std::int32_t handle() const noexcept { return id_; }
    explicit operator bool() const noexcept { return id_ > 0; }
    // Frees the table now.
    void reset() noexcept
    {
        if (id_ > 0)
            ArrayFree(id_);
        id_ = 0;
    }

    // ---- Making and reading

#if GRIDVANE_CXX_EXCEPTIONS
    // A zero-filled table (with a frame slot in each row when frames).
    static table create(std::size_t rows, std::size_t columns, bool frames = false)
    {
        return detail::or_throw([&](gridvane_status &s) { return create_status(rows, columns, frames, s); });
    }
    // A file by name (with options.threads other than 1, in parts on the
    // default threads driver).
    static table load(std::string_view name, const read_options &options = {})
    {
        if (options.threads != 1)
            return load(name, options, thread_driver{options.threads});
        return read_throwing(options, detail::load_by_name{name, options});
    }
    // A load in parts on the threads a driver gives (thread_driver, or a
    // host's own pool).
    template <typename Driver> static table load(std::string_view name, const read_options &options, Driver &&drive);
    // A stream the caller opened, read to the table's end.
    static table read(std::FILE *stream, const read_options &options = {})
    {
        return read_throwing(options, [&](gridvane_observer o, void *c, gridvane_report *r) {
            return gridvane_read(stream, static_cast<std::int32_t>(options.as), o, c, r);
        });
    }
    // The caller's read function.
    static table read(const gridvane_io &io, const read_options &options = {})
    {
        return read_throwing(options, [&](gridvane_observer o, void *c, gridvane_report *r) {
            return gridvane_read_io(&io, static_cast<std::int32_t>(options.as), o, c, r);
        });
    }
    // Bytes in memory.
    static table read(std::span<const std::byte> bytes, const read_options &options = {})
    {
        memory_reader reader(bytes);
        return read(reader.io(), options);
    }
#endif

    static table create(std::size_t rows, std::size_t columns, bool frames, std::error_code &ec) noexcept
    {
        return detail::or_code<table>(ec, [&](gridvane_status &s) { return create_status(rows, columns, frames, s); });
    }
    static table load(std::string_view name, std::error_code &ec) noexcept { return load(name, read_options{}, ec); }
    static table load(std::string_view name, const read_options &options, std::error_code &ec) noexcept
    {
        if (options.threads != 1)
            return load(name, options, thread_driver{options.threads}, ec);
        return read_code(options, ec, detail::load_by_name{name, options});
    }
    template <typename Driver>
    static table load(std::string_view name, const read_options &options, Driver &&drive, std::error_code &ec) noexcept;
    static table read(std::FILE *stream, const read_options &options, std::error_code &ec) noexcept
    {
        return read_code(options, ec, [&](gridvane_observer o, void *c, gridvane_report *r) {
            return gridvane_read(stream, static_cast<std::int32_t>(options.as), o, c, r);
        });
    }
    static table read(const gridvane_io &io, const read_options &options, std::error_code &ec) noexcept
    {
        return read_code(options, ec, [&](gridvane_observer o, void *c, gridvane_report *r) {
            return gridvane_read_io(&io, static_cast<std::int32_t>(options.as), o, c, r);
        });
    }
    static table read(std::span<const std::byte> bytes, const read_options &options, std::error_code &ec) noexcept
    {
        memory_reader reader(bytes);
        return read(reader.io(), options, ec);
    }

    // ---- What it holds (an empty table: 0 rows and columns, no frames)

    gridvane_extent extent() const noexcept
    {
        gridvane_extent e{0, 0, 0, 0};
        if (id_ > 0)
            gridvane_extent_of(id_, &e, nullptr);
        return e;
    }
    std::size_t rows() const noexcept { return static_cast<std::size_t>(extent().rows); }
    std::size_t columns() const noexcept { return static_cast<std::size_t>(extent().columns); }
    bool has_frames() const noexcept { return extent().frames != 0; }

    // A row's samples, without its frame (r below rows()).
    std::span<float> row(std::size_t r) noexcept { return {ArrayGetArray(id_)[r], columns()}; }
    std::span<const float> row(std::size_t r) const noexcept { return {ArrayGetArray(id_)[r], columns()}; }
    // A row's frame number (ArrayGetFrame: truncated toward zero; -1
    // without frames).
    std::int32_t frame(std::size_t r) const noexcept { return ArrayGetFrame(id_, static_cast<std::int32_t>(r)); }
    // A row's frame slot as stored, fractions kept (a table with frames).
    float frame_value(std::size_t r) const noexcept { return ArrayGetArray(id_)[r][columns()]; }
    void set_frame_value(std::size_t r, float frame) noexcept { ArrayGetArray(id_)[r][columns()] = frame; }
    // The fractional row at which a frame falls (ArrayFrameGetV).
    float row_of_frame(std::int32_t frame) const noexcept { return ArrayFrameGetV(id_, frame); }
    // A column's header name, empty where it has none.
    std::string_view column_name(std::size_t c) const noexcept
    {
        const char *name = gridvane_column_name(id_, static_cast<std::int32_t>(c), nullptr);
        return name != nullptr ? std::string_view(name) : std::string_view();
    }

#if GRIDVANE_CXX_EXCEPTIONS
    void set_column_names(std::span<const std::string_view> names)
    {
        detail::or_throw([&](gridvane_status &s) { return set_names_status(names, s); });
    }
#endif
    void set_column_names(std::span<const std::string_view> names, std::error_code &ec) noexcept
    {
        detail::or_code<int>(ec, [&](gridvane_status &s) { return set_names_status(names, s); });
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
    void sample(std::span<const float> u, std::span<const float> v, std::span<float> out,
                std::error_code &ec) const noexcept
    {
        detail::or_code<int>(ec, [&](gridvane_status &s) { return sample_status(u, v, out, s); });
    }

    // ---- Writing and saving

#if GRIDVANE_CXX_EXCEPTIONS
    // By name, replaced safely (complete and flushed before it takes the name).
    void save(std::string_view name, const write_options &options = {}) const
    {
        detail::or_throw([&](gridvane_status &s) { return save_status(name, options, s); });
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
    void save(std::string_view name, std::error_code &ec) const noexcept { save(name, write_options{}, ec); }
    void save(std::string_view name, const write_options &options, std::error_code &ec) const noexcept
    {
        detail::or_code<int>(ec, [&](gridvane_status &s) { return save_status(name, options, s); });
    }
    void write(std::FILE *stream, const write_options &options, std::error_code &ec) const noexcept
    {
        detail::or_code<int>(ec, [&](gridvane_status &s) {
            return gridvane_write(stream, id_, static_cast<std::int32_t>(options.as), detail::flags_of(options), &s);
        });
    }
    void write(const gridvane_io &io, const write_options &options, std::error_code &ec) const noexcept
    {
        detail::or_code<int>(ec, [&](gridvane_status &s) {
            return gridvane_write_io(&io, id_, static_cast<std::int32_t>(options.as), detail::flags_of(options), &s);
        });
    }
    std::string to_bytes(const write_options &options, std::error_code &ec) const noexcept
    {
        return detail::or_code<std::string>(ec, [&](gridvane_status &s) {
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


    // The one road of a load in parts: the plan, the driver, the finish.
    template <typename Driver>
    static table parts_status(std::string_view name, const read_options &options, Driver &drive, plan &p,
                              gridvane_status &s);

    template <typename Read>
    static table read_status(const read_options &options, detail::watching &watch, gridvane_status &s, Read &&read)
    {
        gridvane_report report{};
        table t = adopt(read(watch.function(), watch.context(), &report));
        s = watch.threw() ? detail::status_of_code(GRIDVANE_E_OBSERVER) : report.status;
        if (options.report != nullptr)
            *options.report = report;
        return t;
    }
#if GRIDVANE_CXX_EXCEPTIONS
    template <typename Read> static table read_throwing(const read_options &options, Read &&read)
    {
        detail::watching watch(options.observe);
        gridvane_status s = detail::status_of_code(GRIDVANE_OK);
        table t = read_status(options, watch, s, read);
        watch.rethrow();
        detail::throw_if(s);
        return t;
    }
#endif
    template <typename Read> static table read_code(const read_options &options, std::error_code &ec, Read &&read) noexcept
    {
        return detail::or_code<table>(ec, [&](gridvane_status &s) {
            detail::watching watch(options.observe);
            return read_status(options, watch, s, read);
        });
    }

    int set_names_status(std::span<const std::string_view> names, gridvane_status &s) const
    {
        std::vector<std::string> kept(names.begin(), names.end());
        std::vector<const char *> pointers;
        for (const std::string &name : kept)
            pointers.push_back(name.c_str());
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
};

/* ---- Loads in parts ---------------------------------------------------- */

// A load spread over threads the caller gives (gridvane_plan_open): open,
// read every part on any threads, finish. Destroyed before the finish, it
// abandons the load without reading the rest of the file. The plan keeps a
// copy of the options' observer; the report they point to, if any, must
// last until the finish, which fills it again.
class plan {
public:
    plan() noexcept = default;
    ~plan() { gridvane_plan_abandon(plan_); }
    plan(plan &&other) noexcept
        : plan_(std::exchange(other.plan_, nullptr)), state_(std::move(other.state_))
    {
    }
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
        gridvane_status s = detail::status_of_code(GRIDVANE_OK);
        p.open_into(name, parts, options, s);
        p.rethrow();
        detail::throw_if(s);
        return p;
    }
    table finish()
    {
        gridvane_status s = detail::status_of_code(GRIDVANE_OK);
        table t = finish_status(s);
        rethrow();
        detail::throw_if(s);
        return t;
    }
#endif
    static plan open(std::string_view name, std::int32_t parts, const read_options &options,
                     std::error_code &ec) noexcept
    {
        return detail::or_code<plan>(ec, [&](gridvane_status &s) {
            plan p;
            p.open_into(name, parts, options, s);
            return p;
        });
    }
    table finish(std::error_code &ec) noexcept
    {
        return detail::or_code<table>(ec, [&](gridvane_status &s) { return finish_status(s); });
    }

    explicit operator bool() const noexcept { return plan_ != nullptr; }
    std::int32_t parts() const noexcept { return gridvane_plan_parts(plan_); }
    // Reads one part, from any thread: false when it failed (the finish
    // tells how).
    bool read(std::int32_t part) noexcept { return gridvane_plan_read(plan_, part, nullptr) == 0; }

private:
    friend class table;

    void open_into(std::string_view name, std::int32_t parts, const read_options &options, gridvane_status &s)
    {
        // The observer is kept, and its context lives where a move of the
        // plan cannot take it: the caller's options may go before the finish.
        state_ = std::make_unique<state>(options);
        gridvane_report report{};
        plan_ = detail::with_c_string(name, [&](const char *c) {
            return gridvane_plan_open(c, static_cast<std::int32_t>(options.as), parts, state_->watch.function(),
                                      state_->watch.context(), &report);
        });
        s = state_->watch.threw() ? detail::status_of_code(GRIDVANE_E_OBSERVER) : report.status;
        if (options.report != nullptr)
            *options.report = report;
    }
    table finish_status(gridvane_status &s)
    {
        if (plan_ == nullptr) {
            s = detail::status_of_code(GRIDVANE_E_ARGUMENT);
            return table();
        }
        gridvane_report report{};
        table t = table::adopt(gridvane_plan_finish(std::exchange(plan_, nullptr), &report));
        s = state_ && state_->watch.threw() ? detail::status_of_code(GRIDVANE_E_OBSERVER) : report.status;
        if (state_ && state_->report != nullptr)
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
        explicit state(const read_options &options) : observe(options.observe), report(options.report) {}
        gridvane::observer observe;
        gridvane_report *report;
        detail::watching watch{observe};
    };
    std::unique_ptr<state> state_;
};

template <typename Driver>
table table::parts_status(std::string_view name, const read_options &options, Driver &drive, plan &p,
                          gridvane_status &s)
{
    const unsigned threads = options.threads != 0 ? options.threads : std::max(1u, std::thread::hardware_concurrency());
    p.open_into(name, static_cast<std::int32_t>(std::min(threads, 1024u)), options, s);
    if (s.code != GRIDVANE_OK)
        return table();
    drive(p.parts(), [&p](std::int32_t k) { p.read(k); });
    return p.finish_status(s);
}

#if GRIDVANE_CXX_EXCEPTIONS
template <typename Driver> table table::load(std::string_view name, const read_options &options, Driver &&drive)
{
    plan p;
    gridvane_status s = detail::status_of_code(GRIDVANE_OK);
    table t = parts_status(name, options, drive, p, s);
    p.rethrow();
    detail::throw_if(s);
    return t;
}
#endif

template <typename Driver>
table table::load(std::string_view name, const read_options &options, Driver &&drive, std::error_code &ec) noexcept
{
    return detail::or_code<table>(ec, [&](gridvane_status &s) {
        plan p;
        return parts_status(name, options, drive, p, s);
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
    file(file &&other) noexcept : file_(std::exchange(other.file_, nullptr)) {}
    file &operator=(file &&other) noexcept
    {
        if (this != &other)
            gridvane_file_abandon(std::exchange(file_, std::exchange(other.file_, nullptr)));
        return *this;
    }
    file(const file &) = delete;
    file &operator=(const file &) = delete;

#if GRIDVANE_CXX_EXCEPTIONS
    static file open(std::string_view name)
    {
        return detail::or_throw([&](gridvane_status &s) { return open_status(name, s); });
    }
    void write(std::string_view bytes)
    {
        detail::or_throw([&](gridvane_status &s) { return gridvane_file_write(file_, bytes.data(), bytes.size(), &s); });
    }
    void commit()
    {
        detail::or_throw([&](gridvane_status &s) { return gridvane_file_commit(std::exchange(file_, nullptr), &s); });
    }
#endif
    static file open(std::string_view name, std::error_code &ec) noexcept
    {
        return detail::or_code<file>(ec, [&](gridvane_status &s) { return open_status(name, s); });
    }
    void write(std::string_view bytes, std::error_code &ec) noexcept
    {
        detail::or_code<int>(ec, [&](gridvane_status &s) {
            return gridvane_file_write(file_, bytes.data(), bytes.size(), &s);
        });
    }
    void commit(std::error_code &ec) noexcept
    {
        detail::or_code<int>(ec, [&](gridvane_status &s) {
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
        return f;
    }
    gridvane_file *file_ = nullptr;
};

} // namespace gridvane

#endif
