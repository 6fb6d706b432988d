#include "large_memory.h"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <new>
#include <vector>

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
// Where blocks come from the heap (no large pages to ask for), they start aligned for any object.
[[maybe_unused]] constexpr std::size_t kHeapAlignment = alignof(std::max_align_t);

// A block of whole large pages, its own mapping, advised for large pages; from the heap where there are
// none to ask for (the page's build).
char* takeBlock(std::size_t bytes) {
#if defined(__linux__)
    // Mapped a large page longer than asked and trimmed to start on one.
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
#else
    return static_cast<char*>(::operator new (bytes, std::align_val_t{kHeapAlignment}));
#endif
}

void giveBlock(char* block, std::size_t bytes) {
#if defined(__linux__)
    munmap(block, bytes);
#else
    (void)bytes;
    ::operator delete (block, std::align_val_t{kHeapAlignment});
#endif
}

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

// Blocks taken front to back, each twice the one before (or as large as one allocation needs), all given
// back together.
class BulkMemory {
  public:
    BulkMemory() = default;
    BulkMemory(const BulkMemory&) = delete;
    BulkMemory& operator=(const BulkMemory&) = delete;
    ~BulkMemory() {
        for (const Block& b : blocks_)
            giveBlock(b.data, b.bytes);
    }

    void* take(std::size_t bytes, std::size_t alignment) {
        if (alignment == 0 || (alignment & (alignment - 1)) != 0 || alignment > kLargePage ||
            bytes > std::numeric_limits<std::size_t>::max() / 4)
            throw std::bad_alloc();
        if (void* room = takeFromLast(bytes, alignment)) return room;
        const std::size_t size = wholeLargePages(
            std::max(blocks_.empty() ? kFirstBulkBlock : blocks_.back().bytes * 2, bytes + alignment));
        blocks_.push_back({takeBlock(size), size});
        used_ = 0;
        return takeFromLast(bytes, alignment); // fits: the block is longer than the bytes and the alignment
    }

  private:
    struct Block {
        char* data;
        std::size_t bytes;
    };

    // Room in the last block at an address that is a multiple of `alignment`, or null.
    void* takeFromLast(std::size_t bytes, std::size_t alignment) {
        if (blocks_.empty()) return nullptr;
        const Block& block = blocks_.back();
        const auto start = reinterpret_cast<std::uintptr_t>(block.data);
        const std::size_t at =
            static_cast<std::size_t>((start + used_ + alignment - 1) / alignment * alignment - start);
        if (at > block.bytes || bytes > block.bytes - at) return nullptr;
        used_ = at + bytes;
        return block.data + at;
    }

    std::vector<Block> blocks_;
    std::size_t used_ = 0; // in the last block
};

std::shared_ptr<BulkMemory> makeBulkMemory() {
    return std::make_shared<BulkMemory>();
}

void* takeBulk(BulkMemory& memory, std::size_t bytes, std::size_t alignment) {
    return memory.take(bytes, alignment);
}
