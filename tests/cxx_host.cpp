// A C++ plug-in host as our users write one, through gridvane.hpp alone:
// built against the installed package (find_package, gridvane::cxx) and in
// the tree, with exceptions and without (-fno-exceptions keeps only the
// error_code forms), natively and as a Windows program under Wine.
//
// cxx_host CAMERA.chan: loads the camera move, samples it, saves and reads
// it back, and checks every name of the interface on the way.
#include "gridvane.hpp"

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <vector>
#if defined(__linux__)
#    include <sys/stat.h>
#    include <unistd.h>
#endif

namespace {

int failures = 0;

#define CHECK(condition)                                                                                             \
    do {                                                                                                             \
        if (!(condition)) {                                                                                          \
            std::printf("%s:%d: failed: %s\n", __FILE__, __LINE__, #condition);                                     \
            ++failures;                                                                                              \
        }                                                                                                            \
    } while (0)

// A folder of the run's own, removed at the end.
struct Folder {
    std::filesystem::path path;
    Folder()
    {
        // Made, not found: two hosts running at once never share one.
        std::random_device random;
        const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
        for (unsigned attempt = 0;; ++attempt) {
            path = std::filesystem::temp_directory_path() /
                   ("gridvane-cxx-host-" + std::to_string(stamp) + "-" + std::to_string(random()) + "-" +
                    std::to_string(attempt));
            std::error_code ec;
            if (std::filesystem::create_directory(path, ec) || attempt > 100)
                break;
        }
    }
    ~Folder()
    {
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }
    std::string operator/(const char *name) const { return (path / name).string(); }
};

// A pool of the host's own: any callable of this shape can run the parts.
struct HostPool {
    int runs = 0;
    template <typename Read> void operator()(std::int32_t parts, Read &&read)
    {
        ++runs;
        for (std::int32_t k = parts - 1; k >= 0; --k) // in its own order
            read(k);
    }
};

void error_codes(const std::string &camera, const Folder &folder)
{
    gridvane::failure ec;
    gridvane::table t = gridvane::table::load(camera, ec);
    CHECK(!ec && t);
    CHECK(t.rows() == 6 && t.columns() == 3 && t.has_frames());
    CHECK(t.column_name(0) == "pan" && t.column_name(2) == "focal" && t.column_name(9).empty());
    CHECK(t.frame(0) == 1 && t.frame_value(5, ec) == 60.0f && !ec);
    const float v = t.row_of_frame(30);
    CHECK(v == 2.5f);
    // Every column at frame 30, in one call: one v for all.
    const std::vector<float> us = {0, 1, 2};
    std::vector<float> out(3);
    t.sample(us, std::span<const float>(&v, 1), out, ec);
    CHECK(!ec && out[0] == 29.25f && out[1] == -0.375f && out[2] == 45.0f);
    CHECK(t.sample(0, v) == out[0]);
    t.sample(us, us, std::span<float>(out.data(), 2), ec);
    CHECK(ec.code() == gridvane::errc::argument);

    const std::string saved = folder / "camera.chan";
    t.save(saved, ec);
    CHECK(!ec);
    t.save(folder / "camera.chb", ec); // the binary form has no frames
    CHECK(ec.code() == gridvane::errc::frames_lost && ec.code().category() == gridvane::category());
    t.save(folder / "camera.chb", {gridvane::form::binary, true}, ec);
    CHECK(!ec);
    gridvane::table missing = gridvane::table::load(folder / "none.chan", ec);
    CHECK(ec.code() == gridvane::errc::open && !missing && missing.rows() == 0);

    // Loads with a form, an observer, a report; in parts on the default
    // driver and on a host's pool.
    gridvane_report report{};
    int told = 0;
    gridvane::read_options options{gridvane::form::ascii, [&told](const gridvane_finding &) { ++told; }, &report, 2};
    CHECK(told == 0);
    gridvane::table again = gridvane::table::load(saved, options, ec);
    CHECK(!ec && report.kind == GRIDVANE_KIND_ASCII_TABLE && told == 0 && again.rows() == 6);
    HostPool pool;
    gridvane::table pooled = gridvane::table::load(saved, options, pool, ec);
    CHECK(!ec && pool.runs == 1 && pooled.rows() == 6);
    gridvane::plan p = gridvane::plan::open(saved, 4, {}, ec);
    CHECK(!ec && p && p.parts() >= 0);
    gridvane::thread_driver{2}(p.parts(), [&p](std::int32_t k) { p.read(k); });
    gridvane::table finished = p.finish(ec);
    CHECK(!ec && finished.rows() == 6);

    // An observer that stops the read; one that throws is a failure too.
    const std::string comma = folder / "comma.dat";
    std::FILE *f = std::fopen(comma.c_str(), "wb");
    std::fputs("1 2\n3,5 4\n", f);
    std::fclose(f);
    gridvane::table refused =
        gridvane::table::load(comma, {gridvane::form::decide, [](const gridvane_finding &x) {
                                          return x.severity != GRIDVANE_SEVERITY_ERROR;
                                      }},
                              ec);
    CHECK(ec.code() == gridvane::errc::refused && !refused);

    // Memory, callbacks and streams.
    const std::string bytes = t.to_bytes({gridvane::form::table}, ec);
    CHECK(!ec && bytes.rfind("| pan tilt focal\n", 0) == 0);
    gridvane::table from_memory = gridvane::table::read(std::as_bytes(std::span(bytes)), {}, ec);
    CHECK(!ec && from_memory.rows() == 6 && from_memory.has_frames());
    gridvane::memory_writer writer;
    from_memory.write(writer.io(), {gridvane::form::table}, ec);
    CHECK(!ec && writer.bytes() == bytes);
    gridvane::memory_reader reader(bytes);
    CHECK(gridvane::table::read(reader.io(), {}, ec).rows() == 6 && !ec);
    std::FILE *stream = std::tmpfile();
    if (stream != nullptr) {
        t.write(stream, {gridvane::form::ascii}, ec);
        CHECK(!ec);
        std::rewind(stream);
        CHECK(gridvane::table::read(stream, {}, ec).columns() == 3 && !ec); // the plain form: no frames
        std::fclose(stream);
    }

    // Made, named, owned, given up and taken back.
    gridvane::table made = gridvane::table::create(2, 2, true, ec);
    CHECK(!ec && made.has_frames());
    made.row(1)[1] = 4.0f;
    made.set_frame_value(1, 7.0f, ec);
    CHECK(!ec);
    const std::string_view names[] = {"a", "b"};
    made.set_column_names(names, ec);
    CHECK(!ec && made.column_name(1) == "b");
    const std::string_view bad[] = {"a b", "c"};
    made.set_column_names(bad, ec);
    CHECK(ec.code() == gridvane::errc::bad_name);
    const std::int32_t id = made.release();
    CHECK(!made && made.handle() == 0 && ArrayGetFrame(id, 1) == 7);
    gridvane::table adopted = gridvane::table::adopt(id);
    CHECK(adopted.handle() == id && std::as_const(adopted).row(1)[1] == 4.0f);
    gridvane::table moved = std::move(adopted);
    CHECK(!adopted && moved.handle() == id);
    moved = gridvane::table();
    CHECK(ArrayGetPointer(id) == nullptr); // freed by the assignment
    gridvane::table huge = gridvane::table::create(std::size_t{1} << 40, 1, false, ec);
    CHECK(ec.code() == gridvane::errc::argument && !huge);

    // A file replaced only when committed.
    const std::string replaced = folder / "notes.txt";
    {
        gridvane::file note = gridvane::file::open(replaced, ec);
        CHECK(!ec && note);
        note.write("kept", ec);
        note.commit(ec);
        CHECK(!ec && !note);
    }
    {
        gridvane::file note = gridvane::file::open(replaced, ec);
        note.write("dropped", ec);
    } // abandoned
    f = std::fopen(replaced.c_str(), "rb");
    char text[16] = {};
    CHECK(f != nullptr && std::fread(text, 1, sizeof text, f) == 4 && std::strcmp(text, "kept") == 0);
    if (f != nullptr)
        std::fclose(f);
}

void write_file(const std::string &name, const std::string &text)
{
    std::FILE *f = std::fopen(name.c_str(), "wb");
    if (f != nullptr) {
        std::fwrite(text.data(), 1, text.size(), f);
        std::fclose(f);
    }
}

#if GRIDVANE_CXX_EXCEPTIONS
// Whether f throws an E, and check says it is the one meant.
template <typename E, typename F> bool throws(F &&f, bool (*check)(const E &) = [](const E &) { return true; })
{
    try {
        f();
    } catch (const E &e) {
        return check(e);
    }
    return false;
}
#endif

// A host's pool that offers its own count of threads.
struct CountingPool {
    std::int32_t seen = -1;
    unsigned concurrency() const { return 3; }
    template <typename Read> void operator()(std::int32_t parts, Read &&read)
    {
        seen = parts;
        for (std::int32_t k = 0; k < parts; ++k)
            read(k);
    }
};

#if defined(__linux__)
int open_descriptors()
{
    int n = 0;
    for ([[maybe_unused]] const auto &entry : std::filesystem::directory_iterator("/proc/self/fd"))
        ++n;
    return n;
}
#endif

// What the tool and the Python package promise, the C++ door keeps: strict
// reads, the whole failure, no memory fault on misuse, sub-frames.
void same_promises(const std::string &camera, const Folder &folder)
{
    gridvane::failure why;

    // A decimal comma is refused where the reader would take 8, at its place;
    // read leniently it is taken, as the 20 functions take it.
    const std::string shot = folder / "shot.chan";
    write_file(shot, "| pan tilt\n-----\n1 | 0 -5\n12 | 8,25 -4.5\n24 21\n");
    gridvane_report report{};
    gridvane::table refused = gridvane::table::load(shot, {gridvane::form::decide, {}, &report}, why);
    CHECK(!refused && why.code() == gridvane::errc::refused && why.status().line == 4 && why.status().column == 6);
    CHECK(why.what() == shot + ":4:6: " + why.message() && why.message().find("'8,25'") == 0);
    CHECK(report.errors == 1);
    gridvane::read_options lenient;
    lenient.lenient = true;
    gridvane::table taken = gridvane::table::load(shot, lenient, why);
    CHECK(!why && taken.rows() == 3 && taken.row(1)[0] == 8.0f && taken.row(2)[1] == 0.0f);
    // Warnings only count.
    const std::string hex = folder / "hex.txt";
    write_file(hex, "0x10 1\n");
    gridvane::table warned = gridvane::table::load(hex, {gridvane::form::decide, {}, &report}, why);
    CHECK(!why && warned && report.warnings == 1 && report.errors == 0);

    // A missing file: the system's cause, in C++'s terms, and one wording.
    const std::string missing = folder / "none.chan";
    gridvane::table none = gridvane::table::load(missing, why);
    CHECK(!none && why.code() == std::errc::no_such_file_or_directory && why.code() == gridvane::errc::open);
    CHECK(why.code() != std::errc::permission_denied && why.code().message() == why.message());
    CHECK(why.what() == missing + ": " + why.message() && why.name() == missing);
    // ... and a std::filesystem::path is a name; one with a NUL inside is
    // refused, not cut short.
    gridvane::table by_path = gridvane::table::load(std::filesystem::path(camera), why);
    CHECK(!why && by_path.rows() == 6);
    by_path = gridvane::table::load(camera + std::string(1, '\0') + "x", why);
    CHECK(!by_path && why.code() == gridvane::errc::argument);
    // The error_code words its code alone; the failure keeps the counts.
    const std::string cut = folder / "cut.chb";
    write_file(cut, gridvane::table::create(2, 2, false, why).to_bytes({gridvane::form::binary}, why).substr(0, 70));
    gridvane::table::load(cut, why);
    CHECK(why.code() == gridvane::errc::truncated_samples && why.code().message() == "truncated samples");
    CHECK(why.message() == "truncated samples: 6 of 16 bytes");

    // Misuse gives failures, never a fault: frames of a frameless table,
    // rows past the end, a moved-from table.
    gridvane::table plain = gridvane::table::create(2, 3, false, why);
    CHECK(!why && plain.frame_value(1, why) == 0.0f && why.code() == gridvane::errc::argument);
    plain.set_frame_value(1, 5.0f, why);
    CHECK(why.code() == gridvane::errc::argument && plain.row(1)[0] == 0.0f && plain.row(1).size() == 3);
    CHECK(plain.frame(1) == -1 && plain.frame(99) == -1);
    const std::string_view four[] = {"a", "b", "c", "d"};
    plain.set_column_names(four, why);
    CHECK(why.code() == gridvane::errc::argument && plain.column_name(0).empty());
    gridvane::table gone = std::move(plain);
    CHECK(plain.rows() == 0 && plain.columns() == 0 && gone.rows() == 2);
    CHECK(gone.frame_value(7, why) == 0.0f && why.code() == gridvane::errc::argument);
#if GRIDVANE_CXX_EXCEPTIONS
    CHECK(throws<std::out_of_range>([&] { (void)gone.row(2); }));
    CHECK(throws<std::out_of_range>([&] { (void)gone.row(1000); }));
    CHECK(throws<std::out_of_range>([&] { (void)plain.row(0); }));
    CHECK(throws<gridvane::error>([&] { (void)gone.frame_value(0); },
                                  [](const gridvane::error &e) { return e.code() == gridvane::errc::argument; }));
#elif defined(NDEBUG)
    CHECK(gone.row(2).empty() && plain.row(0).empty());
#endif

    // Fractional frames fall between rows, whole ones where ArrayFrameGetV
    // puts them; set_frame_value is seen by the next lookup.
    gridvane::table move = gridvane::table::load(camera, why);
    CHECK(move.row_of_frame(30) == 2.5f && move.row_of_frame(30.0) == 2.5f && move.row_of_frame(std::int64_t{30}) == 2.5f);
    const float between = (30.5f - 24.0f) / (36.0f - 24.0f) + 2.0f;
    CHECK(move.row_of_frame(30.5) == between && move.row_of_frame(30.5f) == between);
    CHECK(move.row_of_frame(0.5) == -1.0f && move.row_of_frame(60.5) == -1.0f && move.row_of_frame(1.0) == 0.0f);
    move.set_frame_value(3, 30.5f, why);
    CHECK(!why && move.row_of_frame(30.5) == 3.0f && move.row_of_frame(30) == ArrayFrameGetV(move.handle(), 30));

    // Parts for a host's driver: its own count, else one per core.
    CountingPool pool;
    const std::string big = folder / "big.txt";
    {
        std::string text;
        for (int r = 0; r < 200000; ++r)
            text += "1.5 2.5 3.5 4.5 " + std::to_string(r) + "\n";
        write_file(big, text);
    }
    gridvane::table pooled = gridvane::table::load(big, {}, pool, why);
    CHECK(!why && pool.seen == 3 && pooled.rows() == 200000);

    // A file cut or grown by another process during a load in parts fails
    // the load, text and binary alike, never giving part of a table.
    const std::string binary = folder / "big.chb";
    gridvane::table::create(30000, 40, false, why).save(binary, why);
    CHECK(!why);
    for (const std::string &name : {big, binary})
        for (const bool grow : {false, true}) {
            std::error_code ec;
            const auto size = std::filesystem::file_size(name, ec);
            gridvane::plan p = gridvane::plan::open(name, 4, {}, why);
            CHECK(!why && p.parts() > 1);
            std::filesystem::resize_file(name, grow ? size + 4096 : size / 3, ec);
            if (ec) // a system that keeps an open file's size as it is: no change to see
                continue;
            for (std::int32_t k = 0; k < p.parts(); ++k)
                p.read(k);
            gridvane::table partial = p.finish(why);
            CHECK(!partial && why.code() == gridvane::errc::changed);
            std::filesystem::resize_file(name, size, ec);
        }

    // The default driver reads on the calling thread too: a one-part plan
    // is read there, not left to the finish.
    std::atomic<int> on_caller{0};
    const std::thread::id caller = std::this_thread::get_id();
    gridvane::thread_driver{4}(1, [&](std::int32_t) { on_caller += std::this_thread::get_id() == caller; });
    CHECK(on_caller == 1);

    // A string_view's bytes are the input, not its terminating NUL.
    gridvane::memory_reader text_reader(std::string_view("1 2\n"));
    char bytes[8];
    const gridvane_io &io = text_reader.io();
    CHECK(io.read(io.context, bytes, sizeof bytes) == 4 && io.read(io.context, bytes, sizeof bytes) == 0);

    // An observer's exception is errc::observer in the noexcept form.
    struct Stop {};
    gridvane::read_options throwing;
    throwing.observe = [](const gridvane_finding &) -> bool {
#if GRIDVANE_CXX_EXCEPTIONS
        throw Stop{};
#else
        return false;
#endif
    };
    gridvane::table stopped = gridvane::table::load(shot, throwing, why);
    CHECK(!stopped && why.code() == (GRIDVANE_CXX_EXCEPTIONS ? gridvane::errc::observer : gridvane::errc::refused));
#if GRIDVANE_CXX_EXCEPTIONS
    // So is a host driver's.
    const auto broken_pool = [](std::int32_t, auto &&) { throw std::runtime_error("pool shut down"); };
    gridvane::table undriven = gridvane::table::load(std::filesystem::path(big), {}, broken_pool, why);
    CHECK(!undriven && why.code() == gridvane::errc::observer);
#endif

#if defined(__linux__)
    // A file moved over another abandons the one it replaces.
    const int before = open_descriptors();
    {
        gridvane::file first = gridvane::file::open(folder / "first.txt", why);
        first.write("one", why);
        const int one = open_descriptors();
        CHECK(one > before);
        first = gridvane::file::open(folder / "second.txt", why);
        CHECK(open_descriptors() == one);
    }
    CHECK(open_descriptors() == before && !std::filesystem::exists(folder / "first.txt"));

    // A FIFO is one part, which the driver reads.
    const std::string fifo = folder / "camera.fifo";
    if (::mkfifo(fifo.c_str(), 0600) == 0) {
        std::thread feed([&] { write_file(fifo, "1 2\n3 4\n"); });
        CountingPool fifo_pool;
        gridvane::table piped = gridvane::table::load(fifo, {}, fifo_pool, why);
        feed.join();
        CHECK(!why && fifo_pool.seen == 1 && piped.rows() == 2);
    }
#endif
}

#if GRIDVANE_CXX_EXCEPTIONS
void exceptions(const std::string &camera, const Folder &folder)
{
    gridvane::table t = gridvane::table::load(camera);
    CHECK(t.rows() == 6);
    try {
        t.save(folder / "camera.chb");
        CHECK(false);
    } catch (const gridvane::error &e) {
        CHECK(e.status().code == GRIDVANE_E_FRAMES_LOST && e.code() == gridvane::errc::frames_lost);
        CHECK(std::string(e.what()) == folder / "camera.chb" + ": " + gridvane::message(e.status()));
        CHECK(e.message() == e.code().message());
        const std::runtime_error &base = e;
        CHECK(base.what() == e.what());
    }
    t.save(folder / "camera.chan", {gridvane::form::table});
    if (std::FILE *stream = std::tmpfile()) {
        t.write(stream, {gridvane::form::table});
        std::fclose(stream);
    }
    try {
        gridvane::table::load(folder / "none.chan");
        CHECK(false);
    } catch (const gridvane::error &e) {
        CHECK(e.status().code == GRIDVANE_E_OPEN && e.status().error != 0);
    }
    // The observer's own exception comes back as itself.
    struct Stop {};
    try {
        gridvane::table::load(camera, {gridvane::form::decide, [](const gridvane_finding &) {}});
        const std::string bytes = "1 2\n3,5 4\n";
        gridvane::table::read(std::as_bytes(std::span(bytes)),
                              {gridvane::form::decide, [](const gridvane_finding &) -> bool { throw Stop{}; }});
        CHECK(false);
    } catch (const Stop &) {
    }
    try {
        gridvane::table::load(camera, {gridvane::form::decide, {}, nullptr, 2}, gridvane::thread_driver{});
        gridvane::plan p = gridvane::plan::open(camera, 2);
        for (std::int32_t k = 0; k < p.parts(); ++k)
            p.read(k);
        CHECK(p.finish().rows() == 6);
        std::vector<float> out(1);
        const std::vector<float> u = {0.5f}, v = {0.5f};
        t.sample(u, v, out);
        CHECK(out[0] == t.sample(0.5f, 0.5f));
        gridvane::table made = gridvane::table::create(1, 1);
        const std::string_view names[] = {"x"};
        made.set_column_names(names);
        CHECK(made.to_bytes() == "\t0\n");
        gridvane::file out_file = gridvane::file::open(folder / "x.txt");
        out_file.write("x");
        out_file.commit();
        gridvane::table::create(0, 1);
        CHECK(false);
    } catch (const gridvane::error &e) {
        CHECK(e.code() == gridvane::errc::argument);
    }
}
#endif

} // namespace

int main(int argc, char **argv)
{
    if (argc != 2) {
        std::printf("usage: cxx_host CAMERA.chan\n");
        return 2;
    }
    const Folder folder;
    error_codes(argv[1], folder);
    same_promises(argv[1], folder);
#if GRIDVANE_CXX_EXCEPTIONS
    try {
        exceptions(argv[1], folder);
    } catch (const std::exception &e) {
        std::printf("unexpected exception: %s\n", e.what());
        ++failures;
    }
#endif
    std::printf("c++ host %s (%s)\n", failures == 0 ? "ok" : "FAILED",
                GRIDVANE_CXX_EXCEPTIONS ? "exceptions" : "no exceptions");
    return failures == 0 ? 0 : 1;
}
