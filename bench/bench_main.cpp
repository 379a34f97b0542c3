// Gridvane's hot paths beside the bare standard-library work they are made
// of: run with --benchmark_filter to pick rows. Reference rows are marked
// "bare_": the limit set by number conversion or memory bandwidth.
#include "workloads.hpp"

#include "formats/number_text.hpp"
#include "common/cpu.hpp"
#include "gridvane.h"
#include "gridvane.hpp"
#include "platform/system.hpp"
#include "registry/registry.hpp"
#include "registry/sampling.hpp"

#include <benchmark/benchmark.h>

#include <charconv>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;

// This run's own folder in the temporary directory, removed at exit: each
// run writes its inputs and outputs anew, so two runs at once must not share one.
const fs::path &run_folder()
{
    static const struct Folder {
        Folder()
        {
            const fs::path base = fs::temp_directory_path();
            std::random_device entropy;
            do
                dir = base / ("gridvane-bench-" + std::to_string(entropy()));
            while (!fs::create_directory(dir));
        }
        ~Folder()
        {
            std::error_code ignored;
            fs::remove_all(dir, ignored);
        }
        fs::path dir;
    } folder;
    return folder.dir;
}

struct Files {
    std::string ascii, mixed, binary;
    std::uint64_t ascii_bytes = 0, mixed_bytes = 0, binary_bytes = 0;
    std::vector<std::vector<float>> ascii_table, binary_table;
};

// 1,000,000 x 8 in text, 8,000 x 1,000 in binary (the binary header holds
// at most 32,767 rows), made once per run.
const Files &files()
{
    static Files f = [] {
        Files out;
        const fs::path &dir = run_folder();
        out.ascii = (dir / "table.txt").string();
        out.mixed = (dir / "mixed.txt").string();
        out.binary = (dir / "table.chb").string();
        out.ascii_table = gvbench::make_table(1'000'000, 8, 1);
        out.binary_table = gvbench::make_table(8'000, 1'000, 2);
        out.ascii_bytes = gvbench::write_table_file(out.ascii, out.ascii_table, false);
        out.mixed_bytes = gvbench::write_table_file(out.mixed, gvbench::make_mixed_table(1'000'000, 8, 5), false);
        out.binary_bytes = gvbench::write_table_file(out.binary, out.binary_table, true);
        return out;
    }();
    return f;
}

std::string slurp(const std::string &path)
{
    FILE *f = std::fopen(path.c_str(), "rb");
    std::string out;
    char buffer[1 << 16];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0)
        out.append(buffer, n);
    std::fclose(f);
    return out;
}

