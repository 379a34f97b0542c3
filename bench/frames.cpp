// Frame lookups and row loops through the C++ interface, against the C
// functions and raw rows, on a camera move of 100,000 rows: one round of
// each, as a line of milliseconds that bench/frames.py sets beside
// Python's figures for the same lookups.
//
// gridvane_frames [ROUNDS]
#include "gridvane.hpp"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

namespace {

constexpr std::size_t move_rows = 100000, move_columns = 6, lookups = 10000;

template <typename F> double milliseconds(F &&f)
{
    const auto start = std::chrono::steady_clock::now();
    f();
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

} // namespace

int main(int argc, char **argv)
{
    const int rounds = argc > 1 ? std::atoi(argv[1]) : 5;
    gridvane::table move = gridvane::table::create(move_rows, move_columns, true);
    for (std::size_t r = 0; r < move_rows; ++r) {
        move.set_frame_value(r, static_cast<float>(r + 1));
        for (float &x : move.row(r))
            x = static_cast<float>(r % 97);
    }
    std::mt19937 random(7);
    std::uniform_real_distribution<double> pick(1.0, static_cast<double>(move_rows));
    std::vector<double> frames(lookups);
    for (double &f : frames)
        f = pick(random);
    volatile float sink = 0;
    for (int round = 0; round < rounds; ++round) {
        const double c_scan = milliseconds([&] {
            float s = 0;
            for (double f : frames)
                s += ArrayFrameGetV(move.handle(), static_cast<std::int32_t>(f));
            sink = s;
        });
        const double c_index = milliseconds([&] {
            gridvane_frame_index *index = gridvane_frame_index_open(move.handle(), nullptr);
            float s = 0;
            for (double f : frames)
                s += gridvane_frame_index_row(index, f);
            gridvane_frame_index_close(index);
            sink = s;
        });
        const double cxx = milliseconds([&] {
            move.frames_changed(); // the index made anew each round, as Python makes it
            float s = 0;
            for (double f : frames)
                s += move.row_of_frame(f);
            sink = s;
        });
        const double rows_checked = milliseconds([&] {
            float s = 0;
            for (int again = 0; again < 10; ++again)
                for (std::size_t r = 0; r < move.rows(); ++r)
                    for (float x : move.row(r))
                        s += x;
            sink = s;
        });
        const double rows_raw = milliseconds([&] {
            float *const *rows = ArrayGetArray(move.handle());
            const auto n = static_cast<std::size_t>(ArrayCountV(move.handle()));
            const auto m = static_cast<std::size_t>(ArrayCountU(move.handle()));
            float s = 0;
            for (int again = 0; again < 10; ++again)
                for (std::size_t r = 0; r < n; ++r)
                    for (std::size_t c = 0; c < m; ++c)
                        s += rows[r][c];
            sink = s;
        });
        std::printf("%.4f %.4f %.4f %.4f %.4f\n", c_scan, c_index, cxx, rows_checked, rows_raw);
    }
    (void)sink;
    return 0;
}
