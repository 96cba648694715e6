// The C entry points that the interpreter calls, generated from a class's
// static descriptions and typed implementation functions. They do, in this
// order and in one place: enter the frame, bind arguments, take the borrow,
// convert arguments (adding the argument-name prefix to a TypeError), run
// the implementation, release everything, and map C++ failures to Python.
#pragma once

#include "boundary/call.hpp"
#include "boundary/derived_texts.hpp"
#include "boundary/convert.hpp"
#include "boundary/instance.hpp"
#include "boundary/type.hpp"

#include <algorithm>
#include <array>
#include <optional>
#include <span>
#include <vector>
#include <tuple>
#include <type_traits>
#include <utility>

namespace kelto::boundary {

namespace detail {

template <class F>
struct FnTraits;
template <class R, class First, class... Rest>
struct FnTraits<R (*)(First, Rest...)> {
    using Receiver = std::remove_cvref_t<First>;
    using Args = std::tuple<std::remove_cvref_t<Rest>...>;
};

template <class T, std::size_t I>
bool convert_one(std::string_view param, PyObject* slot, std::optional<T>& out) {
    auto value = Converter<T>::convert(slot);
    if (!value) [[unlikely]] {
        prefix_argument_error(param);
        return false;
    }
    out.emplace(std::move(*value));
    return true;
}

/// Converts `slots` in parameter order into `Args` and calls `f` with them;
/// the first failure stops, releasing what was converted so far.
template <const Signature& Sig, class Args, class F, std::size_t... I>
Result<Owned> call_converted(PyObject* const* slots, F&& f, std::index_sequence<I...>) {
    std::tuple<std::optional<std::tuple_element_t<I, Args>>...> values;
    const bool converted =
        (convert_one<std::tuple_element_t<I, Args>, I>(Sig.params[I].name, slots[I], std::get<I>(values)) && ...);
    if (!converted) return kFailed;
    return f(std::move(*std::get<I>(values))...);
}

}  // namespace detail

/// `__new__` of a class, from its signature and `Result<Owned> impl(PyTypeObject* cls, Args...)`.
/// A signature that collects extra keywords passes them last, as a
/// `std::span<const ExtraKeyword>`, after every named argument was converted.
/// Offers both the vectorcall entry (what `Cls(...)` uses) and tp_new (what
/// `Cls.__new__(Cls, ...)` uses); they share the binder.
template <const Signature& Sig, auto Impl>
struct Constructor {
    static_assert(well_formed(Sig));
    using Args = typename detail::FnTraits<decltype(Impl)>::Args;
    static constexpr bool kExtra = Sig.extra_keywords;
    static constexpr std::size_t kArity = std::tuple_size_v<Args> - (kExtra ? 1 : 0);
    static_assert(kArity == Sig.params.size(), "one implementation argument per parameter");

    static PyObject* vectorcall(PyObject* cls, PyObject* const* args, std::size_t nargsf,
                                PyObject* kwnames) noexcept {
        return guarded(kEntry, [&]() -> PyObject* {
            const auto nargs = static_cast<std::size_t>(PyVectorcall_NARGS(nargsf));
            // The common call passes every parameter by position: nothing to bind.
            if (kwnames == nullptr && nargs == kArity) return run(reinterpret_cast<PyTypeObject*>(cls), args, {});
            std::array<PyObject*, kArity> slots{};
            std::vector<ExtraKeyword> extra;
            BoundArgs bound{slots, kExtra ? &extra : nullptr};
            if (!bind_vectorcall(Sig, args, nargs, kwnames, bound)) return nullptr;
            return run(reinterpret_cast<PyTypeObject*>(cls), slots.data(), extra);
        }, static_cast<PyObject*>(nullptr));
    }

