// Many threads using the library at once: each runs a script of calls on
// tables of its own (allocate, fill, sample, save, load, read streams, free)
// while the others do the same. Every result that does not depend on handle
// numbers is recorded; the scripts are then run again one after another on
// one thread and must give the same records bit for bit. Handles are checked
// throughout (never 0 or negative, never given to two live tables), and the
// registry's list afterwards holds exactly the tables the scripts kept.
#include "support.hpp"

#include <bit>
#include <filesystem>
#include <mutex>
#include <random>
#include <set>
#include <thread>

namespace fs = std::filesystem;

namespace {

class Threads : public gvtest::RegistryTest {};

constexpr int thread_count = 4;

// The handles of live tables, across threads.
class LiveHandles {
public:
    void add(int32_t id)
    {
        std::lock_guard lock(mutex_);
        EXPECT_GT(id, 0);
        EXPECT_TRUE(ids_.insert(id).second) << "handle " << id << " given to two live tables";
    }
    void remove(int32_t id)
    {
        std::lock_guard lock(mutex_);
        EXPECT_EQ(ids_.erase(id), 1u) << id;
    }
    std::set<int32_t> ids() const
    {
        std::lock_guard lock(mutex_);
        return ids_;
    }

private:
    mutable std::mutex mutex_;
    std::set<int32_t> ids_;
};

class Script {
public:
    // The folder is made here, on the thread that makes the scripts: folders
    // made at once by several threads race on their common parent.
    Script(int seed, fs::path dir, LiveHandles &live) : rng_(seed), dir_(std::move(dir)), live_(live)
    {
        fs::create_directories(dir_);
    }

    // Runs the script; the tables it keeps stay registered.
    void run(int steps)
    {
        for (int step = 0; step < steps; ++step) {
            switch (pick(6)) {
            case 0:
            case 1: allocate_and_fill(); break;
            case 2: save_and_load(step); break;
            case 3: read_stream(); break;
            case 4: sample_all(); break;
            default: free_one(); break;
            }
        }
    }

    const std::vector<uint32_t> &results() const { return results_; }
    const std::vector<int32_t> &kept() const { return tables_; }

private:
    int pick(int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng_); }
    float coordinate(int count) { return std::uniform_real_distribution<float>(-2.0f, static_cast<float>(count) + 1.0f)(rng_); }
    void record(float f) { results_.push_back(std::bit_cast<uint32_t>(f)); }
    void record(int32_t i) { results_.push_back(static_cast<uint32_t>(i)); }

    int32_t enter(int32_t id)
    {
        live_.add(id);
        return id;
    }

    void sample(int32_t id)
    {
        const int u_count = static_cast<int>(ArrayCountU(id)), v_count = static_cast<int>(ArrayCountV(id));
        record(ArrayCountU(id));
        record(ArrayCountV(id));
        record(ArrayType(id));
        for (int i = 0; i < 8; ++i) {
            record(ArrayGetValue(id, coordinate(u_count), coordinate(v_count)));
            record(ArrayGetIValue(id, pick(u_count + 2) - 1, pick(v_count + 2) - 1));
        }
    }

    void allocate_and_fill()
    {
        const int rows = 1 + pick(30), cols = 1 + pick(30);
        const int32_t id = enter(ArrayAlloc(rows, cols));
        for (int i = 0; i < rows * cols / 2; ++i)
            record(ArrayPutIValue(id, pick(cols), pick(rows), std::normal_distribution<float>(0, 100)(rng_)));
        sample(id);
        tables_.push_back(id);
    }

    void sample_all()
    {
        for (int32_t id : tables_)
            sample(id);
    }

    void save_and_load(int step)
    {
        if (tables_.empty())
            return;
        const int32_t id = tables_[static_cast<size_t>(pick(static_cast<int>(tables_.size())))];
        const std::string name = (dir_ / ("t" + std::to_string(step) + (pick(2) ? ".chb" : ".txt"))).string();
        record(ArraySave(id, name.c_str(), 0));
        const int32_t back = enter(ArrayLoad(name.c_str()));
        sample(back);
        record(ArrayFree(back));
        live_.remove(back);
        std::error_code ignored; // nothing a thread may throw
        fs::remove(name, ignored);
    }

