// gridvane_threads: the library from several threads at once, through the
// shared library as a host links it. Prints one table: sampling on one
// thread against the bare formula, two threads on tables of their own, the
// same while a third thread allocates and frees other tables, and loads of
// many small files on one and on two threads. Every sample is checked
// against the one-thread result. Each figure is the median of --reps runs.
//
// usage: gridvane_threads [--reps N] [--calls N] [--files N] [--churn-rate N]
//                         [--one-thread]
//   --churn-rate  tables per second the extra thread allocates and frees in
//                 its paced run (it also runs flat out)
//   --one-thread  only the one-thread sampling row (to run against another
//                 build of the library with LD_LIBRARY_PATH)
#include "workloads.hpp"

#include "gridvane.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <latch>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

struct Options {
    int reps = 5;
    long calls = 20'000'000; // per thread and run
    int files = 2000;
    double churn_rate = 100'000;
    bool one_thread = false;
};

constexpr int grid = 1000;
constexpr std::size_t point_count = 1 << 16;

struct Points {
    std::vector<float> u, v;
};

const Points &points()
{
    static const Points p = [] {
        Points out;
        gvbench::Generator g(3);
        for (std::size_t i = 0; i < point_count; ++i) {
            out.u.push_back(g.uniform(0.0f, grid - 1.0f));
            out.v.push_back(g.uniform(0.0f, grid - 1.0f));
        }
        return out;
    }();
    return p;
}

const std::vector<std::vector<float>> &grid_values()
{
    static const auto values = gvbench::make_table(grid, grid, 4);
    return values;
}

int32_t make_grid_table()
{
    const int32_t id = ArrayAlloc(grid, grid);
    float **rows = ArrayGetArray(id);
    for (int r = 0; r < grid; ++r)
        std::memcpy(rows[r], grid_values()[static_cast<std::size_t>(r)].data(), grid * sizeof(float));
    return id;
}

// The bits of every sample of one pass over the points, summed: what each
// thread's passes must reproduce.
std::uint64_t pass_checksum(int32_t id)
{
    const Points &p = points();
    std::uint64_t sum = 0;
    for (std::size_t i = 0; i < point_count; ++i)
        sum += std::bit_cast<std::uint32_t>(ArrayGetValue(id, p.u[i], p.v[i]));
    return sum;
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

struct SampleRun {
    double calls_per_second;
    long wrong_passes;
    long churn_rate; // tables per second
};

// How the extra thread allocates and frees: not at all, as fast as it can,
// or in bursts of 16 tables paced to a rate.
struct Churn {
    bool on = false;
    double tables_per_second = 0; // 0: as fast as it can
};

// threads samplers, each on a table of its own, calls samples each; churn:
// one more thread allocating, filling, sampling and freeing small tables
// until the samplers are done.
SampleRun run_samplers(int threads, long calls, Churn churn, std::uint64_t expected)
{
    std::vector<int32_t> tables;
    for (int t = 0; t < threads; ++t)
        tables.push_back(make_grid_table());
    std::atomic<long> wrong{0};
    std::atomic<bool> done{false};
    std::atomic<long> churned{0};
    std::latch start(threads + 1);
    std::vector<Clock::time_point> ends(static_cast<std::size_t>(threads));
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t)
        workers.emplace_back([&, t] {
            const Points &p = points();
            const int32_t id = tables[static_cast<std::size_t>(t)];
            long bad = 0;
            start.arrive_and_wait();
            for (long done_calls = 0; done_calls < calls; done_calls += point_count) {
                std::uint64_t sum = 0;
                for (std::size_t i = 0; i < point_count; ++i)
                    sum += std::bit_cast<std::uint32_t>(ArrayGetValue(id, p.u[i], p.v[i]));
                bad += sum != expected;
            }
            ends[static_cast<std::size_t>(t)] = Clock::now();
            wrong += bad;
        });
    std::thread churner;
    if (churn.on)
        churner = std::thread([&] {
            long ops = 0;
            Clock::time_point next = Clock::now();
            const auto burst = churn.tables_per_second > 0
                                   ? std::chrono::duration_cast<Clock::duration>(
                                         std::chrono::duration<double>(16.0 / churn.tables_per_second))
                                   : Clock::duration::zero();
            while (!done.load(std::memory_order_relaxed)) {
                const int32_t id = ArrayAlloc(1 + static_cast<int32_t>(ops % 64), 1 + static_cast<int32_t>(ops % 32));
                ArrayPutIValue(id, 0, 0, 1.0f);
                if (ArrayGetValue(id, 0.0f, 0.0f) != 1.0f || ArrayFree(id) != 0)
                    wrong += 1;
                if (++ops % 16 == 0 && burst != Clock::duration::zero()) {
                    next += burst;
                    std::this_thread::sleep_until(next);
                }
            }
            churned = ops;
        });
    start.arrive_and_wait();
    const Clock::time_point begin = Clock::now();
    for (auto &w : workers)
        w.join();
    done = true;
    if (churner.joinable())
        churner.join();
    const Clock::time_point end = *std::max_element(ends.begin(), ends.end());
    for (int32_t id : tables)
        ArrayFree(id);
    const long total = (calls + static_cast<long>(point_count) - 1) / static_cast<long>(point_count) *
                       static_cast<long>(point_count) * threads;
    const double seconds = std::chrono::duration<double>(end - begin).count();
    return {static_cast<double>(total) / seconds, wrong.load(),
            static_cast<long>(static_cast<double>(churned.load()) / seconds)};
}

