#include "large_memory.h"

#include <cstdint>
#include <limits>
#include <memory_resource>
#include <new>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace {

constexpr std::size_t kLargePage = std::size_t{2} << 20;
std::size_t wholeLargePages(std::size_t bytes) {
    return (bytes + kLargePage - 1) / kLargePage * kLargePage;
}

// The first block of bulk memory; each next one is twice as large. The first holds about two seconds of
// a 64-channel song's ticks.
constexpr std::size_t kFirstBulkBlock = kLargePage;

// Blocks of whole large pages, each its own mapping, advised for large pages and unmapped when given back.
class LargePageBlocks final : public std::pmr::memory_resource {
    void* do_allocate(std::size_t bytes, std::size_t alignment) override {
#if defined(__linux__)
        if (alignment <= kLargePage) {
            // Whole large pages, mapped a large page longer than asked and trimmed to start on one.
            if (bytes > std::numeric_limits<std::size_t>::max() / 2) throw std::bad_alloc();
            bytes = wholeLargePages(bytes);
            const std::size_t span = bytes + kLargePage;
            void* mapped = mmap(nullptr, span, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
            if (mapped == MAP_FAILED) throw std::bad_alloc();
            auto* raw = static_cast<char*>(mapped);
            const auto start = reinterpret_cast<std::uintptr_t>(raw);
            char* block = raw + ((kLargePage - start % kLargePage) % kLargePage);
            char* end = block + bytes;
            if (block > raw) munmap(raw, static_cast<std::size_t>(block - raw));
            if (raw + span > end) munmap(end, static_cast<std::size_t>(raw + span - end));
            adviseLargePages(block, bytes);
            return block;
        }
#endif
        return std::pmr::new_delete_resource()->allocate(bytes, alignment);
    }
    void do_deallocate(void* block, std::size_t bytes, std::size_t alignment) override {
#if defined(__linux__)
        if (alignment <= kLargePage) {
            munmap(block, wholeLargePages(bytes));
            return;
        }
#endif
        std::pmr::new_delete_resource()->deallocate(block, bytes, alignment);
    }
    bool do_is_equal(const std::pmr::memory_resource& other) const noexcept override {
        return this == &other;
    }
};

} // namespace

void adviseLargePages(void* data, std::size_t bytes) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    const auto start = reinterpret_cast<std::uintptr_t>(data);
    const std::uintptr_t first = (start + kLargePage - 1) / kLargePage * kLargePage;
    const std::uintptr_t end = (start + bytes) / kLargePage * kLargePage;
    if (data != nullptr && end > first)
        madvise(reinterpret_cast<void*>(first), end - first, MADV_HUGEPAGE); // advice: a refusal is harmless
#else
    (void)data, (void)bytes;
#endif
}

// The blocks first: they outlive the resource that takes from them.
class BulkMemory {
  public:
    BulkMemory() : front_(kFirstBulkBlock, &blocks_) {}
    void* take(std::size_t bytes, std::size_t alignment) { return front_.allocate(bytes, alignment); }

  private:
    LargePageBlocks blocks_;
    std::pmr::monotonic_buffer_resource front_;
};

std::shared_ptr<BulkMemory> makeBulkMemory() {
    return std::make_shared<BulkMemory>();
}

void* takeBulk(BulkMemory& memory, std::size_t bytes, std::size_t alignment) {
    return memory.take(bytes, alignment);
}
