// The module's entry point: refuses a second interpreter, creates the module once, and registers
// the five classes in __all__.
#include <atomic>

#include "entry.hpp"

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

template <class Record>
PyResult<void> register_class(PyObject* module) {
    const char* name = Class<Record>::definition().name;
    auto type = create_type(Class<Record>::definition(), type_cell<Record>());
    if (!type) {
        PyError failure = error(PyExc_RuntimeError, std::string("An error occurred while initializing class ") + name);
        raise(std::move(type.error()));
        failure->cause = std::move(fetch_error()->value);
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
    std::int64_t expected = -1;
    if (!initialising_interpreter.compare_exchange_strong(expected, current) && expected != current) {
        return fail(error(PyExc_ImportError,
                          "varnholt does not support subinterpreters: it is already initialised in another "
                          "interpreter of this process"));
    }
    if (cached_module != nullptr) {
        return Ref::borrow(cached_module);
    }
    Ref module = Ref::steal(PyModule_Create2(&module_definition, api_version));
    if (!module) {
        return fail(fetch_error());
    }
    for (auto registration : {&register_class<Order>, &register_class<Fill>, &register_class<OrderBook>,
                              &register_class<OrderType>, &register_class<OrderStatus>}) {
        if (auto registered = registration(module.get()); !registered) {
            return fail(std::move(registered.error()));
        }
    }
    if (cached_module == nullptr) {
        cached_module = module.release();
    }
    return Ref::borrow(cached_module);
}

}  // namespace
}  // namespace varnholt::binding

extern "C" [[gnu::visibility("default")]] PyObject* PyInit_varnholt() {
    return varnholt::binding::guarded(&varnholt::binding::initialise);
}