// The formula inlined over a grid, with no lookup and no clamping.
float bare_passes(const std::vector<std::vector<float>> &g, long calls)
{
    const Points &p = points();
    float total = 0;
    for (long done = 0; done < calls; done += point_count) {
        float sum = 0;
        for (std::size_t i = 0; i < point_count; ++i) {
            const float u = p.u[i], v = p.v[i];
            const int iu = static_cast<int>(u), iv = static_cast<int>(v);
            const float fu = u - static_cast<float>(iu), fv = v - static_cast<float>(iv);
            const auto &r0 = g[static_cast<std::size_t>(iv)];
            const auto &r1 = g[static_cast<std::size_t>(iv) + 1];
            const auto a = static_cast<std::size_t>(iu);
            const float left = (1 - fv) * r0[a] + fv * r1[a];
            const float right = (1 - fv) * r0[a + 1] + fv * r1[a + 1];
            sum += (1 - fu) * left + fu * right;
        }
        total += sum;
    }
    return total;
}

double bare_ns_per_point(long calls)
{
    volatile float sink = 0;
    const Clock::time_point begin = Clock::now();
    sink = bare_passes(grid_values(), calls);
    (void)sink;
    return std::chrono::duration<double, std::nano>(Clock::now() - begin).count() / static_cast<double>(calls);
}

// The same formula on threads of their own, each over a grid of its own:
// how far this machine lets two threads scale at all.
double bare_points_per_second(int threads, long calls)
{
    std::vector<std::vector<std::vector<float>>> grids(static_cast<std::size_t>(threads), grid_values());
    std::latch start(threads + 1);
    std::vector<std::thread> workers;
    std::atomic<float> sink{0};
    for (int t = 0; t < threads; ++t)
        workers.emplace_back([&, t] {
            start.arrive_and_wait();
            sink.store(bare_passes(grids[static_cast<std::size_t>(t)], calls), std::memory_order_relaxed);
        });
    start.arrive_and_wait();
    const Clock::time_point begin = Clock::now();
    for (auto &w : workers)
        w.join();
    const long per_thread = (calls + static_cast<long>(point_count) - 1) / static_cast<long>(point_count) *
                            static_cast<long>(point_count);
    return static_cast<double>(per_thread) * threads / std::chrono::duration<double>(Clock::now() - begin).count();
}

// Loads (and frees) every file, split between threads: files per second.
double load_files(const std::vector<std::string> &files, int threads, long &failures)
{
    std::atomic<long> failed{0};
    std::latch start(threads + 1);
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t)
        workers.emplace_back([&, t] {
            start.arrive_and_wait();
            for (std::size_t i = static_cast<std::size_t>(t); i < files.size(); i += static_cast<std::size_t>(threads)) {
                const int32_t id = ArrayLoad(files[i].c_str());
                if (id < 0 || ArrayCountV(id) != 500.0f || ArrayFree(id) != 0)
                    ++failed;
            }
        });
    start.arrive_and_wait();
    const Clock::time_point begin = Clock::now();
    for (auto &w : workers)
        w.join();
    failures += failed;
    return static_cast<double>(files.size()) / std::chrono::duration<double>(Clock::now() - begin).count();
}

// The small files live in a fixed folder of the temporary directory that is
// only a cache: their contents follow from their names (seeded tables), runs
// only read them, and each is written under a name of its writer's own and
// renamed into place, so a run at the same time or one stopped halfway never
// leaves a part of a file under its name.
std::vector<std::string> make_small_files(int count)
{
    const fs::path dir = fs::temp_directory_path() / "gridvane-threads-bench";
    fs::create_directories(dir);
    const std::string mine = ".part-" + std::to_string(std::random_device{}());
    std::vector<std::string> files;
    for (int i = 0; i < count; ++i) {
        files.push_back((dir / ("f" + std::to_string(i) + ".txt")).string());
        if (!fs::exists(files.back())) {
            gvbench::write_table_file(files.back() + mine,
                                      gvbench::make_table(500, 7, 100 + static_cast<std::uint64_t>(i)), false);
            fs::rename(files.back() + mine, files.back());
        }
    }
    return files;
}