void load(benchmark::State &state, const std::string &path, std::uint64_t bytes)
{
    for (auto _ : state) {
        const int32_t id = ArrayLoad(path.c_str());
        if (id < 0)
            state.SkipWithError("load failed");
        state.PauseTiming(); // releasing the table is not part of a load
        ArrayFree(id);
        state.ResumeTiming();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
}

void save(benchmark::State &state, const std::string &source, std::uint64_t bytes, const std::string &target)
{
    const int32_t id = ArrayLoad(source.c_str());
    for (auto _ : state)
        if (ArraySave(id, target.c_str(), 0) != 0)
            state.SkipWithError("save failed");
    ArrayFree(id);
    std::remove(target.c_str());
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
}

// Saving to a name that does not exist yet: no old file to replace.
void save_fresh(benchmark::State &state, const std::string &source, std::uint64_t bytes, const std::string &target)
{
    const int32_t id = ArrayLoad(source.c_str());
    for (auto _ : state) {
        state.PauseTiming();
        std::remove(target.c_str());
        state.ResumeTiming();
        if (ArraySave(id, target.c_str(), 0) != 0)
            state.SkipWithError("save failed");
    }
    ArrayFree(id);
    std::remove(target.c_str());
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
}

void ascii_load(benchmark::State &state) { load(state, files().ascii, files().ascii_bytes); }
void ascii_load_mixed(benchmark::State &state) { load(state, files().mixed, files().mixed_bytes); }
void binary_load(benchmark::State &state) { load(state, files().binary, files().binary_bytes); }
void ascii_save(benchmark::State &state)
{
    save(state, files().ascii, files().ascii_bytes, files().ascii + ".out.txt");
}
void binary_save(benchmark::State &state)
{
    save(state, files().binary, files().binary_bytes, files().binary + ".out.chb");
}

// Saves that do not wait for the disk: what the flushes cost.
class Unflushed {
public:
    Unflushed()
    {
        for (const char *flush : flushes)
            gridvane_core::platform::seam::always(flush, gridvane_core::platform::seam::Act::pretend);
    }
    ~Unflushed()
    {
        for (const char *flush : flushes)
            gridvane_core::platform::seam::always(flush, gridvane_core::platform::seam::Act::none);
    }
    Unflushed(const Unflushed &) = delete;
    Unflushed &operator=(const Unflushed &) = delete;

private:
    static constexpr const char *flushes[] = {"fdatasync", "fsync", "fsync folder", "FlushFileBuffers"};
};

void binary_save_unflushed(benchmark::State &state)
{
    const Unflushed unflushed;
    save(state, files().binary, files().binary_bytes, files().binary + ".out.chb");
}

// A 10 x 10 table over an existing text file, the size of a lookup table.
void small_save(benchmark::State &state)
{
    const std::string target = files().ascii + ".small.txt";
    const int32_t id = ArrayAlloc(10, 10);
    for (auto _ : state)
        if (ArraySave(id, target.c_str(), 0) != 0)
            state.SkipWithError("save failed");
    ArrayFree(id);
    std::remove(target.c_str());
}

void small_save_unflushed(benchmark::State &state)
{
    const Unflushed unflushed;
    small_save(state);
}

void binary_save_new_file(benchmark::State &state)
{
    save_fresh(state, files().binary, files().binary_bytes, files().binary + ".new.chb");
}

// One fwrite of the whole payload over an existing file, as ndarray.tofile does.
void bare_fwrite(benchmark::State &state)
{
    std::vector<char> block(files().binary_bytes, 1);
    const std::string target = files().binary + ".fwrite.chb";
    for (auto _ : state) {
        FILE *f = std::fopen(target.c_str(), "wb");
        benchmark::DoNotOptimize(std::fwrite(block.data(), 1, block.size(), f));
        std::fclose(f);
    }
    std::remove(target.c_str());
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * files().binary_bytes));
}

// The conversion alone: every token of the text through from_chars<double>,
// no line handling, no storage.
void bare_from_chars(benchmark::State &state)
{
    const std::string text = slurp(files().ascii);
    for (auto _ : state) {
        double sum = 0;
        const char *p = text.data(), *end = p + text.size();
        while (p < end) {
            while (p < end && (*p == '\t' || *p == '\n'))
                ++p;
            double v;
            const auto r = std::from_chars(p, end, v);
            sum += v;
            p = r.ptr == p ? p + 1 : r.ptr;
        }
        benchmark::DoNotOptimize(sum);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}

// to_chars into one buffer, written with one fwrite.
void bare_to_chars_fwrite(benchmark::State &state)
{
    const auto &table = files().ascii_table;
    const std::string target = files().ascii + ".bare.txt";
    std::string buffer(files().ascii_bytes + 64, '\0');
    for (auto _ : state) {
        char *p = buffer.data();
        for (const auto &row : table) {
            for (float x : row) {
                *p++ = '\t';
                p = std::to_chars(p, p + 32, static_cast<double>(x), std::chars_format::general, 15).ptr;
            }
            *p++ = '\n';
        }
        FILE *f = std::fopen(target.c_str(), "wb");
        std::fwrite(buffer.data(), 1, static_cast<size_t>(p - buffer.data()), f);
        std::fclose(f);
    }
    std::remove(target.c_str());
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * files().ascii_bytes));
}

// fprintf per value, the classic way.
void bare_fprintf(benchmark::State &state)
{
    const auto &table = files().ascii_table;
    const std::string target = files().ascii + ".fprintf.txt";
    for (auto _ : state) {
        FILE *f = std::fopen(target.c_str(), "wb");
        for (const auto &row : table) {
            for (float x : row)
                std::fprintf(f, "\t%.15g", static_cast<double>(x));
            std::fputc('\n', f);
        }
        std::fclose(f);
    }
    std::remove(target.c_str());
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * files().ascii_bytes));
}

