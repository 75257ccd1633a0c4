// The module's entry point: refuses a second interpreter, creates the module once, and registers
// the five classes in __all__.
#if defined(_WIN32)
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>
#else
#include <dlfcn.h>
#endif

#include <atomic>

#include "arrays.hpp"
#include "entry.hpp"
#include "pickling.hpp"

namespace varnholt::binding {
namespace {

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT, "varnholt", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

// The interpreter that first initialised the module; -1 until then.
std::atomic<std::int64_t> initialising_interpreter{-1};
// The module object, kept for the life of the process.
PyObject* cached_module = nullptr;

constexpr int api_version = 1013;

constexpr Params<1> restore_params{"varnholt", "_restore", {"state"}};

// The module's one function, private: what pickled objects are rebuilt with.
PyMethodDef module_functions[] = {
    function_row<&restore, restore_params>(
        "_restore",
        "_restore(state)\n--\n\nRebuilds an Order, a Fill or an OrderBook from its saved state (what pickle keeps)."),
    {nullptr, nullptr, 0, nullptr},
};

// Adds varnholt._restore; pickles of the classes name it.
PyResult<void> register_restore(PyObject* module) {
    if (PyModule_AddFunctions(module, module_functions) != 0) {
        return fail(fetch_error());
    }
    Ref function = Ref::steal(PyObject_GetAttrString(module, "_restore"));
    if (!function) {
        return fail(fetch_error());
    }
    set_restore_function(function.release());  // kept until the process ends, like the module
    return {};
}

// A function the interpreter exports, or null. On Windows the interpreter's DLL is the one that
// holds Py_IsInitialized (python3.dll, which the module links, forwards to it).
void* interpreter_function(const char* name) {
#if defined(_WIN32)
    HMODULE interpreter = nullptr;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            reinterpret_cast<LPCWSTR>(&Py_IsInitialized), &interpreter)) {
        return nullptr;
    }
    return reinterpret_cast<void*>(GetProcAddress(interpreter, name));
#else
    return dlsym(RTLD_DEFAULT, name);
#endif
}

// Whether the interpreter refuses modules with single-phase initialisation, as an isolated
// subinterpreter does. CPython 3.12 asks only after the module's initialisation has run, by which
// time this module would have created its module and types in that interpreter and recorded it
// as the owner, locking every other interpreter out for the rest of the process; so the module
// asks the same question first. The function is exported by CPython 3.12 and later (for its own
// single-phase test modules) and absent before 3.12, which never refuses; CPython 3.13 asks
// before running the initialisation, so there the answer is the same.
bool refused_by_this_interpreter(const char* name) {
    using Check = int (*)(const char*);
    static const auto check = reinterpret_cast<Check>(interpreter_function("_PyImport_CheckSubinterpIncompatibleExtensionAllowed"));
    return check != nullptr && check(name) < 0;
}

template <class Record>
PyResult<void> register_class(PyObject* module) {
    const char* name = Class<Record>::definition().name;
    auto type = create_type(Class<Record>::definition(), type_cell<Record>());
    if (!type) {
        PyError failure = error(PyExc_RuntimeError, std::string("An error occurred while initializing class ") + name);
        raise(std::move(type.error()));
        failure->cause = Ref::borrow(fetch_error().instance());
        return fail(std::move(failure));
    }
    Ref all = Ref::steal(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
            return fail(fetch_error());
        }
        PyErr_Clear();
        all = Ref::steal(PyList_New(0));
        if (!all || PyObject_SetAttrString(module, "__all__", all.get()) != 0) {
            return fail(fetch_error());
        }
    }
    if (!PyList_Check(all.get())) {
        return fail(wrong_type(all.get(), "PyList"));
    }
    Ref text = Ref::steal(PyUnicode_FromString(name));
    if (!text || PyList_Append(all.get(), text.get()) != 0) {
        PyErr_Clear();
        return fail(internal_error("could not append __name__ to __all__"));
    }
    if (PyObject_SetAttrString(module, name, reinterpret_cast<PyObject*>(*type)) != 0) {
        return fail(fetch_error());
    }
    return {};
}

PyResult<Ref> initialise() {
    const std::int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (current == -1) {
        return fail(fetch_error());
    }
    // The main interpreter (id 0) never refuses, and asking costs a symbol lookup.
    if (current != 0 && refused_by_this_interpreter(module_definition.m_name)) {
        return fail(fetch_error());  // CPython's own ImportError; nothing recorded, nothing made
    }
    std::int64_t expected = -1;
    const bool claimed = initialising_interpreter.compare_exchange_strong(expected, current);
    if (!claimed && expected != current) {
        return fail(error(PyExc_ImportError,
                          "varnholt does not support subinterpreters: it is already initialised in another "
                          "interpreter of this process"));
    }
    if (cached_module != nullptr) {
        return Ref::borrow(cached_module);
    }
    Ref module = Ref::steal(PyModule_Create2(&module_definition, api_version));
    if (!module) {
        // Nothing was made for this interpreter: another one may still own the module.
        if (claimed) {
            initialising_interpreter.store(-1);
        }
        return fail(fetch_error());
    }
    for (auto registration : {&register_class<Order>, &register_class<Fill>, &register_class<OrderBook>,
                              &register_class<OrderType>, &register_class<OrderStatus>}) {
        if (auto registered = registration(module.get()); !registered) {
            return fail(std::move(registered.error()));
        }
    }
    if (auto registered = register_restore(module.get()); !registered) {
        return fail(std::move(registered.error()));
    }
    // The error type of internal failures is made now: made on first use, which may be the
    // taking of a MemoryError when memory runs out, failing to make it aborted the process.
    fatal_error_type();
    // The classes of replay's results are made now, not on a first replay: making a type can run
    // a collection, and replay makes its results while the book is borrowed.
    if (auto made = create_type(Class<RecordArray>::definition(), type_cell<RecordArray>()); !made) {
        return fail(std::move(made.error()));
    }
    if (auto made = create_type(Class<ReplayResult>::definition(), type_cell<ReplayResult>()); !made) {
        return fail(std::move(made.error()));
    }
    if (cached_module == nullptr) {
        cached_module = module.release();
    }
    return Ref::borrow(cached_module);
}

}  // namespace
}  // namespace varnholt::binding

PyMODINIT_FUNC PyInit_varnholt() {
    return varnholt::binding::guarded(&varnholt::binding::initialise);
}
