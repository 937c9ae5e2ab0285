#pragma once
// The call shell shared by every exported function and method.
//
// A submodule source describes each function as one `Function` row (name,
// parameters with their kinds, docstring, implementation), written with
// designated initialisers, and registers the table with `add_functions`; a
// class is one constant `ClassInfo` registered with `add_class`. Counts are
// taken from the tables themselves. The shell binds positional and keyword
// arguments, extracts each one by its kind with the exact messages callers
// rely on, runs the implementation under the panic guard and maps failures
// to Python exceptions. Implementations only call the library and convert
// the result with the helpers below; they throw `PyErrorSet` (usually via
// those helpers) when a Python exception has been set.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <initializer_list>
#include <memory>
#include <new>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/error.hpp"
#include "common/interrupt.hpp"

namespace zemo::py {

// ---------------------------------------------------------------------------
// Errors

// Thrown once a Python exception is set; the call wrapper returns NULL.
struct PyErrorSet {};

// Sets `type` with `message` and throws PyErrorSet.
[[noreturn]] void raise(PyObject* type, std::string_view message);
// Throws PyErrorSet; sets SystemError "attempted to fetch exception but none
// was set" when a C-level call failed without setting anything.
[[noreturn]] void throw_current();
// Library errors to Python exceptions, by the error's kind; only the
// outermost message reaches Python. `raise_error`, for `_ext`: an I/O error
// is the OSError subclass of its errno with the path as `filename`, a damaged
// file (named by the path when there is one) or a bad argument (with its
// causes) ValueError, anything else RuntimeError. The specified functions of `_native` raise
// RuntimeError whatever the kind (`raise_runtime`), and so does the dump
// reader, as DumpError (`raise_dump_error`).
[[noreturn]] void raise_error(const Error& error);
[[noreturn]] void raise_runtime(const Error& error);
[[noreturn]] void raise_dump_error(const Error& error);
// zemo_etl._ext.DumpError, a RuntimeError subclass; NULL with the error set
// when it could not be made.
PyObject* dump_error_type();

// Returns `obj`, or throws the current Python error when it is NULL.
inline PyObject* check(PyObject* obj) {
    if (obj == nullptr) throw_current();
    return obj;
}

// Owning reference; releases on scope exit.
class Ref {
public:
    Ref() = default;
    explicit Ref(PyObject* owned) : p_(owned) {}
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& o) noexcept : p_(o.p_) { o.p_ = nullptr; }
    Ref& operator=(Ref&& o) noexcept {
        if (this != &o) { Py_XDECREF(p_); p_ = o.p_; o.p_ = nullptr; }
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }
    PyObject* get() const { return p_; }
    PyObject* release() { PyObject* p = p_; p_ = nullptr; return p; }
    explicit operator bool() const { return p_ != nullptr; }

private:
    PyObject* p_ = nullptr;
};

// ---------------------------------------------------------------------------
// Result conversion (each returns a new reference or throws PyErrorSet)

PyObject* str(std::string_view utf8);
PyObject* bytes(std::string_view data);
PyObject* none();
PyObject* boolean(bool value);
PyObject* floating(double value);
PyObject* integer(long long value);
// An exact int from an optional sign followed by decimal digits (a
// decimal.Decimal beyond a thousand digits).
PyObject* integer_from_decimal(std::string_view digits);
// decimal.Decimal(literal).
PyObject* decimal(std::string_view literal);

// A new list with convert(element) for each element of `range`; `convert`
// returns a new reference (or throws).
template <typename Range, typename Convert>
PyObject* list(const Range& range, Convert convert) {
    Ref out(check(PyList_New(static_cast<Py_ssize_t>(std::size(range)))));
    Py_ssize_t i = 0;
    for (const auto& element : range) {
        PyObject* item = convert(element);
        PyList_SetItem(out.get(), i++, item);  // steals item
    }
    return out.release();
}

inline PyObject* str_list(const std::vector<std::string>& values) {
    return list(values, [](const std::string& s) { return str(s); });
}

