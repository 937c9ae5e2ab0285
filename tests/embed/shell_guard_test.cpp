// The panic guard and error plumbing of the binding shell, checked inside an
// embedded interpreter: no valid input reaches these paths through the
// module's own functions.
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <string>

#include "shell.hpp"

namespace {

int failures = 0;
int passed = 0;

void expect(bool ok, const char* what) {
    if (ok) {
        ++passed;
    } else {
        ++failures;
        std::fprintf(stderr, "FAILED: %s\n", what);
    }
}

std::string str_of(PyObject* obj) {
    PyObject* s = PyObject_Str(obj);
    PyObject* b = s != nullptr ? PyUnicode_AsUTF8String(s) : nullptr;
    std::string out = b != nullptr ? PyBytes_AsString(b) : "<error>";
    Py_XDECREF(b);
    Py_XDECREF(s);
    return out;
}

// Takes the pending exception; returns its type and message.
std::pair<PyObject*, std::string> take_error() {
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    std::string message = value != nullptr ? str_of(value) : "";
    Py_XDECREF(value);
    Py_XDECREF(traceback);
    return {type, message};
}

std::string attr(PyObject* obj, const char* name) {
    PyObject* a = PyObject_GetAttrString(obj, name);
    std::string out = a != nullptr ? str_of(a) : "<missing>";
    Py_XDECREF(a);
    return out;
}

}  // namespace

int main() {
    Py_Initialize();
    using namespace zemo::py;

    expect(!guarded([] { throw std::runtime_error("broken invariant"); }), "a C++ exception fails the call");
    auto [panic, message] = take_error();
    expect(panic != nullptr && attr(panic, "__qualname__") == "PanicException" &&
               attr(panic, "__module__") == "pyo3_runtime" && PyObject_IsSubclass(panic, PyExc_BaseException) == 1 &&
               PyObject_IsSubclass(panic, PyExc_Exception) == 0,
           "the panic class, its module, and BaseException but not Exception as its base");
    expect(message == "broken invariant", "panic carries the message");

    guarded([] { throw 42; });
    auto [again, unknown] = take_error();
    expect(again == panic, "the panic class is created once");
    expect(unknown == "unknown C++ exception", "non-standard exception message");
    Py_XDECREF(again);

    expect(!guarded([] { throw std::bad_alloc(); }), "bad_alloc fails the call");
    auto [memory, ignored] = take_error();
    expect(memory == PyExc_MemoryError, "bad_alloc becomes MemoryError");
    Py_XDECREF(memory);

    expect(!guarded([] { throw PyErrorSet{}; }), "PyErrorSet fails the call");
    auto [system, missing] = take_error();
    expect(system == PyExc_SystemError && missing == "attempted to fetch exception but none was set",
           "a failure without an exception becomes SystemError");
    Py_XDECREF(system);

    expect(!guarded([] { raise_runtime(zemo::Error("inner").context("outer")); }), "library error fails");
    auto [runtime, outer] = take_error();
    expect(runtime == PyExc_RuntimeError && outer == "outer", "only the outermost message reaches Python");
    Py_XDECREF(runtime);

    expect(guarded([] {}), "a body that returns succeeds");
    expect(PyErr_Occurred() == nullptr, "and leaves no exception");
    Py_XDECREF(panic);

    Py_Finalize();
    std::printf("%d passed, %d failed\n", passed, failures);
    return failures == 0 ? 0 : 1;
}