// One fread of the whole binary payload into one block.
void bare_fread(benchmark::State &state)
{
    std::vector<char> block(files().binary_bytes);
    for (auto _ : state) {
        FILE *f = std::fopen(files().binary.c_str(), "rb");
        benchmark::DoNotOptimize(std::fread(block.data(), 1, block.size(), f));
        std::fclose(f);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * files().binary_bytes));
}

// ---- Sampling ----------------------------------------------------------

struct Points {
    std::vector<float> u, v;
};

const Points &points()
{
    static Points p = [] {
        Points out;
        gvbench::Generator g(3);
        for (int i = 0; i < 1 << 16; ++i) {
            out.u.push_back(g.uniform(0.0f, 999.0f));
            out.v.push_back(g.uniform(0.0f, 999.0f));
        }
        return out;
    }();
    return p;
}

// A fresh registry holding the 1000 x 1000 grid the sampling rows use.
int32_t fresh_grid()
{
    gridvane_core::registry::discard_all();
    const int32_t grid = ArrayAlloc(1000, 1000);
    float **rows = ArrayGetArray(grid);
    gvbench::Generator g(4);
    for (int r = 0; r < 1000; ++r)
        for (int c = 0; c < 1000; ++c)
            rows[r][c] = g.uniform(-1.0f, 1.0f);
    return grid;
}

void sample(benchmark::State &state)
{
    const int32_t grid = fresh_grid();
    const auto others = state.range(0);
    for (int64_t i = 0; i < others; ++i)
        ArrayAlloc(1, 1);
    const int32_t other = others > 0 ? ArrayAlloc(1, 1) : grid;
    const Points &p = points();
    size_t i = 0;
    for (auto _ : state) {
        // Every 64th call asks for another table, so the cursor cannot hide
        // the cost of finding the grid among the others.
        benchmark::DoNotOptimize(ArrayGetValue((i & 63) == 63 ? other : grid, p.u[i], p.v[i]));
        i = (i + 1) & 0xFFFF;
    }
    state.SetItemsProcessed(state.iterations());
    gridvane_core::registry::discard_all();
}

// The same points sampled many per call (arg 1: AVX2 where the processor
// has it, 0: SSE2 alone).
void sample_many(benchmark::State &state)
{
    const int32_t grid = fresh_grid();
    const Points &p = points();
    auto &t = *gridvane_core::registry::Record::of(ArrayGetPointer(grid));
    std::vector<float> out(p.u.size());
    const bool avx2 = state.range(0) != 0 && gridvane_core::cpu::has_avx2();
    for (auto _ : state) {
        gridvane_core::registry::sample_many_using(avx2, t, gridvane_core::registry::current_bounds(t), p.u.size(), p.u.data(),
                                              1, p.v.data(), 1, out.data());
        benchmark::DoNotOptimize(out.data());
    }
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(p.u.size()));
    gridvane_core::registry::discard_all();
}

// An ASCII load through the extension interface: arg 0 without an
// observer, arg 1 with one that is told every finding and lets all pass.
void ascii_load_observed(benchmark::State &state)
{
    const gridvane_observer pass = [](const gridvane_finding *, void *) { return 0; };
    for (auto _ : state) {
        const int32_t id = gridvane_load(files().ascii.c_str(), GRIDVANE_FORM_DECIDE,
                                         state.range(0) != 0 ? pass : nullptr, nullptr, nullptr);
        if (id < 0)
            state.SkipWithError("load failed");
        state.PauseTiming();
        ArrayFree(id);
        state.ResumeTiming();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * files().ascii_bytes));
}