// ---------------------------------------------------------------------------
// Function descriptions

enum class Kind : std::uint8_t {
    Text,          // str (or subclass) -> UTF-8 view
    OptTextEmpty,  // None or str; None reads as ""
    OptTextKeep,   // None or str; None kept as nullopt
    TextList,      // sequence (not str) of str
    OptTextList,   // sequence (not str) of str or None
    TextSet,       // set or frozenset of str
    TextPair,      // tuple of exactly two str
    TextPairList,  // sequence (not str) of such tuples
    Float,         // float conversion
    Unsigned,      // int or index conversion, unsigned 64-bit
    Bytes,         // bytes -> view of its contents
};

// A parameter: `{.name = "limit", .kind = Kind::Unsigned, .has_default = true,
// .default_unsigned = 2}`. Only Float and Unsigned parameters take defaults.
struct Param {
    const char* name = nullptr;
    Kind kind = Kind::Text;
    bool has_default = false;
    double default_float = 0.0;
    std::uint64_t default_unsigned = 0;
    // `_ext` only: a list the package also takes as a data-frame column, so
    // a null in the list gets a hint on how to pass nulls.
    bool column = false;
};

inline constexpr std::size_t kMaxParams = 6;

// A row's parameters, as many as its braces list.
class Params {
public:
    constexpr Params() = default;
    constexpr Params(std::initializer_list<Param> params) : size_(params.size()) {
        if (params.size() > kMaxParams) throw std::length_error("raise kMaxParams");  // fails the constant table
        std::copy(params.begin(), params.end(), items_.begin());
    }
    constexpr std::size_t size() const { return size_; }
    constexpr const Param& operator[](std::size_t i) const { return items_[i]; }

private:
    std::array<Param, kMaxParams> items_{};
    std::size_t size_ = 0;
};

// How a method uses its receiver.
enum class Receiver : std::uint8_t {
    None,       // module function
    Shared,     // query: shared borrow of the native state
    Exclusive,  // update: exclusive borrow
    Static,     // static method of a class (no receiver)
    Construct,  // the class constructor (__new__)
};

class Call;
using Impl = PyObject* (*)(Call&);

struct Function {
    const char* name = nullptr;
    Params params = {};
    const char* doc = "";  // the docstring proper, without the text signature
    Impl impl = nullptr;
    Receiver receiver = Receiver::None;
    bool no_args = false;  // the interpreter's no-arguments convention (METH_NOARGS)
};

// ---------------------------------------------------------------------------
// Extracted arguments

using TextView = std::string_view;
using Pair = std::pair<std::string_view, std::string_view>;

struct ClassInfo;  // defined below

// Everything one call owns: the bound arguments and the references that keep
// their UTF-8 data alive until the call returns.
class Call {
public:
    Call(const Function& fn, const ClassInfo* cls, PyObject* self) : fn_(fn), cls_(cls), self_(self) {}
    ~Call();
    Call(const Call&) = delete;
    Call& operator=(const Call&) = delete;

    // Accessors by parameter position, matching the parameter's kind.
    std::string_view text(std::size_t i) const { return slots_[i].text; }
    bool is_none(std::size_t i) const { return slots_[i].none; }
    std::optional<std::string_view> opt_text(std::size_t i) const {
        if (slots_[i].none) return std::nullopt;
        return slots_[i].text;
    }
    const std::vector<std::string_view>& text_list(std::size_t i) const { return lists(i).texts; }
    const std::vector<std::optional<std::string_view>>& opt_text_list(std::size_t i) const {
        return lists(i).opt_texts;
    }
    Pair pair(std::size_t i) const { return {slots_[i].text, slots_[i].second}; }
    const std::vector<Pair>& pair_list(std::size_t i) const { return lists(i).pairs; }
    double number(std::size_t i) const { return slots_[i].number; }
    std::uint64_t count(std::size_t i) const { return slots_[i].count; }

    // The receiver's native state (Shared/Exclusive methods).
    template <typename T>
    T& self() const { return *static_cast<T*>(native_state(self_)); }

