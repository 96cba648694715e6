// The one way into the module from Python: every slot, method and function
// body runs inside `guarded`, which keeps C++ exceptions from crossing into the
// interpreter.
#pragma once

#include "boundary/interrupt.hpp"
#include "boundary/panic.hpp"
#include "process/alloc.hpp"

#include <Python.h>

#include <new>
#include <stdexcept>
#include <type_traits>

namespace kelto::boundary {

/// Runs `body` as the boundary entry `entry`. `failure` is what the slot
/// returns with a Python exception set (nullptr for objects, -1 for setters).
/// A signal handler's exception kept by an interrupted write ends the call.
template <class Body, class R = std::invoke_result_t<Body>>
R guarded(const EntryName& entry, Body&& body, R failure) noexcept {
    R result = failure;
    try {
        result = body();
    } catch (const Panic& fault) {
        raise_panic(fault, entry);
    } catch (const std::bad_alloc&) {
        process::out_of_memory(0);
    } catch (const std::length_error& e) {
        // A value asked to grow past what it may hold: the caller's input is
        // too large, which Python reports as MemoryError.
        PyErr_SetString(PyExc_MemoryError, e.what());
    } catch (const std::exception& e) {
        raise_panic(Panic{e.what()}, entry);
    } catch (...) {
        raise_panic(Panic{"native code failed with an unknown C++ exception"}, entry);
    }
    return end_with_kept_interrupt(result, failure);
}

}  // namespace kelto::boundary