// A load spread over threads by the C++ interface's driver (the argument:
// how many).
void load_in_parts(benchmark::State &state, const std::string &path, std::uint64_t bytes)
{
    gridvane::read_options options;
    options.threads = static_cast<unsigned>(state.range(0));
    options.lenient = true; // the library's reading, as the one-piece loads beside it
    for (auto _ : state) {
        gridvane::failure ec;
        gridvane::table t = gridvane::table::load(path, options, gridvane::thread_driver{options.threads}, ec);
        if (ec)
            state.SkipWithError("load failed");
        state.PauseTiming();
        t.reset();
        state.ResumeTiming();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
}
void ascii_load_parts(benchmark::State &state) { load_in_parts(state, files().ascii, files().ascii_bytes); }
void ascii_load_mixed_parts(benchmark::State &state) { load_in_parts(state, files().mixed, files().mixed_bytes); }
void binary_load_parts(benchmark::State &state) { load_in_parts(state, files().binary, files().binary_bytes); }

// The formula inlined over the same grid, with no lookup and no clamping.
void bare_bilinear(benchmark::State &state)
{
    std::vector<std::vector<float>> grid(1000, std::vector<float>(1000));
    gvbench::Generator g(4);
    for (auto &row : grid)
        for (auto &x : row)
            x = g.uniform(-1.0f, 1.0f);
    const Points &p = points();
    size_t i = 0;
    for (auto _ : state) {
        const float u = p.u[i], v = p.v[i];
        const int iu = static_cast<int>(u), iv = static_cast<int>(v);
        const float fu = u - static_cast<float>(iu), fv = v - static_cast<float>(iv);
        const float left = (1 - fv) * grid[iv][iu] + fv * grid[iv + 1][iu];
        const float right = (1 - fv) * grid[iv][iu + 1] + fv * grid[iv + 1][iu + 1];
        benchmark::DoNotOptimize((1 - fu) * left + fu * right);
        i = (i + 1) & 0xFFFF;
    }
    state.SetItemsProcessed(state.iterations());
}

// ---- Sampling at the memory floor ----------------------------------------

// 4,000,000 points uniform over a 1024 x 1024 table: 4 MB of samples, past
// the second-level cache, so that where each point's cells come from, not
// the arithmetic, sets the pace. The rows below are meant to be read side
// by side, from one run.
struct FloorWork {
    static constexpr int side = 1024;
    static constexpr std::size_t count = 4'000'000;
    std::vector<float> u, v, out;
};

FloorWork &floor_points()
{
    static FloorWork w = [] {
        FloorWork made;
        gvbench::Generator g(5);
        made.u.resize(FloorWork::count);
        made.v.resize(FloorWork::count);
        made.out.resize(FloorWork::count);
        for (std::size_t i = 0; i < FloorWork::count; ++i) {
            made.u[i] = g.uniform(0.0f, FloorWork::side - 1);
            made.v[i] = g.uniform(0.0f, FloorWork::side - 1);
        }
        return made;
    }();
    return w;
}

// A fresh registry holding the floor rows' table.
gridvane_core::registry::Record &fresh_floor_table()
{
    gridvane_core::registry::discard_all();
    const int32_t id = ArrayAlloc(FloorWork::side, FloorWork::side);
    float **rows = ArrayGetArray(id);
    gvbench::Generator g(6);
    for (int r = 0; r < FloorWork::side; ++r)
        for (int c = 0; c < FloorWork::side; ++c)
            rows[r][c] = g.uniform(-1.0f, 1.0f);
    return *gridvane_core::registry::Record::of(ArrayGetPointer(id));
}

void finish_floor_row(benchmark::State &state)
{
    benchmark::DoNotOptimize(floor_points().out.data());
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(FloorWork::count));
    // CPU seconds per point, printed with its prefix ("4.71n" is 4.71 ns).
    state.counters["per_point"] = benchmark::Counter(static_cast<double>(FloorWork::count),
                                                     benchmark::Counter::kIsIterationInvariantRate |
                                                         benchmark::Counter::kInvert);
    gridvane_core::registry::discard_all();
}

