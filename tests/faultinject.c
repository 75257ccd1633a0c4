/* A fault injector for the allocation-failure sweep (tests/test_allocation_failures.py): preloaded
 * (LD_PRELOAD) into an interpreter run with PYTHONMALLOC=malloc, it replaces malloc, calloc,
 * realloc and the aligned allocators, so that the interpreter's own allocations and the module's
 * (operator new calls malloc) go through it. The same file is a Python extension module,
 * `faultinject`: arm(k) makes the k-th allocation from then on fail (return null with ENOMEM),
 * once; disarm() stops counting and says whether the failure happened. Neither call allocates
 * anything, so every counted allocation belongs to the code run between the two. */
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <errno.h>
#include <stddef.h>

extern void* __libc_malloc(size_t size);
extern void* __libc_calloc(size_t count, size_t size);
extern void* __libc_realloc(void* memory, size_t size);
extern void* __libc_memalign(size_t alignment, size_t size);

/* One test process, one thread at a time: plain counters are enough. */
static long countdown = 0; /* allocations left until the failure; 0 when disarmed */
static int fired = 0;

/* Whether this allocation is the one to fail. */
static int fail_now(void) {
    if (countdown > 0 && --countdown == 0) {
        fired = 1;
        errno = ENOMEM;
        return 1;
    }
    return 0;
}

void* malloc(size_t size) { return fail_now() ? NULL : __libc_malloc(size); }
void* calloc(size_t count, size_t size) { return fail_now() ? NULL : __libc_calloc(count, size); }
void* realloc(void* memory, size_t size) { return fail_now() ? NULL : __libc_realloc(memory, size); }
void* aligned_alloc(size_t alignment, size_t size) { return fail_now() ? NULL : __libc_memalign(alignment, size); }
void* memalign(size_t alignment, size_t size) { return fail_now() ? NULL : __libc_memalign(alignment, size); }
int posix_memalign(void** memory, size_t alignment, size_t size) {
    if (fail_now()) {
        return ENOMEM;
    }
    void* made = __libc_memalign(alignment, size);
    if (made == NULL) {
        return ENOMEM;
    }
    *memory = made;
    return 0;
}

static PyObject* arm(PyObject* module, PyObject* which) {
    (void)module;
    const long k = PyLong_AsLong(which);
    if (k <= 0) {
        if (!PyErr_Occurred()) {
            PyErr_SetString(PyExc_ValueError, "k must be positive");
        }
        return NULL;
    }
    fired = 0;
    countdown = k;
    Py_RETURN_NONE;
}

static PyObject* disarm(PyObject* module, PyObject* unused) {
    (void)module;
    (void)unused;
    countdown = 0;
    if (fired) {
        Py_RETURN_TRUE;
    }
    Py_RETURN_FALSE;
}

static PyMethodDef methods[] = {
    {"arm", arm, METH_O, "arm(k): the k-th allocation from now on fails, once."},
    {"disarm", disarm, METH_NOARGS, "disarm(): stops counting; True if the failure happened."},
    {NULL, NULL, 0, NULL},
};

static struct PyModuleDef definition = {PyModuleDef_HEAD_INIT, "faultinject", NULL, -1, methods,
                                        NULL, NULL, NULL, NULL};

PyMODINIT_FUNC PyInit_faultinject(void) { return PyModule_Create(&definition); }
