// Allocation of tree nodes. Every constraint object made from Python makes a
// node, and programs build and drop objects by the tens of thousands (one
// outline per package of an index); per-thread free lists, one per node
// size, make each allocation a few instructions instead of a trip through
// malloc, which costs more than the rest of building a Depends. A walk over a
// tree looks its thread's lists up once (`NodePools::local()`) and passes them
// along. Each list keeps at most kMaxKept blocks (about a megabyte for a
// Depends node), so freeing a huge tree hands most of its memory back. The
// tree gives the largest node size (tree.hpp), so every node has a list.
#pragma once

#include <array>
#include <cstddef>
#include <new>
#include <utility>

namespace kelto::package::constraint::detail {

// Under AddressSanitizer a block on a free list is poisoned, so a node used
// after its last reference went away is reported as it would be without the pool.
#if defined(__SANITIZE_ADDRESS__)
#define KELTO_POISON_FREED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KELTO_POISON_FREED 1
#endif
#endif
#ifdef KELTO_POISON_FREED
#include <sanitizer/asan_interface.h>
#define KELTO_POISON(p, size) ASAN_POISON_MEMORY_REGION((p), (size))
#define KELTO_UNPOISON(p, size) ASAN_UNPOISON_MEMORY_REGION((p), (size))
#else
#define KELTO_POISON(p, size) ((void)(p), (void)(size))
#define KELTO_UNPOISON(p, size) ((void)(p), (void)(size))
#endif

/// Free lists for blocks of 8, 16, ... up to `Largest` bytes.
template <std::size_t Largest>
class NodePools {
public:
    /// The calling thread's lists.
    static NodePools& local() noexcept {
        thread_local NodePools pools;
        return pools;
    }

    /// True for the sizes that have a list.
    template <std::size_t Size>
    static constexpr bool kFits = Size >= sizeof(void*) && Size <= Largest;

    template <std::size_t Size>
    void* allocate() {
        if (void* block = lists_[size_class(Size)].pop()) {
            KELTO_UNPOISON(block, kBlockSize<Size>);
            return block;
        }
        return ::operator new(kBlockSize<Size>);
    }

    template <std::size_t Size>
    void deallocate(void* p) noexcept {
        if (lists_[size_class(Size)].push(p)) {
            KELTO_POISON(p, kBlockSize<Size>);
            return;
        }
        ::operator delete(p);
    }

    NodePools() = default;
    NodePools(const NodePools&) = delete;
    NodePools& operator=(const NodePools&) = delete;
    ~NodePools() {
        for (FreeList& list : lists_) {
            while (void* block = list.pop()) ::operator delete(block);
        }
    }

private:
    static constexpr std::size_t kMaxKept = std::size_t{1} << 15;
    static constexpr std::size_t kGranule = 8;
    static constexpr std::size_t kClasses = (Largest + kGranule - 1) / kGranule;  // 8, 16, ... bytes

    static constexpr std::size_t size_class(std::size_t size) noexcept {
        return (size + kGranule - 1) / kGranule - 1;
    }
    /// Every block of a class has the class's full size, so a block freed by
    /// one node size can serve any other size of its class.
    template <std::size_t Size>
    static constexpr std::size_t kBlockSize = (size_class(Size) + 1) * kGranule;

#ifdef KELTO_POISON_FREED
    /// The blocks of a class, listed beside them: a block waiting here is
    /// poisoned whole, and the leak check does not follow pointers through
    /// poisoned memory.
    class FreeList {
    public:
        void* pop() noexcept {
            if (count_ == 0) return nullptr;
            return blocks_[--count_];
        }
        bool push(void* block) noexcept {
            if (count_ == blocks_.size()) return false;
            blocks_[count_++] = block;
            return true;
        }

    private:
        // Fewer than without the sanitizer: the lists live inline in thread
        // storage, and a sanitized build is not for speed.
        std::array<void*, 1024> blocks_;
        std::size_t count_ = 0;
    };
#else
    /// The blocks of a class, linked through their own first word.
    class FreeList {
    public:
        void* pop() noexcept {
            Block* block = head_;
            if (block != nullptr) {
                head_ = block->next;
                --count_;
            }
            return block;
        }
        bool push(void* block) noexcept {
            if (count_ == kMaxKept) return false;
            head_ = ::new (block) Block{head_};
            ++count_;
            return true;
        }

    private:
        struct Block {
            Block* next;
        };
        Block* head_ = nullptr;
        std::size_t count_ = 0;
    };
#endif
    std::array<FreeList, kClasses> lists_{};
};

/// A new node holding `T{args...}`, from `pools`.
template <class T, class Pools, class... Args>
T* make_node(Pools& pools, Args&&... args) {
    static_assert(Pools::template kFits<sizeof(T)>, "every node size has a list");
    void* memory = pools.template allocate<sizeof(T)>();
    try {
        return ::new (memory) T{std::forward<Args>(args)...};
    } catch (...) {
        pools.template deallocate<sizeof(T)>(memory);
        throw;
    }
}

template <class T, class Pools>
void free_node(Pools& pools, T* node) noexcept {
    node->~T();
    pools.template deallocate<sizeof(T)>(node);
}

}  // namespace kelto::package::constraint::detail