// The floor: each point's coordinates truncated and its four cells loaded
// and summed into out[i]; no clamp, no fractions, no formula. No sampler
// that writes a result for each point in the callers' order does less.
void random4m_floor(benchmark::State &state)
{
    FloorWork &w = floor_points();
    float *const *rows = fresh_floor_table().node.rows;
    for (auto _ : state) {
        for (std::size_t i = 0; i < FloorWork::count; ++i) {
            const auto iu = static_cast<int32_t>(w.u[i]), iv = static_cast<int32_t>(w.v[i]);
            const float *top = rows[iv], *bottom = rows[iv + 1];
            w.out[i] = (top[iu] + top[iu + 1]) + (bottom[iu] + bottom[iu + 1]);
        }
        benchmark::ClobberMemory();
    }
    finish_floor_row(state);
}

// The plain scalar loop: the one-point formula inlined, clamps and all, one
// point after another, with no lookup.
void random4m_scalar_loop(benchmark::State &state)
{
    FloorWork &w = floor_points();
    gridvane_core::registry::Record &t = fresh_floor_table();
    const gridvane_core::registry::Clamp bounds = gridvane_core::registry::current_bounds(t);
    for (auto _ : state) {
        for (std::size_t i = 0; i < FloorWork::count; ++i)
            w.out[i] = gridvane_core::registry::interpolate(t, w.u[i], w.v[i], bounds);
        benchmark::ClobberMemory();
    }
    finish_floor_row(state);
}

// The batch sampler on the same points (avx2:1 where the processor has
// it, 0: SSE2 alone).
void random4m_sample_many(benchmark::State &state)
{
    FloorWork &w = floor_points();
    gridvane_core::registry::Record &t = fresh_floor_table();
    const bool avx2 = state.range(0) != 0 && gridvane_core::cpu::has_avx2();
    for (auto _ : state) {
        gridvane_core::registry::sample_many_using(avx2, t, gridvane_core::registry::current_bounds(t), FloorWork::count,
                                              w.u.data(), 1, w.v.data(), 1, w.out.data());
        benchmark::ClobberMemory();
    }
    finish_floor_row(state);
}

// The whole call as a host makes it.
void random4m_gridvane_sample_many(benchmark::State &state)
{
    FloorWork &w = floor_points();
    const int32_t id = fresh_floor_table().node.id;
    for (auto _ : state) {
        gridvane_sample_many(id, FloorWork::count, w.u.data(), 1, w.v.data(), 1, w.out.data(), nullptr);
        benchmark::ClobberMemory();
    }
    finish_floor_row(state);
}

} // namespace

BENCHMARK(ascii_load)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(ascii_load_mixed)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(ascii_load_observed)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(ascii_load_parts)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->MinTime(2.0)->UseRealTime();
BENCHMARK(ascii_load_mixed_parts)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->MinTime(2.0)->UseRealTime();
BENCHMARK(binary_load_parts)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->MinTime(1.0)->UseRealTime();
BENCHMARK(bare_from_chars)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(ascii_save)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(bare_to_chars_fwrite)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(bare_fprintf)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(binary_load)->Unit(benchmark::kMillisecond)->MinTime(1.0);
BENCHMARK(bare_fread)->Unit(benchmark::kMillisecond)->MinTime(1.0);
BENCHMARK(binary_save)->Unit(benchmark::kMillisecond)->MinTime(1.0);
BENCHMARK(binary_save_unflushed)->Unit(benchmark::kMillisecond)->MinTime(1.0);
BENCHMARK(binary_save_new_file)->Unit(benchmark::kMillisecond)->MinTime(1.0);
BENCHMARK(small_save)->Unit(benchmark::kMicrosecond)->MinTime(1.0);
BENCHMARK(small_save_unflushed)->Unit(benchmark::kMicrosecond)->MinTime(1.0);
BENCHMARK(bare_fwrite)->Unit(benchmark::kMillisecond)->MinTime(1.0);
BENCHMARK(sample)->Arg(0)->Arg(100000);
BENCHMARK(sample_many)->Arg(0)->Arg(1);
BENCHMARK(bare_bilinear);
BENCHMARK(random4m_floor)->Unit(benchmark::kMillisecond);
BENCHMARK(random4m_scalar_loop)->Unit(benchmark::kMillisecond);
BENCHMARK(random4m_sample_many)->ArgName("avx2")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(random4m_gridvane_sample_many)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
