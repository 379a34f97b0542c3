// Deterministic data for the benchmarks: a seeded generator, so every run
// and every tool sees the same numbers, and nothing large is shipped.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace gvbench {

// splitmix64: small, fast and the same everywhere.
class Generator {
public:
    explicit Generator(std::uint64_t seed) : state_(seed) {}
    std::uint64_t next()
    {
        std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ULL);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
        return z ^ (z >> 31);
    }
    // Uniform in [low, high).
    float uniform(float low, float high)
    {
        return low + (high - low) * static_cast<float>(next() >> 40) * (1.0f / 16777216.0f);
    }

private:
    std::uint64_t state_;
};

// rows x columns values in [-1000, 1000), as separate rows.
std::vector<std::vector<float>> make_table(int rows, int columns, std::uint64_t seed);

// Values of mixed magnitude, as tables people keep hold them: N(0,1) times
// 10^k, k uniform in -5..5 for each value, and about 5 % whole numbers. Their
// "%.15g" text has about 15 % of the tokens in exponent form.
std::vector<std::vector<float>> make_mixed_table(int rows, int columns, std::uint64_t seed);

// Writes the table to path in the ASCII (plain) or binary form, with
// Gridvane's writers; returns the file's size in bytes.
std::uint64_t write_table_file(const std::string &path, const std::vector<std::vector<float>> &table, bool binary);

} // namespace gvbench
