#include "workloads.hpp"

#include "gridvane.h"

#include <cmath>
#include <cstdio>
#include <stdexcept>

namespace gvbench {

std::vector<std::vector<float>> make_table(int rows, int columns, std::uint64_t seed)
{
    Generator g(seed);
    std::vector<std::vector<float>> table(static_cast<size_t>(rows), std::vector<float>(static_cast<size_t>(columns)));
    for (auto &row : table)
        for (auto &x : row)
            x = g.uniform(-1000.0f, 1000.0f);
    return table;
}

std::vector<std::vector<float>> make_mixed_table(int rows, int columns, std::uint64_t seed)
{
    Generator g(seed);
    std::vector<std::vector<float>> table(static_cast<size_t>(rows), std::vector<float>(static_cast<size_t>(columns)));
    for (auto &row : table)
        for (auto &x : row) {
            // Box-Muller: one standard normal from two uniforms.
            const double u1 = (static_cast<double>(g.next() >> 11) + 1.0) * 0x1p-53;
            const double u2 = static_cast<double>(g.next() >> 11) * 0x1p-53;
            const double z = std::sqrt(-2.0 * std::log(u1)) * std::cos(6.283185307179586 * u2);
            const int k = static_cast<int>(g.next() % 11) - 5;
            x = g.next() % 20 == 0 ? static_cast<float>(std::round(z * 1000.0)) : static_cast<float>(z * std::pow(10.0, k));
        }
    return table;
}

std::uint64_t write_table_file(const std::string &path, const std::vector<std::vector<float>> &table, bool binary)
{
    std::vector<float *> rows;
    for (const auto &row : table)
        rows.push_back(const_cast<float *>(row.data()));
    FILE *f = std::fopen(path.c_str(), "wb");
    if (f == nullptr)
        throw std::runtime_error("cannot write " + path);
    const auto columns = static_cast<int32_t>(table.empty() ? 0 : table[0].size());
    const auto count = static_cast<int32_t>(table.size());
    const int rc =
        binary ? ChanWriteBin(f, rows.data(), columns, count) : ChanWriteAscii(f, rows.data(), columns, count);
    const long size = (std::fseek(f, 0, SEEK_END), std::ftell(f));
    std::fclose(f);
    if (rc != 0)
        throw std::runtime_error("cannot write " + path);
    return static_cast<std::uint64_t>(size);
}

} // namespace gvbench
