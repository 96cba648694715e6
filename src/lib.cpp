// The module entry: PyInit_kelto, the module body that builds the submodule
// tree, and the two module functions init_tracing() and main_entry().
#include "boundary/call.hpp"
#include "boundary/interrupt.hpp"
#include "boundary/module.hpp"
#include "boundary/trampoline.hpp"
#include "process/stdout.hpp"
#include "process/logging.hpp"
#include "surface.hpp"
#include "package/constraint/classes_py.hpp"
#include "package/constraint/cmp_type_py.hpp"
#include "package/outline/outline_py.hpp"
#include "package/packed/packed_py.hpp"
#include "package/version/version_py.hpp"

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <format>
#include <mutex>
#include <memory>
#include <thread>

#include <pthread.h>

namespace kelto {
namespace {

using boundary::Borrowed;
using boundary::Owned;
using boundary::Result;

// ---------------------------------------------------------------- functions

constexpr process::Callsite kTracingActivated{process::Level::Warn, "kelto", "lib", 100};

Result<Owned> init_tracing() {
    if (process::install_subscriber() == process::InstallResult::AlreadySet)
        boundary::panic("Failed to set subscriber: SetGlobalDefaultError(\"a global default "
                        "trace dispatcher has already been set\")");
    process::emit(kTracingActivated, [] { return std::string_view{"tracing activated"}; });
    return boundary::none();
}

Result<Owned> main_entry() {
    // An interrupted write ends the call with the signal handler's exception.
    if (const int error = process::write_stdout("kelto entrypoint\n"); error != 0 && error != EINTR)
        boundary::panic(std::format("failed printing to stdout: {}", std::strerror(error)));
    return boundary::none();
}

constexpr boundary::Signature kInitTracing{.name = "init_tracing"};
constexpr boundary::Signature kMainEntry{.name = "main_entry", .returns = "typing.Any", .stub_returns = "None"};

// ---------------------------------------------------------------- surface

// What Python sees, in the order the body adds it. The introspection records
// and the type stubs are generated from this same list.
boundary::ClassObject* const kOutlineClasses[] = {&package::outline::package_outline_class};
boundary::ClassObject* const kConstraintClasses[] = {
    &package::constraint::cmp_class,         &package::constraint::cmp_type_class,
    &package::constraint::depends_class,     &package::constraint::if_then_class,
    &package::constraint::maximize_class,    &package::constraint::minimize_class,
    &package::constraint::num_of_class,      &package::constraint::spec_option_class,
    &package::constraint::value_class};
boundary::ClassObject* const kVersionClasses[] = {&package::version::version_class};

const Submodule kSubmodules[] = {
    {"outline", "kelto.package.outline", kOutlineClasses},
    {"constraint", "kelto.package.constraint", kConstraintClasses},
    {"version", "kelto.package.version", kVersionClasses},
};
const ModuleFunction kFunctions[] = {
    {&boundary::Function<kInitTracing, &init_tracing>::def, &kInitTracing},
    {&boundary::Function<kMainEntry, &main_entry>::def, &kMainEntry},
};
const ModuleSurface kSurface{kSubmodules, kFunctions};

// ---------------------------------------------------------------- module body

Result<void> add_package_submodule(Borrowed package, const Submodule& submodule) {
    auto module = boundary::create_module(submodule.name);
    if (!module) return boundary::kFailed;
    for (boundary::ClassObject* cls : submodule.classes)
        if (auto r = boundary::add_class(*module, *cls); !r) return r;
    return boundary::add_submodule(package, *module, submodule.key);
}

Result<void> module_body(Borrowed root) {
    auto package = boundary::create_module("package");
    if (!package) return boundary::kFailed;
    for (const Submodule& submodule : kSurface.submodules)
        if (auto r = add_package_submodule(*package, submodule); !r) return r;
    if (auto r = boundary::add_submodule(root, *package, "kelto.package"); !r) return r;
    for (const ModuleFunction& function : kSurface.functions)
        if (auto r = boundary::add_function(root, *function.def); !r) return r;
    // Last, once every class exists: copy and pickle through copyreg.
    return package::packed::add_copy_support();
}

// ---------------------------------------------------------------- entry

PyModuleDef kModuleDef = {PyModuleDef_HEAD_INIT, "kelto", "", 0,
                          nullptr, nullptr, nullptr, nullptr, nullptr};

// Live for the whole process and never cleared: the module is built once and
// handed out again on every later import in the same interpreter.
std::atomic<std::int64_t> interpreter_id{-1};
PyObject* module_cell = nullptr;

// A once-lock: empty, running (one thread builds), complete.
enum class Once : std::uint8_t { Empty, Running, Complete };
std::mutex once_mutex;
std::condition_variable once_done;
Once once_state = Once::Empty;
std::thread::id once_builder;  // the thread that is building, while Running

/// In a child forked while another thread was importing: that thread is gone,
/// so its hold on the once-lock is dropped and a later import builds anew.
/// A child forked by the building thread itself (from Python code the module
/// body ran) goes on building.
void reset_once_lock_in_child() noexcept {
    std::construct_at(&once_mutex);
    std::construct_at(&once_done);
    if (once_state == Once::Running && once_builder != std::this_thread::get_id()) once_state = Once::Empty;
}

Result<Owned> build_module() {
    auto module = boundary::checked(PyModule_Create2(&kModuleDef, PYTHON_API_VERSION));
    if (!module) return module;
    if (auto r = module_body(*module); !r) return boundary::kFailed;
    return module;
}

/// Fills the module cell once. The interpreter lock is released while waiting
/// for the once-lock, so two threads importing at the same time cannot
/// deadlock: one builds, the other waits and then gets the same module.
Result<Owned> cached_module() {
    bool must_build = false;
    bool reentered = false;
    Py_BEGIN_ALLOW_THREADS
    std::unique_lock lock{once_mutex};
    // The thread that is building can only get here again through Python code
    // that the module body ran (an import hook importing kelto): waiting for
    // itself would never end.
    reentered = once_state == Once::Running && once_builder == std::this_thread::get_id();
    if (!reentered) {
        once_done.wait(lock, [] { return once_state != Once::Running; });
        if (once_state == Once::Empty) {
            once_state = Once::Running;
            once_builder = std::this_thread::get_id();
            must_build = true;
        }
    }
    Py_END_ALLOW_THREADS
    if (reentered)
        return boundary::raise(
            PyExc_ImportError,
            "kelto was imported again while its first import was still building the module "
            "on the same thread (an import hook or a module it imports re-entered kelto); "
            "import kelto once that first import has finished");
    if (!must_build) return Owned::borrow(module_cell);

    Result<Owned> built = boundary::kFailed;
    try {
        built = build_module();
    } catch (...) {
        const std::lock_guard lock{once_mutex};
        once_state = Once::Empty;
        once_done.notify_all();
        throw;
    }
    {
        const std::lock_guard lock{once_mutex};
        if (built) module_cell = Owned::borrow(*built).release();
        once_state = built ? Once::Complete : Once::Empty;
    }
    once_done.notify_all();
    return built;
}

Result<Owned> init() {
    boundary::install_blocking_hooks();
    static const int fork_handler = pthread_atfork(nullptr, nullptr, &reset_once_lock_in_child);
    (void)fork_handler;
    const std::int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (current == -1) return boundary::fetch_error();
    std::int64_t expected = -1;
    if (!interpreter_id.compare_exchange_strong(expected, current) && expected != current)
        return boundary::raise(
            PyExc_ImportError,
            "kelto does not yet support subinterpreters: it is a single-phase extension "
            "module and can be imported by one interpreter per process only (see "
            "\"Subinterpreters\" in kelto's README)");
    {
        const std::lock_guard lock{once_mutex};
        if (once_state == Once::Complete) return Owned::borrow(module_cell);
    }
    return cached_module();
}

}  // namespace

const ModuleSurface& module_surface() noexcept { return kSurface; }

}  // namespace kelto

PyMODINIT_FUNC PyInit_kelto() {
    return kelto::boundary::guarded({{}, "PyInit_kelto"}, []() -> PyObject* { return release_or_null(kelto::init()); },
                                    static_cast<PyObject*>(nullptr));
}
