// The floor a text reader is measured against: the file already in memory,
// split at tabs and line ends and each token parsed to float by fast_float
// (a header library, from the system's packages), on one thread. Prints the
// seconds of the parse alone and the tokens it parsed.
//
//     fast_float_floor FILE
#include <fast_float/fast_float.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

int main(int argc, char **argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: fast_float_floor FILE\n");
        return 2;
    }
    std::ifstream in(argv[1], std::ios::binary);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (!in.eof() && in.fail()) {
        std::perror(argv[1]);
        return 1;
    }
    std::vector<float> values(text.size() / 2 + 1);
    const auto start = std::chrono::steady_clock::now();
    const char *p = text.data(), *const end = p + text.size();
    std::size_t n = 0;
    while (p < end) {
        if (*p == '\t' || *p == '\n' || *p == ' ' || *p == '\r') {
            ++p;
            continue;
        }
        const auto result = fast_float::from_chars(p, end, values[n]);
        if (result.ec != std::errc{}) {
            std::fprintf(stderr, "not a number at byte %td\n", p - text.data());
            return 1;
        }
        ++n;
        p = result.ptr;
    }
    const std::chrono::duration<double> seconds = std::chrono::steady_clock::now() - start;
    // The values are used, so that no compiler drops the parse.
    double sum = 0;
    for (std::size_t i = 0; i < n; ++i)
        sum += values[i];
    std::printf("%.6f %zu %g\n", seconds.count(), n, sum);
    return 0;
}
