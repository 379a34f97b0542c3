// Shared test helpers: a fixture that leaves the registry empty, message
// capture, and tables built through the core's internals.
#pragma once

#include "gridvane.h"
#include "common/heap.hpp"
#include "registry/registry.hpp"

#include <gtest/gtest.h>

#if !defined(_WIN32)
#    include <unistd.h>
#endif
#if defined(_WIN32)
#    include <fcntl.h>
#    include <io.h>
#    include <process.h>
#    include <share.h>
#    include <sys/stat.h>
#endif

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <string>
#include <vector>

namespace gvtest {

class RegistryTest : public ::testing::Test {
protected:
    void SetUp() override { gridvane_core::registry::discard_all(); }
    void TearDown() override
    {
        gridvane_core::heap::fail_nth_allocation(0);
        gridvane_core::registry::discard_all();
    }
};

// Runs fn and returns what it wrote to standard error (messages reach the
// stand-in tools library's Libprintf, which writes there).
template <typename Fn> std::string messages_of(Fn &&fn)
{
    ::testing::internal::CaptureStderr();
    fn();
    return ::testing::internal::GetCapturedStderr();
}

// Registers a table with the given rows (all of one width) through the
// core, the way the stream reader does; frame rows keep their frame last.
inline ArrayNode *register_rows(const std::vector<std::vector<float>> &rows, int32_t type = CHAN_ASCII,
                                bool frame = false)
{
    const auto width = rows.empty() ? 0 : static_cast<int64_t>(rows[0].size());
    const gridvane_core::storage::Rows storage = gridvane_core::storage::make_rows(static_cast<int64_t>(rows.size()), width);
    for (size_t r = 0; r < rows.size(); ++r)
        if (!rows[r].empty())
            std::memcpy(storage.index[r], rows[r].data(), rows[r].size() * sizeof(float));
    gridvane_core::Status status;
    return &gridvane_core::registry::register_table(type, frame ? ARRAY_FRAME : 0, storage, {}, status).table->node;
}

// Heap blocks in use, less the records the registry keeps for reuse.
inline int64_t blocks_in_use() { return gridvane_core::heap::live_blocks() - gridvane_core::registry::spare_records(); }

// Checks the list invariants: circular both ways, Head/Tail ends, unique
// ascending handles as registered, and returns the handles in order.
inline std::vector<int32_t> walk_registry()
{
    std::vector<int32_t> ids;
    ArrayNode *head = gridvane_core::registry::head();
    ArrayNode *tail = gridvane_core::registry::tail();
    EXPECT_EQ(head == nullptr, tail == nullptr);
    if (head == nullptr)
        return ids;
    EXPECT_EQ(head->prev, tail);
    EXPECT_EQ(tail->next, head);
    ArrayNode *node = head;
    do {
        EXPECT_EQ(node->next->prev, node);
        ids.push_back(node->id);
        node = node->next;
    } while (node != head && ids.size() < 10'000'000);
    std::vector<int32_t> backwards;
    node = tail;
    do {
        backwards.insert(backwards.begin(), node->id);
        node = node->prev;
    } while (node != tail && backwards.size() < 10'000'000);
    EXPECT_EQ(ids, backwards);
    return ids;
}

// Fails every allocation of fn in turn, from the first until one is never
// reached: in a first pass the nth alone, in a second every one from the
// nth on (so that the cleanup after a failure meets failures too). Each
// failure must leave the registry and the heap exactly as they were, keep
// the next handle and say one of the expected messages (and, if given, set
// expected_errno); a failure fn gets by without (a block it could not trim)
// must still leave the heap as it was. fn releases what it made when it
// succeeds. Returns how many failures fn reported in the two passes.
template <typename Fn> int inject_every_failure(Fn &&fn, const std::vector<std::string> &messages, int expected_errno)
{
    const auto before = walk_registry();
    const int64_t live = blocks_in_use();
    int injected = 0;
    for (const bool and_after : {false, true})
    for (uint64_t n = 1; n < 100000; ++n) {
        const int32_t last_id = gridvane_core::registry::last_id();
        const uint64_t start = gridvane_core::heap::allocation_count();
        gridvane_core::heap::fail_nth_allocation(n, and_after);
        bool ok = false;
        errno = 0;
        const std::string said = messages_of([&] { ok = fn(); });
        const int error = errno;
        gridvane_core::heap::fail_nth_allocation(0);
        EXPECT_EQ(walk_registry(), before) << n << (and_after ? " and after" : "");
        EXPECT_EQ(blocks_in_use(), live) << n << (and_after ? " and after" : "");
        if (gridvane_core::heap::allocation_count() - start < n) {
            EXPECT_TRUE(ok) << "fails with no failure injected";
            break;
        }
        if (ok)
            continue;
        ++injected;
        EXPECT_NE(std::find(messages.begin(), messages.end(), said), messages.end())
            << n << (and_after ? " and after: " : ": ") << said;
        if (expected_errno != 0) {
            EXPECT_EQ(error, expected_errno) << n << (and_after ? " and after" : "");
        }
        EXPECT_EQ(gridvane_core::registry::last_id(), last_id) << n;
    }
    return injected;
}

} // namespace gvtest

