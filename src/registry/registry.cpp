#include "registry.hpp"

#include "handle_index.hpp"
#include "common/heap.hpp"
#include "bounds.hpp"

#include <array>
#include <cstdint>
#include <limits>
#include <utility>
#include <mutex>
#include <new>
#include <shared_mutex>

namespace gridvane_core::registry {

namespace detail {

namespace {
// What unused cache entries point at: its serial stays 0, which no entry
// expects, so they never match.
Record unused_record;
constexpr CacheEntry unused_entry{0, &unused_record, 1};

template <std::size_t... I> constexpr std::array<CacheEntry, sizeof...(I)> unused_entries(std::index_sequence<I...>)
{
    return {((void)I, unused_entry)...};
}
} // namespace

thread_local constinit LookupCache lookup_cache = unused_entries(std::make_index_sequence<cache_entries>{});

} // namespace detail

namespace {

struct State {
    std::shared_mutex lock; // exclusive: registering, freeing; shared: a lookup the cache missed
    ArrayNode *head = nullptr;
    ArrayNode *tail = nullptr;
    std::int32_t last_id = 0;
    std::uint64_t serials = 0; // serial numbers issued, one per registration
    HandleIndex index;
    Record *spare = nullptr; // records of freed tables, for reuse; linked through node.next
    std::int64_t spares = 0;
};

State the_state;

State &state() { return the_state; }

void remember(Record *table, std::int32_t id, std::uint64_t serial)
{
    detail::lookup_cache[static_cast<std::uint32_t>(id) % detail::cache_entries] = {id, table, serial};
}

// The handle after last_id. Past the int32 limit the count starts again at 1
// and steps over handles still in use, so a live handle is never repeated and
// none is ever 0 or negative.
std::int32_t next_handle(const State &s)
{
    std::int32_t id = s.last_id;
    do
        id = id == std::numeric_limits<std::int32_t>::max() || id < 1 ? 1 : id + 1;
    while (s.index.find(id) != nullptr);
    return id;
}

// A new record on lines of its own (heap blocks are only 16-byte aligned):
// the block starts up to a line before it, and the byte before the record
// says how far.
Record *allocate_record()
{
    constexpr std::size_t line = alignof(Record);
    auto *block = static_cast<unsigned char *>(heap::allocate(sizeof(Record) + line));
    if (block == nullptr)
        return nullptr;
    const std::size_t offset = line - reinterpret_cast<std::uintptr_t>(block) % line; // 1 .. line
    block[offset - 1] = static_cast<unsigned char>(offset);
    return new (block + offset) Record{};
}

void release_record(Record *table)
{
    table->~Record();
    auto *start = reinterpret_cast<unsigned char *>(table);
    heap::release(start - start[-1]);
}

Record *take_spare(State &s)
{
    Record *table = s.spare;
    if (table != nullptr) {
        s.spare = Record::of(table->node.next);
        --s.spares;
    }
    return table;
}

// A record for a registration: a spare one, or a new block (null when memory
// runs out). fresh tells which, for giving it back.
Record *obtain_record(State &s, bool &fresh)
{
    Record *table = take_spare(s);
    fresh = table == nullptr;
    return fresh ? allocate_record() : table;
}

// A record no registration holds. One that was never registered can go back
// to the heap: no thread can have found it.
void give_back_record(State &s, Record *table, bool fresh)
{
    if (fresh) {
        release_record(table);
        return;
    }
    table->node.next = s.spare == nullptr ? nullptr : &s.spare->node;
    s.spare = table;
    ++s.spares;
}

void link_last(State &s, ArrayNode &node)
{
    if (s.head == nullptr) {
        node.prev = node.next = &node;
        s.head = s.tail = &node;
        return;
    }
    s.tail->next = &node;
    s.head->prev = &node;
    node.prev = s.tail;
    node.next = s.head;
    s.tail = &node;
}

void unlink(State &s, ArrayNode &node)
{
    if (s.head == s.tail) {
        s.head = s.tail = nullptr;
        return;
    }
    node.next->prev = node.prev;
    node.prev->next = node.next;
    if (&node == s.head)
        s.head = node.next;
    if (&node == s.tail)
        s.tail = node.prev;
}

// What a table held, for its caller to release outside the lock.
struct Held {
    storage::Rows storage;
    storage::Names names;
    void release() const
    {
        storage::release_rows(storage);
        storage::release_names(names);
    }
};

// Takes a registered table out of the list and the index; its record becomes
// spare and what it held is the caller's to release.
Held retire(State &s, Record &table)
{
    table.serial.store(0, std::memory_order_release);
    s.index.erase(table.node.id);
    unlink(s, table.node);
    const Held held{table.storage, table.names};
    table.storage = storage::Rows{};
    table.names = storage::Names{};
    give_back_record(s, &table, false);
    return held;
}

} // namespace

Record *find_uncached(std::int32_t id)
{
    State &s = state();
    std::shared_lock lock(s.lock);
    Record *found = s.index.find(id);
    if (found != nullptr)
        remember(found, id, found->serial.load(std::memory_order_relaxed));
    return found;
}

Registered register_table(std::int32_t type, std::uint32_t flags, const storage::Rows &storage,
                          const storage::Names &names, Status &status)
{
    State &s = state();
    std::unique_lock lock(s.lock);
    const bool was_empty = s.head == nullptr;
    const std::int32_t id = was_empty ? 1 : next_handle(s);
    bool fresh = false;
    Record *table = obtain_record(s, fresh);
    if (table != nullptr && !s.index.insert(id, table)) {
        give_back_record(s, table, fresh);
        table = nullptr;
    }
    if (table == nullptr) {
        lock.unlock();
        Held{storage, names}.release();
        status = failure(GRIDVANE_E_NO_MEMORY, ENOMEM);
        return {nullptr, was_empty};
    }

    ArrayNode &node = table->node;
    node.id = id;
    node.type = type;
    node.flags = flags;
    node.rows = storage.index;
    const bool frame = (flags & ARRAY_FRAME) != 0;
    node.countU = storage.index == nullptr ? 0.0f : static_cast<float>(storage.width - (frame ? 1 : 0));
    node.countV = storage.index == nullptr ? 0.0f : static_cast<float>(storage.count);
    table->storage = storage;
    table->names = names;
    link_last(s, node);
    publish_bounds(*table, bounds_for(*table));
    const std::uint64_t serial = ++s.serials;
    table->serial.store(serial, std::memory_order_release);
    s.last_id = id;
    lock.unlock();
    remember(table, id, serial);
    status = ok_status();
    return {table, false};
}

bool free_table(std::int32_t id)
{
    State &s = state();
    Held held;
    {
        std::unique_lock lock(s.lock);
        Record *table = s.index.find(id);
        if (table == nullptr || !table->has_sample_type())
            return false;
        held = retire(s, *table);
    }
    held.release();
    return true;
}

bool set_names(std::int32_t id, const storage::Names &names)
{
    State &s = state();
    storage::Names old = names; // an unknown handle's new names go
    bool found = false;
    {
        std::unique_lock lock(s.lock);
        if (Record *table = s.index.find(id)) {
            old = table->names;
            table->names = names;
            found = true;
        }
    }
    storage::release_names(old);
    return found;
}

ArrayNode *head() { return state().head; }
ArrayNode *tail() { return state().tail; }
std::int32_t last_id() { return state().last_id; }

void discard_all()
{
    State &s = state();
    std::unique_lock lock(s.lock);
    while (s.head != nullptr)
        retire(s, *Record::of(s.head)).release();
    while (Record *table = take_spare(s))
        release_record(table);
    detail::lookup_cache.fill(detail::unused_entry);
    // As after the library's load: the first record registered next gets
    // serial 1, as the very first one of a process does.
    s.serials = 0;
}

std::int64_t spare_records()
{
    State &s = state();
    std::shared_lock lock(s.lock);
    return s.spares;
}

void set_last_id(std::int32_t id)
{
    State &s = state();
    std::unique_lock lock(s.lock);
    s.last_id = id;
}

} // namespace gridvane_core::registry
