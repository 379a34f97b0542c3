// Tens of thousands of tables allocated, loaded, sampled, saved and freed in
// random order, with the registry's invariants checked after every step and
// the heap back where it started at the end. GRIDVANE_SOAK_STEPS sets the
// length of the run.
#include "support.hpp"

#include <cstdlib>
#include <map>
#include <random>
#include <set>

namespace {

class Soak : public gvtest::RegistryTest {};

// The registry against the model of what should be in it.
void check_invariants(const std::map<int32_t, std::pair<float, float>> &model)
{
    const std::vector<int32_t> ids = gvtest::walk_registry(); // circular both ways
    ASSERT_EQ(ids.size(), model.size());
    std::set<int32_t> unique(ids.begin(), ids.end());
    ASSERT_EQ(unique.size(), ids.size());
    for (int32_t id : ids) {
        ASSERT_GT(id, 0);
        const auto it = model.find(id);
        ASSERT_NE(it, model.end()) << id;
        ASSERT_EQ(ArrayCountU(id), it->second.first);
        ASSERT_EQ(ArrayCountV(id), it->second.second);
    }
}

TEST_F(Soak, RandomLifecycles)
{
    const char *env = std::getenv("GRIDVANE_SOAK_STEPS");
    const long steps = env != nullptr ? std::atol(env) : 20000;
    const gvtest::TempFolder folder;
    const int64_t live_at_start = gvtest::blocks_in_use();

    std::mt19937 rng(1234);
    auto pick = [&](int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng); };
    std::map<int32_t, std::pair<float, float>> model;
    auto random_live = [&] {
        auto it = model.begin();
        std::advance(it, pick(static_cast<int>(model.size())));
        return it->first;
    };
    long tables = 0;

    for (long step = 0; step < steps; ++step) {
        const int op = model.empty() ? 0 : pick(model.size() > 400 ? 10 : 7);
        if (op == 0 || op == 1) { // allocate
            const int rows = 1 + pick(6), cols = 1 + pick(6);
            const int32_t id = ArrayAlloc(rows, cols);
            ASSERT_GT(id, 0);
            model[id] = {static_cast<float>(cols), static_cast<float>(rows)};
            ArrayPutIValue(id, pick(cols), pick(rows), static_cast<float>(step));
            ++tables;
        } else if (op == 2) { // save a table and load it back
            const int32_t id = random_live();
            const bool binary = pick(2) == 0;
            const std::string file = folder.path(binary ? "t.chb" : "t.chan");
            ASSERT_EQ(ArraySave(id, file.c_str(), 0), 0);
            const int32_t copy = ArrayLoad(file.c_str());
            ASSERT_GT(copy, 0);
            model[copy] = model[id];
            ++tables;
            const float u = std::uniform_real_distribution<float>(-1, 7)(rng);
            const float v = std::uniform_real_distribution<float>(-1, 7)(rng);
            ASSERT_EQ(ArrayGetValue(copy, u, v), ArrayGetValue(id, u, v));
        } else if (op == 3) { // sample
            const int32_t id = random_live();
            const float got = ArrayGetValue(id, std::uniform_real_distribution<float>(-2, 8)(rng), 0.5f);
            ASSERT_FALSE(std::isnan(got));
        } else { // free
            const int32_t id = random_live();
            ASSERT_EQ(ArrayFree(id), 0);
            model.erase(id);
        }
        check_invariants(model);
        if (HasFatalFailure())
            return;
    }
    while (!model.empty()) {
        ASSERT_EQ(ArrayFree(model.begin()->first), 0);
        model.erase(model.begin());
        check_invariants(model);
    }
    EXPECT_EQ(gvtest::blocks_in_use(), live_at_start) << "memory returns to its starting level";
    EXPECT_GE(tables, steps / 4);
    RecordProperty("tables", static_cast<int>(tables));
}

} // namespace