    // Constructor rows: hand the new object its native state.
    template <typename T>
    void init_self(T* state) {
        set_native_state(self_, state, [](void* p) { delete static_cast<T*>(p); });
    }

    // Static methods: a new instance of the owning class holding `state`.
    template <typename T>
    PyObject* new_instance(T* state) {
        return new_instance_raw(state, [](void* p) { delete static_cast<T*>(p); });
    }

    // Used by the shell itself.
    void bind(const struct Args& args);
    void bind_single(PyObject* operand);
    const Function& function() const { return fn_; }
    std::string display_name() const;

private:
    // Scalar kinds live in the slot; list kinds get their vectors only when
    // the call has such a parameter, so a one-string call allocates nothing.
    struct Slot {
        bool none = false;
        std::string_view text;
        std::string_view second;  // a pair's second element
        double number = 0.0;
        std::uint64_t count = 0;
    };
    struct Lists {
        std::vector<std::string_view> texts;
        std::vector<std::optional<std::string_view>> opt_texts;
        std::vector<Pair> pairs;
    };

    // Elements of list parameter `i` extracted so far.
    std::size_t extracted(std::size_t i) const;
    const Lists& lists(std::size_t i) const {
        static const Lists empty;
        return lists_[i] ? *lists_[i] : empty;
    }
    Lists& make_lists(std::size_t i) {
        if (!lists_[i]) lists_[i] = std::make_unique<Lists>();
        return *lists_[i];
    }

    void extract(std::size_t i, PyObject* obj);
    std::string_view utf8(PyObject* obj);
    static void* native_state(PyObject* self);
    void set_native_state(PyObject* self, void* state, void (*destroy)(void*));
    PyObject* new_instance_raw(void* state, void (*destroy)(void*));

    const Function& fn_;
    const ClassInfo* cls_;
    PyObject* self_;
    std::array<Slot, kMaxParams> slots_{};
    std::array<std::unique_ptr<Lists>, kMaxParams> lists_{};
    std::vector<PyObject*> keep_alive_;
    // Encoding strings that cache no UTF-8 (Python 3.9) costs time in
    // proportion to their bytes: a huge list of them polls for signals.
    InterruptPoller encoding_poller_;
};

// ---------------------------------------------------------------------------
// Work without the interpreter lock

// Texts copied out of the Python objects into one buffer of their own, for
// work that runs without the interpreter lock and so may read nothing that
// Python owns. A view stays valid while the OwnedTexts lives (moves included).
struct OwnedTexts {
    std::unique_ptr<char[]> bytes;
    std::vector<std::string_view> views;
};
struct OwnedOptTexts {
    std::unique_ptr<char[]> bytes;
    std::vector<std::optional<std::string_view>> views;
};
struct OwnedPairs {
    std::unique_ptr<char[]> bytes;
    std::vector<Pair> views;
};
OwnedTexts copy_texts(const std::vector<std::string_view>& texts);
OwnedOptTexts copy_texts(const std::vector<std::optional<std::string_view>>& texts);
OwnedPairs copy_pairs(const std::vector<Pair>& pairs);

// Releases the interpreter lock for its scope, so that other Python threads
// run while the library computes. The work inside touches no Python object.
//
// Interruption: signal handlers need the lock. The scope installs a check
// for the library's polls that first compares a monotonic clock with the
// time of its last run (a few nanoseconds); only once kRelockInterval has
// passed does it take the lock back (PyEval_RestoreThread), run
// PyErr_CheckSignals, and release it again. With polls every few hundred
// microseconds, a pending SIGINT is seen within kRelockInterval plus one
// poll plus the wait for the lock (at most the switch interval, 5 ms, when
// another thread holds it): well under 100 ms. A handler that raises leaves
// its exception set, and the work unwinds with Interrupted as it does with
// the lock held.
class LockReleased {
public:
    static constexpr auto kRelockInterval = std::chrono::milliseconds(20);

