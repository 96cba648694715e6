// The instance layout every module class shares (object header, a borrow
// flag, one held value) and the operations on it: allocate, test, read,
// write, destroy. The held value is a class's payload, or for classes whose
// payloads are shared nodes, the holder of one node: one layout then serves
// all those classes. The held value comes last, so a class may give its
// objects more bytes after it (a basic size above sizeof(Instance)) for the
// held value's own use.
#pragma once

#include "boundary/borrow.hpp"
#include "boundary/panic.hpp"
#include "process/thread_identity.hpp"

#include <cstdint>
#include <format>
#include <memory>
#include <string_view>
#include <type_traits>
#include <utility>

namespace kelto::boundary {

/// Held types some of whose instances belong to the thread that made them
/// specialise this: `kBound` true, `bound(held)` telling which instances,
/// `type_path(held)` naming their class for the messages, and `owner(held)`
/// and `set_owner(held, id)` keeping the owner where the held value has room
/// for it (bound instances only).
template <class Payload>
struct ThreadAffinity {
    static constexpr bool kBound = false;
};

/// Every instance of a module class.
template <class Payload>
struct Instance {
    PyObject ob_base;
    BorrowFlag borrow;
    Payload payload;  // last: the class's extra bytes, if any, follow it
};

template <class Payload>
[[nodiscard]] inline Instance<Payload>& instance_cast(PyObject* self) noexcept {
    return *reinterpret_cast<Instance<Payload>*>(self);
}

/// For a thread-bound instance used on another thread: a panic ("... is
/// unsendable, but sent to another thread"). A no-op for other classes.
template <class Payload>
inline void check_owner(const Instance<Payload>& inst) {
    if constexpr (ThreadAffinity<Payload>::kBound) {
        using Affinity = ThreadAffinity<Payload>;
        if (Affinity::bound(inst.payload) && Affinity::owner(inst.payload) != process::thread_identity()) [[unlikely]]
            panic(std::format("{} is unsendable, but sent to another thread", Affinity::type_path(inst.payload)));
    }
}

/// Refuses an instance whose payload no constructor built. The classes are
/// immutable and their constructors always build one, so only a fault can
/// get here; but trusting zero-filled memory as a payload would crash.
[[noreturn, gnu::cold]] void panic_unbuilt(PyObject* self);

/// Every way into a payload passes here first: built, then (for a thread-bound
/// class) on its owner thread.
template <class Payload>
inline Instance<Payload>& checked_instance(PyObject* self) {
    auto& inst = instance_cast<Payload>(self);
    if (!inst.borrow.built()) [[unlikely]] panic_unbuilt(self);
    check_owner(inst);
    return inst;
}

/// True when `obj` is an instance of `cls` or of a subclass.
[[nodiscard]] inline bool is_instance(Borrowed obj, PyTypeObject* cls) noexcept {
    return PyObject_TypeCheck(obj.get(), cls) != 0;
}

/// Calls `read(const Payload&)` under a shared borrow of `obj`, which must be
/// an instance of the payload's class. Fails with "Already mutably borrowed".
template <class Payload, class Read>
[[nodiscard]] auto read_payload(Borrowed obj, Read&& read)
    -> Result<std::invoke_result_t<Read, const Payload&>> {
    auto& inst = checked_instance<Payload>(obj.get());
    auto borrow = SharedBorrow::take(inst.borrow);
    if (!borrow) return kFailed;
    return std::forward<Read>(read)(std::as_const(inst.payload));
}

/// read_payload for a reading that touches only what never changes once
/// built (a constraint's nodes, which copying and pickling read): allowed on
/// any thread, a thread-bound instance's too, as nothing it reads is the
/// owner's alone. Every other use keeps to read_payload.
template <class Payload, class Read>
[[nodiscard]] auto read_payload_on_any_thread(Borrowed obj, Read&& read)
    -> Result<std::invoke_result_t<Read, const Payload&>> {
    auto& inst = instance_cast<Payload>(obj.get());
    if (!inst.borrow.built()) [[unlikely]] panic_unbuilt(obj.get());
    auto borrow = SharedBorrow::take(inst.borrow);
    if (!borrow) return kFailed;
    return std::forward<Read>(read)(std::as_const(inst.payload));
}

/// Calls `write(Payload&)` under the exclusive borrow of `obj`. Fails with
/// "Already borrowed" while any borrow is active.
template <class Payload, class Write>
[[nodiscard]] Result<void> write_payload(Borrowed obj, Write&& write) {
    auto& inst = checked_instance<Payload>(obj.get());
    auto borrow = ExclusiveBorrow::take(inst.borrow);
    if (!borrow) return kFailed;
    std::forward<Write>(write)(inst.payload);
    return {};
}

/// A new instance of `cls` whose payload `construct(Payload*)` builds in the
/// raw memory it is given; a thread-bound one belongs to the calling thread.
template <class P, class Construct>
[[nodiscard, gnu::always_inline]] inline Result<Owned> construct_instance(PyTypeObject* cls, Construct&& construct) {
    // Our classes are never subclassed and never tracked by the collector, so
    // the generic allocation (zero the memory, consider GC) is not needed:
    // every member is constructed below. tp_free (PyObject_Free) pairs with it.
    auto* self = static_cast<PyObject*>(PyObject_Malloc(static_cast<std::size_t>(cls->tp_basicsize)));
    if (self == nullptr) {
        PyErr_NoMemory();
        return kFailed;
    }
    PyObject_Init(self, cls);  // also takes the reference a heap type's instance holds
    auto& inst = instance_cast<P>(self);
    try {
        std::forward<Construct>(construct)(&inst.payload);
    } catch (...) {
        cls->tp_free(self);  // no payload to destroy: skip the deallocator
        Py_DECREF(cls);
        throw;
    }
    std::construct_at(&inst.borrow);
    if constexpr (ThreadAffinity<P>::kBound) {
        // Read only for bound instances: the others leave it unset.
        if (ThreadAffinity<P>::bound(inst.payload)) ThreadAffinity<P>::set_owner(inst.payload, process::thread_identity());
    }
    return Owned::steal(self);
}

/// A new instance of `cls` whose payload is the value `make()` returns, built
/// in place (no intermediate moves of short strings).
template <class Make>
[[nodiscard]] Result<Owned> emplace_instance(PyTypeObject* cls, Make&& make) {
    using P = std::remove_cvref_t<std::invoke_result_t<Make>>;
    return construct_instance<P>(cls, [&](P* at) { ::new (static_cast<void*>(at)) P(std::forward<Make>(make)()); });
}

/// A new instance of `cls` taking over `payload`. On failure `payload` is
/// left to its owner.
template <class Payload>
[[nodiscard]] Result<Owned> new_instance(PyTypeObject* cls, Payload&& payload) {
    return emplace_instance(cls, [&]() -> std::remove_cvref_t<Payload> { return std::forward<Payload>(payload); });
}

/// Reports, through the interpreter's unraisable hook, that a thread-bound
/// instance is being dropped on a thread that does not own it.
[[gnu::cold]] void report_foreign_drop(std::string_view type_path) noexcept;

/// How a class's deallocator ends its payload: its destructor, unless the
/// class knows a shorter way (a constraint class knows its kind).
template <class Payload>
void destroy_payload(Payload& payload) noexcept {
    std::destroy_at(&payload);
}

/// tp_dealloc for every class: destroy the payload, free the object, release
/// the reference that a heap type's instance holds on its class. A class
/// whose instances are never bound to a thread passes `kMayBeBound = false`
/// and skips asking.
template <class Payload, void (*Destroy)(Payload&) noexcept = &destroy_payload<Payload>,
          bool kMayBeBound = ThreadAffinity<Payload>::kBound>
void dealloc(PyObject* self) noexcept {
    auto& inst = instance_cast<Payload>(self);
    PyTypeObject* cls = Py_TYPE(self);
    if (!inst.borrow.built()) [[unlikely]] {
        // Zero-filled memory that never held a payload: nothing to destroy.
        cls->tp_free(self);
        Py_DECREF(cls);
        return;
    }
    if constexpr (kMayBeBound) {
        // The payload is plain C++ data, safe to destroy on any thread that
        // holds the interpreter lock: it is reported, not leaked.
        using Affinity = ThreadAffinity<Payload>;
        if (Affinity::bound(inst.payload) && Affinity::owner(inst.payload) != process::thread_identity())
            report_foreign_drop(Affinity::type_path(inst.payload));
    }
    Destroy(inst.payload);
    std::destroy_at(&inst.borrow);
    cls->tp_free(self);
    Py_DECREF(cls);
}

}  // namespace kelto::boundary