namespace gvtest {

// Where a save's named new file is held by an open (Windows), one that a
// failed save could not remove stays until a minute after it was written,
// which the next save waits for before it takes the file for abandoned;
// elsewhere the next save removes it. Removes such files of target in
// folder where they stay, and returns the names of everything else there.
inline std::vector<std::string> without_recent_slots(const std::vector<std::string> &names, const std::string &folder,
                                                     const std::string &target)
{
    std::vector<std::string> others;
    for (const std::string &name : names) {
#if defined(_WIN32)
        if (name.rfind("." + target + ".gridvane-", 0) == 0) {
            std::filesystem::remove(std::filesystem::path(folder) / name);
            continue;
        }
#else
        (void)folder;
        (void)target;
#endif
        others.push_back(name);
    }
    return others;
}

// A temporary stream of this process's own, deleted when closed. Windows'
// tmpfile names its files after a counter that other processes count too,
// so that two test processes at once can share one file: there the stream
// is made under a name of this process's own, created exclusively.
inline FILE *temporary_stream()
{
#if defined(_WIN32)
    static std::atomic<unsigned> made{0};
    const std::filesystem::path folder = std::filesystem::temp_directory_path();
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::string name = (folder / ("gridvane-test-" + std::to_string(_getpid()) + "-" +
                                            std::to_string(made.fetch_add(1)) + ".tmp"))
                                     .string();
        int fd = -1;
        if (_sopen_s(&fd, name.c_str(), _O_CREAT | _O_EXCL | _O_RDWR | _O_BINARY | _O_TEMPORARY, _SH_DENYNO,
                     _S_IREAD | _S_IWRITE) == 0)
            return _fdopen(fd, "w+b");
    }
    FILE *f = nullptr;
#else
    FILE *f = std::tmpfile();
#endif
    if (f == nullptr)
        ADD_FAILURE() << "no temporary stream: " << std::strerror(errno);
    return f;
}

// A read/write stream holding text, positioned at its start.
inline FILE *stream_of(const std::string &bytes)
{
    FILE *f = temporary_stream();
    if (f != nullptr) {
        std::fwrite(bytes.data(), 1, bytes.size(), f);
        std::rewind(f);
    }
    return f;
}

// Everything a stream holds, from its start.
inline std::string contents_of(FILE *f)
{
    std::fflush(f);
    std::rewind(f);
    std::string out;
    char buffer[65536];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0)
        out.append(buffer, n);
    return out;
}

using Rows = std::vector<std::vector<float>>;

// The rows behind a row index; releases the index and rows with free
// (through the library's heap, which keeps its count of live blocks true).
inline Rows take_rows(float **rows, int32_t count_u, int32_t count_v)
{
    Rows out;
    for (int32_t r = 0; r < count_v; ++r) {
        out.emplace_back(rows[r], rows[r] + count_u);
        gridvane_core::heap::release(rows[r]);
    }
    gridvane_core::heap::release(rows);
    return out;
}

// Row pointers into a Rows, as the writers take them.
inline std::vector<float *> pointers(Rows &rows)
{
    std::vector<float *> out;
    for (auto &row : rows)
        out.push_back(row.data());
    return out;
}

// The binary file the writer makes of rows.
inline std::string binary_of(Rows rows, int32_t count_u, int32_t count_v)
{
    auto ptrs = pointers(rows);
    FILE *f = std::tmpfile();
    EXPECT_EQ(ChanWriteBin(f, ptrs.data(), count_u, count_v), 0);
    std::string out = contents_of(f);
    std::fclose(f);
    return out;
}

// A registered table's rows (its countU values each).
inline Rows rows_of(int32_t id)
{
    Rows out;
    const ArrayNode *node = ArrayGetPointer(id);
    if (node == nullptr)
        return out;
    for (int32_t r = 0; r < static_cast<int32_t>(node->countV); ++r)
        out.emplace_back(node->rows[r], node->rows[r] + static_cast<int32_t>(node->countU));
    return out;
}

inline bool same_bits(const Rows &a, const Rows &b)
{
    if (a.size() != b.size())
        return false;
    for (size_t r = 0; r < a.size(); ++r)
        if (a[r].size() != b[r].size() || std::memcmp(a[r].data(), b[r].data(), a[r].size() * sizeof(float)) != 0)
            return false;
    return true;
}

} // namespace gvtest

namespace gvtest {

// A folder of the test's own, made fresh under the temporary folder with a
// name no other run takes, and removed with everything in it.
#if !defined(_WIN32)
} // namespace gvtest
// The coverage run's counters, where the build keeps them (weak: absent
// elsewhere).
extern "C" void __gcov_dump(void) __attribute__((weak));
namespace gvtest {

// Ends a forked child at once, as _exit does, with its coverage counted:
// _exit skips the handler that writes the counts, so what only a child
// runs (a save as another user) would count as never run.
[[noreturn]] inline void end_child(int status)
{
    if (__gcov_dump != nullptr)
        __gcov_dump();
    ::_exit(status);
}
#endif

class TempFolder {
public:
    TempFolder()
    {
        static std::atomic<unsigned> made{0};
        const auto base = std::filesystem::temp_directory_path();
        const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
        for (unsigned attempt = 0;; ++attempt) {
            dir_ = base / ("gridvane-test-" + std::to_string(stamp) + "-" + std::to_string(made++));
            if (std::filesystem::create_directory(dir_) || attempt > 100)
                break;
        }
    }
    ~TempFolder()
    {
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }
    TempFolder(const TempFolder &) = delete;
    TempFolder &operator=(const TempFolder &) = delete;

    std::string path(const std::string &name) const { return (dir_ / name).string(); }
    const std::filesystem::path &dir() const { return dir_; }

    std::string write(const std::string &name, const std::string &bytes) const
    {
        std::ofstream(path(name), std::ios::binary) << bytes;
        return path(name);
    }

    static std::string read(const std::string &p)
    {
        std::ifstream in(p, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), {}};
    }

    // The names in the folder, sorted: to see that no temporary file was left.
    std::vector<std::string> listing() const
    {
        std::vector<std::string> names;
        for (const auto &entry : std::filesystem::directory_iterator(dir_))
            names.push_back(entry.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }

private:
    std::filesystem::path dir_;
};

} // namespace gvtest