    LockReleased() noexcept;
    ~LockReleased();
    LockReleased(const LockReleased&) = delete;
    LockReleased& operator=(const LockReleased&) = delete;

private:
    PyThreadState* previous_state_;
    std::chrono::steady_clock::time_point previous_due_;
    InterruptScope interrupts_;
};

// work() without the interpreter lock; its result (or exception) after the
// lock is taken back.
template <typename Work>
auto without_lock(Work&& work) -> decltype(work()) {
    const LockReleased released;
    return work();
}

// ---------------------------------------------------------------------------
// Registration

// Appends `name` to module.__all__ (creating it), then sets the attribute.
// Steals `value`. Throws PyErrorSet on failure.
void add_member(PyObject* module, const char* name, PyObject* value);

// Arguments as the interpreter passes them: an arguments tuple and a keywords
// dict, or an argument vector with a tuple of keyword names. The vector
// convention joined the stable ABI in 3.10 and saves building a tuple per
// call, so it is used wherever the running interpreter has it.
struct Args {
    PyObject* tuple = nullptr;
    PyObject* dict = nullptr;
    PyObject* const* vector = nullptr;
    Py_ssize_t nargs = 0;
    PyObject* kwnames = nullptr;
    bool is_vector = false;
};

inline constexpr int kMethFastcall = 0x0080;  // METH_FASTCALL, absent from the 3.9 limited headers
using FastcallWithKeywords = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

// Whether the running interpreter takes the vector convention (3.10 and later).
bool vector_calls();

// Entry point of one generic trampoline per table row; see add_functions.
PyObject* call_function(const Function& fn, const ClassInfo* cls, PyObject* self, const Args& args) noexcept;

template <const auto& Table, std::size_t I>
PyObject* trampoline(PyObject* self, PyObject* args, PyObject* kwargs) {
    return call_function(Table[I], nullptr, self, Args{.tuple = args, .dict = kwargs});
}

template <const auto& Table, std::size_t I>
PyObject* vector_trampoline(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_function(Table[I], nullptr, self,
                         Args{.vector = args, .nargs = nargs, .kwnames = kwnames, .is_vector = true});
}

template <const auto& Table, std::size_t I>
PyObject* trampoline_noargs(PyObject* self, PyObject*) {
    return call_function(Table[I], nullptr, self, Args{});
}

// The method table stores every entry point as PyCFunction; the flags tell
// the interpreter the real signature.
template <typename F>
PyCFunction as_cfunction(F* entry) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entry));
}

void add_function(PyObject* module, const Function& fn, std::pair<PyCFunction, int> entry);

// Adds every row of `Table` (a static array of Function) to `module`, in order.
template <const auto& Table>
void add_functions(PyObject* module) {
    [module]<std::size_t... I>(std::index_sequence<I...>) {
        (add_function(module, Table[I],
                      Table[I].no_args
                          ? std::pair<PyCFunction, int>{as_cfunction(&trampoline_noargs<Table, I>), METH_NOARGS}
                      : vector_calls()
                          ? std::pair<PyCFunction, int>{as_cfunction(&vector_trampoline<Table, I>),
                                                        kMethFastcall | METH_KEYWORDS}
                          : std::pair<PyCFunction, int>{as_cfunction(&trampoline<Table, I>),
                                                        METH_VARARGS | METH_KEYWORDS}),
         ...);
    }(std::make_index_sequence<std::size(Table)>{});
}

// A class: constructor, methods in table order, optional protocol slots. A
// source declares it `constexpr` and registers it with add_class.
struct ClassInfo {
    const char* name = nullptr;
    const char* doc = "";  // docstring proper; the text signature comes from the constructor
    const Function* constructor = nullptr;
    std::span<const Function> methods = {};
    const Function* contains = nullptr;  // __contains__(key) -> bool object
    const Function* length = nullptr;    // __len__() -> int object
    // __next__() -> the next item, or nullptr without an exception at the
    // end; the class is then its own iterator (__iter__ returns self).
    const Function* next = nullptr;
    // Created once, at first registration; the only member written at run
    // time, hence mutable in an otherwise constant description.
    mutable PyObject* type = nullptr;
};

