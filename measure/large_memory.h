// Memory for the large buffers of the import and the measure: the captured ticks and the renders take
// tens of megabytes that are written once, front to back. Taken in pages of 4 KB, each page costs the
// kernel a fault on its first write; in large pages (2 MB, where the system grants them) the same memory
// costs a fault per 2 MB.
#pragma once

#include <cstddef>
#include <memory>
#include <type_traits>
#include <vector>

// Asks the system to back the whole large pages inside [data, data + bytes) with large pages as they are
// first written. Only advice: where it is not granted, nothing changes.
void adviseLargePages(void* data, std::size_t bytes);

// A vector's reserved room advised as above: for a buffer reserved whole and then filled.
template <typename T> void adviseLargePages(std::vector<T>& buffer) {
    adviseLargePages(buffer.data(), buffer.capacity() * sizeof(T));
}

// Memory handed out front to back from blocks of large pages, each block twice the one before, and given
// back all at once when the last owner lets go: for many small allocations that live as long as one
// another (the channels of every captured tick).
class BulkMemory;
std::shared_ptr<BulkMemory> makeBulkMemory();
void* takeBulk(BulkMemory& memory, std::size_t bytes, std::size_t alignment);

// An allocator that takes from bulk memory, or from the heap when it names none. Bulk memory is given
// back whole, never piece by piece: a container that holds some must not outlive its owner. A copy of a
// container takes its room from the heap.
template <typename T> struct BulkAllocator {
    using value_type = T;
    using propagate_on_container_move_assignment = std::true_type;
    using propagate_on_container_swap = std::true_type;

    BulkMemory* memory = nullptr; // the heap when null

    BulkAllocator() = default;
    explicit BulkAllocator(BulkMemory* bulk) : memory(bulk) {}
    template <typename U> BulkAllocator(const BulkAllocator<U>& other) : memory(other.memory) {}

    T* allocate(std::size_t n) {
        if (memory == nullptr) return std::allocator<T>().allocate(n);
        if (n > static_cast<std::size_t>(-1) / sizeof(T)) throw std::bad_alloc();
        return static_cast<T*>(takeBulk(*memory, n * sizeof(T), alignof(T)));
    }
    void deallocate(T* p, std::size_t n) {
        if (memory == nullptr) std::allocator<T>().deallocate(p, n);
    }
    BulkAllocator select_on_container_copy_construction() const { return {}; }

    template <typename U> bool operator==(const BulkAllocator<U>& other) const {
        return memory == other.memory;
    }
    template <typename U> bool operator!=(const BulkAllocator<U>& other) const {
        return memory != other.memory;
    }
};
