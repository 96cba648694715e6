// Allocation of tree nodes. Every comparison and every property read copies
// a tree and frees another, so nodes come and go in the tens per call; small
// per-thread free lists, one per node size, make each a few instructions
// instead of a trip through malloc. A walk over a tree looks its thread's
// lists up once (`NodePools::local()`) and passes them along. Each list keeps
// at most kMaxKept blocks, so freeing a huge tree hands its memory back.
#pragma once

#include <array>
#include <cstddef>
#include <new>
#include <utility>

namespace kelto::package::constraint::detail {

#if defined(__SANITIZE_ADDRESS__)
#define KELTO_NODE_POOL 0  // let AddressSanitizer see every node's lifetime
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KELTO_NODE_POOL 0
#endif
#endif
#ifndef KELTO_NODE_POOL
#define KELTO_NODE_POOL 1
#endif

/// The largest node size the lists keep: a SpecOption node (two names and
/// the reference count).
inline constexpr std::size_t kLargestPooled = 72;

class NodePools {
public:
    /// The calling thread's lists.
    static NodePools& local() noexcept {
        thread_local NodePools pools;
        return pools;
    }

    template <std::size_t Size>
    void* allocate() {
        if constexpr (KELTO_NODE_POOL) {
            FreeList& list = lists_[size_class(Size)];
            if (Block* block = list.head) {
                list.head = block->next;
                --list.count;
                return block;
            }
        }
        return ::operator new(Size);
    }

    template <std::size_t Size>
    void deallocate(void* p) noexcept {
        if constexpr (KELTO_NODE_POOL) {
            FreeList& list = lists_[size_class(Size)];
            if (list.count < kMaxKept) {
                list.head = ::new (p) Block{list.head};
                ++list.count;
                return;
            }
        }
        ::operator delete(p);
    }

    NodePools() = default;
    NodePools(const NodePools&) = delete;
    NodePools& operator=(const NodePools&) = delete;
    ~NodePools() {
        for (FreeList& list : lists_) {
            while (Block* block = list.head) {
                list.head = block->next;
                ::operator delete(block);
            }
        }
    }

private:
    static constexpr std::size_t kMaxKept = 1024;
    static constexpr std::size_t kGranule = 8;
    static constexpr std::size_t kClasses = kLargestPooled / kGranule;  // 8, 16, ..., 72 bytes

    static constexpr std::size_t size_class(std::size_t size) noexcept {
        return (size + kGranule - 1) / kGranule - 1;
    }

    struct Block {
        Block* next;
    };
    struct FreeList {
        Block* head = nullptr;
        std::size_t count = 0;
    };
    std::array<FreeList, kClasses> lists_{};
};

/// Node types larger than the biggest class go straight to operator new.
template <class T>
constexpr bool fits_pool() noexcept {
    return sizeof(T) <= kLargestPooled && sizeof(T) >= sizeof(void*);
}

/// A new node holding `T{args...}`, from `pools`.
template <class T, class... Args>
T* make_node_in(NodePools& pools, Args&&... args) {
    static_assert(fits_pool<T>());
    void* memory = pools.allocate<sizeof(T)>();
    try {
        return ::new (memory) T{std::forward<Args>(args)...};
    } catch (...) {
        pools.deallocate<sizeof(T)>(memory);
        throw;
    }
}

template <class T, class... Args>
T* make_node(Args&&... args) {
    return make_node_in<T>(NodePools::local(), std::forward<Args>(args)...);
}

template <class T>
void free_node_in(NodePools& pools, T* node) noexcept {
    node->~T();
    pools.deallocate<sizeof(T)>(node);
}

template <class T>
void free_node(T* node) noexcept {
    free_node_in(NodePools::local(), node);
}

}  // namespace kelto::package::constraint::detail