template <const ClassInfo& Cls, std::size_t I>
PyObject* method_trampoline(PyObject* self, PyObject* args, PyObject* kwargs) {
    return call_function(Cls.methods[I], &Cls, self, Args{.tuple = args, .dict = kwargs});
}

template <const ClassInfo& Cls, std::size_t I>
PyObject* method_vector_trampoline(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_function(Cls.methods[I], &Cls, self,
                         Args{.vector = args, .nargs = nargs, .kwnames = kwnames, .is_vector = true});
}

PyObject* class_new(const ClassInfo& cls, PyTypeObject* type, PyObject* args, PyObject* kwargs);
int class_contains(const ClassInfo& cls, PyObject* self, PyObject* key);
Py_ssize_t class_length(const ClassInfo& cls, PyObject* self);
PyObject* class_next(const ClassInfo& cls, PyObject* self);
void new_class(PyObject* module, const ClassInfo& cls, std::vector<PyMethodDef>& defs, newfunc tp_new,
               objobjproc contains, lenfunc length, iternextfunc next);

// Creates the class object on first use and adds it to `module`.
template <const ClassInfo& Cls>
void add_class(PyObject* module) {
    static std::vector<PyMethodDef> defs;
    if (Cls.type == nullptr) {
        defs.clear();
        [&]<std::size_t... I>(std::index_sequence<I...>) {
            (defs.push_back(PyMethodDef{
                 Cls.methods[I].name,
                 vector_calls() ? as_cfunction(&method_vector_trampoline<Cls, I>)
                                : as_cfunction(&method_trampoline<Cls, I>),
                 (vector_calls() ? kMethFastcall : METH_VARARGS) | METH_KEYWORDS |
                     (Cls.methods[I].receiver == Receiver::Static ? METH_STATIC : 0),
                 nullptr}),
             ...);
        }(std::make_index_sequence<Cls.methods.size()>{});
        new_class(
            module, Cls, defs,
            [](PyTypeObject* type, PyObject* args, PyObject* kwargs) { return class_new(Cls, type, args, kwargs); },
            [](PyObject* self, PyObject* key) { return class_contains(Cls, self, key); },
            [](PyObject* self) { return class_length(Cls, self); },
            [](PyObject* self) { return class_next(Cls, self); });
    }
    Py_INCREF(Cls.type);
    add_member(module, Cls.name, Cls.type);
}

// A single-phase module, created once per process and refused to a second
// interpreter, since its classes and tables are process-wide. `fill` adds the
// members (throwing PyErrorSet on failure).
struct ModuleOnce {
    const char* name;  // without the package
    const char* doc;
    void (*fill)(PyObject* module);
    PyModuleDef definition = {PyModuleDef_HEAD_INIT, nullptr, nullptr, 0, nullptr, nullptr, nullptr, nullptr, nullptr};
    std::atomic<std::int64_t> interpreter{-1};  // the interpreter that first loaded it
    PyObject* module = nullptr;
};
// The body of a PyInit function: the module (a new reference), or NULL with
// the exception set.
PyObject* init_module_once(ModuleOnce& once) noexcept;

// The panic guard. Runs `body`; returns false with a Python exception set when
// it throws: PyErrorSet, and Interrupted from the interrupt check every call
// installs, keep the exception already set; std::bad_alloc
// becomes MemoryError, anything else the panic exception with its message.
void set_panic(const char* message) noexcept;
void set_missing_error() noexcept;

template <typename Body>
bool guarded(Body&& body) noexcept {
    try {
        body();
        return true;
    } catch (const PyErrorSet&) {
        if (!PyErr_Occurred()) set_missing_error();
    } catch (const Interrupted&) {
        if (!PyErr_Occurred()) set_missing_error();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        set_panic(e.what());
    } catch (...) {
        set_panic("unknown C++ exception");
    }
    return false;
}

}  // namespace zemo::py
