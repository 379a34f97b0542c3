// The process-wide registry: a circular doubly linked list of tables in
// registration order (Head, Tail), the last handle issued, and an index from
// handle to table beside the list, so that lookups do not depend on the
// number of tables. Any number of threads may use it at once.
//
// How threads share it. Registering and freeing are rare and change the list
// and the index: they serialise on one lock. Lookups are what hosts do all
// the time (every sample starts with one), so a lookup first asks the calling
// thread's own small cache, which needs no lock and writes nothing shared;
// only a miss reads the index, under the lock's shared side. A cache entry
// keeps the record's serial number from when it was found; records are
// reused but never returned to the heap while the library runs, so the entry
// may always read the record's current serial and so tell whether the table
// is still the one it found. Freeing one table thus never slows lookups of
// the others. (Measured against a reader-writer lock on every lookup, which
// costs two atomic writes to one shared line per call and stops two threads
// from scaling; see the threads benchmark.)
#pragma once

#include "record.hpp"

#include "common/status.hpp"

#include <array>
#include <cstdint>

namespace gridvane_core::registry {

namespace detail {

struct CacheEntry {
    std::int32_t id;
    Record *table; // never null: an unused entry names a record no table holds
    std::uint64_t serial;
};

inline constexpr std::size_t cache_entries = 16; // a power of two

// The calling thread's recent lookups, one entry per handle modulo the size.
using LookupCache = std::array<CacheEntry, cache_entries>;
extern thread_local constinit LookupCache lookup_cache;

} // namespace detail

// The table with this handle from the index, under the lock's shared side,
// remembered in the calling thread's cache; or null.
Record *find_uncached(std::int32_t id);

// The table with this handle if the calling thread found it lately and it
// is still registered, else null.
[[gnu::always_inline]] inline Record *find_cached(std::int32_t id)
{
    const detail::CacheEntry &e = detail::lookup_cache[static_cast<std::uint32_t>(id) % detail::cache_entries];
    if (e.id == id && e.table->serial.load(std::memory_order_acquire) == e.serial)
        return e.table;
    return nullptr;
}

// The table with this handle, or null.
inline Record *find(std::int32_t id)
{
    if (Record *table = find_cached(id))
        return table;
    return find_uncached(id);
}

// Registers a table of the given type over storage and its column names,
// which the registry owns from now on, also when the registration fails
// (they are then released). The record's counts are the storage's, less the
// frame slot when flags has ARRAY_FRAME; a table without storage (another
// family) gets counts of 0. Gives the new record, or null with status
// NO_MEMORY and whether the registry was empty then (hosts of the 20
// functions see different messages).
struct Registered {
    Record *table = nullptr;
    bool registry_was_empty = false;
};
Registered register_table(std::int32_t type, std::uint32_t flags, const storage::Rows &storage,
                          const storage::Names &names, Status &status);

// Gives a table new column names, which the registry owns from now on, and
// releases the old ones; false (the new ones released) for an unknown
// handle.
bool set_names(std::int32_t id, const storage::Names &names);

// Frees the table with this handle if it has samples: false (nothing changed)
// for an unknown handle or a table of another family.
bool free_table(std::int32_t id);

// For tests and tools that walk the list; the list may change under a
// caller that walks it while other threads register or free tables.
ArrayNode *head();
ArrayNode *tail();
std::int32_t last_id();

// Test seams, for when no other thread uses the library: drop every table
// (whatever its type), give the reused records back to the heap and start
// the serial numbers again, as at load; move the handle counter, e.g. to
// just below the int32 limit.
void discard_all();
void set_last_id(std::int32_t id);
// Records kept for reuse: heap blocks that are neither tables nor leaks.
std::int64_t spare_records();

} // namespace gridvane_core::registry