Options parse(int argc, char **argv)
{
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto next = [&] { return i + 1 < argc ? std::atol(argv[++i]) : 0L; };
        if (a == "--reps")
            o.reps = std::max(1, static_cast<int>(next()));
        else if (a == "--calls")
            o.calls = std::max(1L, next());
        else if (a == "--files")
            o.files = std::max(2, static_cast<int>(next()));
        else if (a == "--churn-rate")
            o.churn_rate = static_cast<double>(std::max(1L, next()));
        else if (a == "--one-thread")
            o.one_thread = true;
        else {
            std::fprintf(stderr, "usage: gridvane_threads [--reps N] [--calls N] [--files N] [--churn-rate N] "
                                 "[--one-thread]\n");
            std::exit(2);
        }
    }
    return o;
}

} // namespace

int main(int argc, char **argv)
{
    const Options o = parse(argc, argv);
    const int32_t reference = make_grid_table();
    const std::uint64_t expected = pass_checksum(reference);
    ArrayFree(reference);

    std::vector<double> one, two, paced, paced_rate, flat, flat_rate, bare, bare_one, bare_two, load_one, load_two;
    long wrong = 0, load_failures = 0;
    std::vector<std::string> files;
    if (!o.one_thread)
        files = make_small_files(o.files);
    // Configurations alternate within each repetition, so that a change in
    // the machine's load touches them all alike.
    for (int rep = 0; rep < o.reps; ++rep) {
        bare.push_back(bare_ns_per_point(o.calls));
        const SampleRun r1 = run_samplers(1, o.calls, Churn{}, expected);
        one.push_back(r1.calls_per_second);
        wrong += r1.wrong_passes;
        if (o.one_thread)
            continue;
        bare_one.push_back(bare_points_per_second(1, o.calls));
        bare_two.push_back(bare_points_per_second(2, o.calls));
        const SampleRun r2 = run_samplers(2, o.calls, Churn{}, expected);
        two.push_back(r2.calls_per_second);
        const SampleRun r3 = run_samplers(2, o.calls, Churn{true, o.churn_rate}, expected);
        paced.push_back(r3.calls_per_second);
        paced_rate.push_back(static_cast<double>(r3.churn_rate));
        const SampleRun r4 = run_samplers(2, o.calls, Churn{true, 0}, expected);
        flat.push_back(r4.calls_per_second);
        flat_rate.push_back(static_cast<double>(r4.churn_rate));
        wrong += r2.wrong_passes + r3.wrong_passes + r4.wrong_passes;
        load_one.push_back(load_files(files, 1, load_failures));
        load_two.push_back(load_files(files, 2, load_failures));
    }

    const double ns = 1e9 / median(one), bare_ns = median(bare);
    std::printf("| work | figure | against | ratio |\n|---|---|---|---|\n");
    std::printf("| ArrayGetValue, one thread | %.2f ns/call | bare inlined formula %.2f ns/point | %.2fx the bare "
                "formula |\n",
                ns, bare_ns, ns / bare_ns);
    if (!o.one_thread) {
        std::printf("| ArrayGetValue, 2 threads on their own tables | %.1f M calls/s | one thread %.1f M calls/s | "
                    "%.2fx |\n",
                    median(two) / 1e6, median(one) / 1e6, median(two) / median(one));
        std::printf("| the bare formula, 2 threads on their own grids (the machine's own scaling) | %.1f M points/s | "
                    "one thread %.1f M points/s | %.2fx |\n",
                    median(bare_two) / 1e6, median(bare_one) / 1e6, median(bare_two) / median(bare_one));
        std::printf("| the same while a third thread allocates and frees %.0f tables/s | %.1f M calls/s | one "
                    "thread %.1f M calls/s | %.2fx |\n",
                    median(paced_rate), median(paced) / 1e6, median(one) / 1e6, median(paced) / median(one));
        std::printf("| the same while a third thread allocates and frees as fast as it can (%.0f tables/s) | %.1f M "
                    "calls/s | one thread %.1f M calls/s | %.2fx |\n",
                    median(flat_rate), median(flat) / 1e6, median(one) / 1e6, median(flat) / median(one));
        std::printf("| ArrayLoad of %d files of 500 x 7, 2 threads | %.0f files/s | one thread %.0f files/s | %.2fx |\n",
                    o.files, median(load_two), median(load_one), median(load_two) / median(load_one));
    }
    std::printf("\nmedians of %d runs; %ld wrong sample passes, %ld failed loads\n", o.reps, wrong, load_failures);
    return wrong == 0 && load_failures == 0 ? 0 : 1;
}