    // A table-form text gives a table with frames, a plain one a table
    // without; a flag one thread's read left must not reach another's.
    void read_stream()
    {
        const bool table_form = pick(2) == 0;
        std::string text = table_form ? "| a b\n----\n" : "";
        const int rows = 1 + pick(20);
        for (int r = 0; r < rows; ++r)
            text += (table_form ? std::to_string(r * 3 + pick(3)) + " | " : "") + std::to_string(pick(1000)) + " " +
                    std::to_string(pick(1000) - 500) + "\n";
        // A file of the script's own: the C runtime's tmpfile is not safe
        // from several threads everywhere.
        const std::string name = (dir_ / "stream.txt").string();
        FILE *f = std::fopen(name.c_str(), "w+b");
        ASSERT_NE(f, nullptr);
        std::fwrite(text.data(), 1, text.size(), f);
        std::rewind(f);
        ArrayNode *node = ArrayRead(f, CHAN_ASCII);
        std::fclose(f);
        ASSERT_NE(node, nullptr);
        const int32_t id = enter(node->id);
        record(static_cast<int32_t>(node->flags));
        EXPECT_EQ(node->flags, table_form ? ARRAY_FRAME : 0u);
        for (int i = 0; i < 4; ++i) {
            record(ArrayGetFrame(id, pick(rows + 1)));
            record(ArrayFrameGetV(id, pick(rows * 3 + 2)));
        }
        sample(id);
        tables_.push_back(id);
    }

    void free_one()
    {
        if (tables_.empty())
            return;
        const auto at = tables_.begin() + pick(static_cast<int>(tables_.size()));
        live_.remove(*at);
        record(ArrayFree(*at));
        tables_.erase(at);
    }

    std::mt19937 rng_;
    fs::path dir_;
    LiveHandles &live_;
    std::vector<uint32_t> results_;
    std::vector<int32_t> tables_;
};

TEST_F(Threads, ScriptsAtOnceMatchScriptsOneByOne)
{
    const gvtest::TempFolder folder;
    constexpr int steps = 300;
    LiveHandles live;
    std::vector<Script> scripts;
    for (int t = 0; t < thread_count; ++t)
        scripts.emplace_back(100 + t, folder.dir() / std::to_string(t), live);
    std::vector<std::thread> threads;
    for (auto &s : scripts)
        threads.emplace_back([&s] { s.run(steps); });
    for (auto &t : threads)
        t.join();

    std::set<int32_t> kept;
    for (const auto &s : scripts)
        kept.insert(s.kept().begin(), s.kept().end());
    EXPECT_EQ(live.ids(), kept);
    const std::vector<int32_t> listed = gvtest::walk_registry();
    EXPECT_EQ(std::set<int32_t>(listed.begin(), listed.end()), kept);
    EXPECT_EQ(listed.size(), kept.size());

    for (int t = 0; t < thread_count; ++t) {
        gridvane_core::registry::discard_all();
        LiveHandles alone_live;
        Script alone(100 + t, folder.dir() / std::to_string(t), alone_live);
        alone.run(steps);
        EXPECT_EQ(alone.results(), scripts[static_cast<size_t>(t)].results()) << "thread " << t;
    }
}

// Threads sampling one table whose record changed since it was last sampled
// all see the new bounds, and agree with a twin sampled on one thread.
TEST_F(Threads, SharedTableSampledAtOnceAfterItsRecordChanged)
{
    std::vector<std::vector<float>> rows(40, std::vector<float>(40));
    std::mt19937 rng(5);
    for (auto &row : rows)
        for (auto &x : row)
            x = std::uniform_real_distribution<float>(-1, 1)(rng);
    ArrayNode *twin = gvtest::register_rows(rows);
    ArrayNode *shared = gvtest::register_rows(rows);
    twin->countU = shared->countU = 25.0f;
    twin->countV = shared->countV = 12.5f;

    std::vector<std::pair<float, float>> points;
    std::vector<float> expected;
    for (int i = 0; i < 2000; ++i) {
        points.emplace_back(std::uniform_real_distribution<float>(-5, 45)(rng),
                            std::uniform_real_distribution<float>(-5, 45)(rng));
        expected.push_back(ArrayGetValue(twin->id, points.back().first, points.back().second));
    }
    std::vector<int> wrong(thread_count, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < thread_count; ++t)
        threads.emplace_back([&, t] {
            for (size_t i = 0; i < points.size(); ++i)
                wrong[static_cast<size_t>(t)] += std::bit_cast<uint32_t>(ArrayGetValue(
                                                     shared->id, points[i].first, points[i].second)) !=
                                                 std::bit_cast<uint32_t>(expected[i]);
        });
    for (auto &t : threads)
        t.join();
    EXPECT_EQ(wrong, std::vector<int>(thread_count, 0));
}

} // namespace