    static PyObject* new_(PyTypeObject* cls, PyObject* args, PyObject* kwargs) noexcept {
        return guarded(kEntry, [&]() -> PyObject* {
            std::array<PyObject*, kArity> slots{};
            std::vector<ExtraKeyword> extra;
            BoundArgs bound{slots, kExtra ? &extra : nullptr};
            if (!bind_tuple_dict(Sig, args, kwargs, bound)) return nullptr;
            // `Cls.__new__(Cls, **kw)` may bind from a dict that Python code run
            // by a conversion can reach and empty: hold every argument ourselves
            // for the whole call. (Binding itself runs no Python code.)
            std::array<Owned, kArity> held;
            for (std::size_t i = 0; i < kArity; ++i) held[i] = Owned::borrow(slots[i]);
            std::vector<Owned> held_extra;
            held_extra.reserve(2 * extra.size());
            for (const ExtraKeyword& keyword : extra) {
                held_extra.push_back(Owned::borrow(keyword.name));
                held_extra.push_back(Owned::borrow(keyword.value));
            }
            return run(cls, slots.data(), extra);
        }, static_cast<PyObject*>(nullptr));
    }

private:
    // Static, so that entering the call stores nothing: only a failure reads it.
    static constexpr EntryName kEntry{Sig.owner, Sig.name};

    static PyObject* run(PyTypeObject* cls, PyObject* const* slots, std::span<const ExtraKeyword> extra) {
        auto call = [&](auto&&... values) {  // `extra` is used only with **kwargs
            if constexpr (kExtra)
                return Impl(cls, std::forward<decltype(values)>(values)..., extra);
            else
                return Impl(cls, std::forward<decltype(values)>(values)...);
        };
        return release_or_null(
            detail::call_converted<Sig, Args>(slots, call, std::make_index_sequence<kArity>{}));
    }
};

/// A method `Result<Owned> impl(const Payload& self, Args...)`: the receiver
/// is borrowed shared before the arguments are converted.
template <const Signature& Sig, auto Impl>
struct Method {
    static_assert(well_formed(Sig));
    using Payload = typename detail::FnTraits<decltype(Impl)>::Receiver;
    using Args = typename detail::FnTraits<decltype(Impl)>::Args;
    static constexpr std::size_t kArity = std::tuple_size_v<Args>;
    static_assert(kArity == Sig.params.size(), "one implementation argument per parameter");

    static PyObject* call(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) noexcept {
        static constexpr EntryName kEntry{Sig.owner, Sig.name};
        return guarded(kEntry, [&]() -> PyObject* {
            std::array<PyObject*, kArity> slots{};
            BoundArgs bound{slots};
            if (!bind_vectorcall(Sig, args, static_cast<std::size_t>(nargs), kwnames, bound)) return nullptr;
            auto result = read_payload<Payload>(self, [&](const Payload& payload) {
                auto call = [&payload](auto&&... values) {
                    return Impl(payload, std::forward<decltype(values)>(values)...);
                };
                return detail::call_converted<Sig, Args>(slots.data(), call, std::make_index_sequence<kArity>{});
            });
            return result ? release_or_null(*std::move(result)) : nullptr;
        }, static_cast<PyObject*>(nullptr));
    }
};

/// A reading slot `Result<Owned> impl(const Payload&)` under a shared borrow:
/// __repr__, __str__, __int__ (`text`) and property getters (`get`); `Name`
/// is the slot's or the property's name.
template <auto Impl, FixedString Name>
struct Reader {
    using Payload = std::remove_cvref_t<typename detail::FnTraits<decltype(Impl)>::Receiver>;

    static PyObject* text(PyObject* self) noexcept { return read(self); }
    static PyObject* get(PyObject* self, void*) noexcept { return read(self); }

private:
    static PyObject* read(PyObject* self) noexcept {
        return guarded({{}, Name.view(), self}, [&]() -> PyObject* {
            auto result = read_payload<Payload>(self, Impl);
            return result ? release_or_null(*std::move(result)) : nullptr;
        }, static_cast<PyObject*>(nullptr));
    }
};

/// A property setter `void impl(Payload&, Value&&)`. Deletion is refused
/// first; the value is converted before the exclusive borrow is taken, so a
/// conversion that reads this same object sees it unchanged and conflicts
/// with nothing.
template <FixedString Name, auto Impl>
struct Writer {
    using Payload = typename detail::FnTraits<decltype(Impl)>::Receiver;
    using Value = std::tuple_element_t<0, typename detail::FnTraits<decltype(Impl)>::Args>;

