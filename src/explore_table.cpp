#include "explore_table.h"

#include <cstdlib>
#include <new>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace {

constexpr std::uint64_t huge_page = 2u << 20;

} // namespace

std::uint64_t huge_page_bytes(std::uint64_t bytes) {
#if defined(__linux__)
    return (bytes + huge_page - 1) / huge_page * huge_page;
#else
    return bytes;
#endif
}

void* allocate_in_huge_pages(std::uint64_t bytes) {
#if defined(__linux__)
    const std::uint64_t rounded = huge_page_bytes(bytes);
    void* memory = std::aligned_alloc(huge_page, rounded);
    if (memory == nullptr) {
        throw std::bad_alloc();
    }
    madvise(memory, rounded, MADV_HUGEPAGE); // a hint: without it the memory works the same
#else
    void* memory = std::malloc(bytes);
    if (memory == nullptr) {
        throw std::bad_alloc();
    }
#endif
    return memory;
}

namespace {

state_table::slot* allocate_slots(std::uint64_t count) {
    auto* slots =
        static_cast<state_table::slot*>(allocate_in_huge_pages(count * sizeof(state_table::slot)));
    for (std::uint64_t i = 0; i < count; ++i) {
        slots[i] = {0, 0, no_index};
    }
    return slots;
}

} // namespace

state_table::~state_table() {
    std::free(slots_);
}

void state_table::grow() {
    const std::uint64_t size = size_ == 0 ? 1u << 16 : size_ * 2;
    slot* slots = allocate_slots(size);
    const std::uint64_t mask = size - 1;
    for (std::uint64_t i = 0; i < size_; ++i) {
        const slot& s = slots_[i];
        if (s.index != no_index) {
            std::uint64_t at = hash({s.low, s.high}) & mask;
            while (slots[at].index != no_index) {
                at = (at + 1) & mask;
            }
            slots[at] = s;
        }
    }
    std::free(slots_);
    slots_ = slots;
    size_ = size;
}

std::uint32_t state_table::find_or_insert(const packed_state& s, std::uint64_t hash,
                                          std::uint32_t index) {
    const std::uint64_t mask = size_ - 1;
    for (std::uint64_t at = hash & mask;; at = (at + 1) & mask) {
        slot& here = slots_[at];
        if (here.index == no_index) {
            here.low = s.low;
            here.high = s.high;
            __atomic_store_n(&here.index, index, __ATOMIC_RELEASE);
            ++used_;
            return no_index;
        }
        if (here.low == s.low && here.high == s.high) {
            return here.index;
        }
    }
}

std::uint32_t state_table::find(const packed_state& s, std::uint64_t hash,
                                std::uint32_t visible) const {
    const std::uint64_t mask = size_ - 1;
    for (std::uint64_t at = hash & mask;; at = (at + 1) & mask) {
        const slot& here = slots_[at];
        const std::uint32_t index = __atomic_load_n(&here.index, __ATOMIC_ACQUIRE);
        if (index == no_index) {
            return no_index;
        }
        if (here.low == s.low && here.high == s.high) {
            return index < visible ? index : no_index;
        }
    }
}
