#include "registry.hpp"

#include "handle_index.hpp"
#include "host/heap.hpp"

#include <limits>
#include <new>

namespace gridvane::registry {

namespace {

struct State {
    ArrayNode *head = nullptr;
    ArrayNode *tail = nullptr;
    std::int32_t last_id = 0;
    HandleIndex index;
};

State the_state;

State &state() { return the_state; }

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

} // namespace

namespace detail {

ArrayNode *cursor = nullptr;

Table *find_beyond_cursor(std::int32_t id)
{
    State &s = state();
    Table *found = s.head == nullptr ? nullptr : s.index.find(id);
    cursor = found == nullptr ? nullptr : &found->node;
    return found;
}

} // namespace detail

Table *peek(std::int32_t id) { return state().index.find(id); }

bool empty() { return state().head == nullptr; }

Table *enroll()
{
    State &s = state();
    const std::int32_t id = s.head == nullptr ? 1 : next_handle(s);

    void *block = heap::allocate(sizeof(Table));
    if (block == nullptr)
        return nullptr;
    auto table = new (block) Table{};
    if (!s.index.insert(id, table)) {
        heap::release(block);
        return nullptr;
    }

    ArrayNode &node = table->node;
    node.id = id;
    node.flags = 0;
    if (s.head == nullptr) {
        node.prev = node.next = &node;
        s.head = s.tail = &node;
    } else {
        s.tail->next = &node;
        s.head->prev = &node;
        node.prev = s.tail;
        node.next = s.head;
        s.tail = &node;
    }
    s.last_id = id;
    detail::cursor = &node;
    return table;
}

void discard(Table *table)
{
    State &s = state();
    ArrayNode *node = &table->node;
    s.index.erase(node->id);
    table->free_rows();
    if (s.head == s.tail) {
        s.head = s.tail = detail::cursor = nullptr;
    } else {
        node->next->prev = node->prev;
        node->prev->next = node->next;
        if (node == s.head)
            s.head = node->next;
        if (node == s.tail)
            s.tail = node->prev;
        detail::cursor = s.head;
    }
    table->~Table();
    heap::release(table);
}

ArrayNode *head() { return state().head; }
ArrayNode *tail() { return state().tail; }
ArrayNode *current() { return detail::cursor; }
std::int32_t last_id() { return state().last_id; }

void discard_all()
{
    while (state().head != nullptr)
        discard(Table::of(state().head));
}

void set_last_id(std::int32_t id) { state().last_id = id; }

} // namespace gridvane::registry