    static int set(PyObject* self, PyObject* value, void*) noexcept {
        return guarded({{}, Name.view(), self}, [&]() -> int {
            if (value == nullptr) {
                raise_cant_delete();
                return -1;
            }
            auto converted = Converter<Value>::convert(value);
            if (!converted) {
                prefix_argument_error(Name.view());
                return -1;
            }
            auto written = write_payload<Payload>(
                self, [&](Payload& payload) { Impl(payload, std::move(*converted)); });
            return written ? 0 : -1;
        }, -1);
    }
};

/// A module function `Result<Owned> impl()`. Module functions take no
/// arguments, so the interpreter itself refuses any (METH_NOARGS).
template <const Signature& Sig, auto Impl>
struct Function {
    static_assert(well_formed(Sig) && Sig.params.empty() && Sig.owner.empty());

    static PyObject* call(PyObject*, PyObject*) noexcept {
        return guarded({{}, Sig.name}, [] { return release_or_null(Impl()); }, static_cast<PyObject*>(nullptr));
    }
    static inline PyMethodDef def{Sig.name.data(), &call, METH_NOARGS, kFunctionDoc<Sig>};
};

/// A module function of one positional-only argument, `Result<Owned>
/// impl(T)`, for the module's own plumbing (what copyreg and unpicklers
/// call): it has no introspection record, and its docstring is its signature
/// line and `Doc`.
template <const Signature& Sig, auto Impl, FixedString Doc>
struct UnaryFunction {
    static_assert(well_formed(Sig) && Sig.owner.empty() && Sig.params.size() == 1 && Sig.required == 1 &&
                  Sig.positional_only);
    using Arg = typename detail::FnTraits<decltype(Impl)>::Receiver;

    static PyObject* call(PyObject*, PyObject* arg) noexcept {
        return guarded({{}, Sig.name}, [&]() -> PyObject* {
            auto value = Converter<Arg>::convert(arg);
            if (!value) {
                prefix_argument_error(Sig.params[0].name);
                return nullptr;
            }
            return release_or_null(Impl(*std::move(value)));
        }, static_cast<PyObject*>(nullptr));
    }
    static inline PyMethodDef def{Sig.name.data(), &call, METH_O, kFunctionDoc<Sig, Doc>};
};

// ---------------------------------------------------------------- table entries

/// The constructor entry of a ClassSpec.
template <const Signature& Sig, auto Impl>
consteval ConstructorSpec constructor() {
    using Entry = Constructor<Sig, Impl>;
    return {&Sig, &Entry::new_, &Entry::vectorcall};
}

/// A method entry; its docstring is its signature line and `Doc`.
template <const Signature& Sig, auto Impl, FixedString Doc = "">
consteval MethodSpec method() {
    return {&Sig, &Method<Sig, Impl>::call, kMethodDoc<Sig, Doc>};
}

/// The part of a class's description that its payload and constructor
/// determine: name, type name and docstring (from the constructor's
/// signature, then `Doc`), size, deallocation and the constructor itself.
template <class Payload, const Signature& New, auto Impl, FixedString Doc = "">
consteval ClassSpec class_spec() {
    return {.name = New.owner,
            .qualified_name = kQualifiedNameOf<New>,
            .doc = kClassDoc<New, Doc>,
            .basic_size = static_cast<int>(sizeof(Instance<Payload>)),
            .dealloc = &dealloc<Payload>,
            .constructor = constructor<New, Impl>()};
}

/// The same for a class that Python cannot instantiate: no constructor, no docstring.
template <class Payload, FixedString Name>
consteval ClassSpec class_spec() {
    return {.name = Name.view(),
            .qualified_name = kQualifiedName<Name>,
            .doc = nullptr,
            .basic_size = static_cast<int>(sizeof(Instance<Payload>)),
            .dealloc = &dealloc<Payload>};
}

/// A property entry readable through `Get` and, unless it is null, assignable through `Set`.
template <FixedString Name, auto Get, auto Set = nullptr>
consteval PropertySpec property(std::string_view annotation) {
    if constexpr (std::is_null_pointer_v<decltype(Set)>)
        return {Name.text, annotation, &Reader<Get, Name>::get, nullptr};
    else
        return {Name.text, annotation, &Reader<Get, Name>::get, &Writer<Name, Set>::set};
}

}  // namespace kelto::boundary
