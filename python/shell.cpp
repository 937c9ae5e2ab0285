// The generic call shell: argument binding, extraction by kind, exception
// mapping, the borrow check and the panic guard.

#include "shell.hpp"

#include <dlfcn.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <deque>
#include <unordered_set>

namespace zemo::py {
namespace {

// ---------------------------------------------------------------------------
// UTF-8 out of a str

// PyUnicode_AsUTF8AndSize joined the stable ABI in 3.10. It hands out the
// string's own UTF-8 buffer (no copy at all for ASCII), so it is looked up at
// run time on interpreters that have it; 3.9 goes through a bytes object.
using AsUtf8AndSize = const char* (*)(PyObject*, Py_ssize_t*);

long runtime_hexversion() {
    PyObject* hexversion = PySys_GetObject("hexversion");  // borrowed
    if (hexversion == nullptr) return 0;
    long version = PyLong_AsLong(hexversion);
    if (version == -1 && PyErr_Occurred()) {
        PyErr_Clear();
        return 0;
    }
    return version;
}

AsUtf8AndSize resolve_as_utf8() {
    if (runtime_hexversion() < 0x030A0000) return nullptr;
    return reinterpret_cast<AsUtf8AndSize>(dlsym(RTLD_DEFAULT, "PyUnicode_AsUTF8AndSize"));
}

AsUtf8AndSize as_utf8_and_size() {
    static const AsUtf8AndSize fn = resolve_as_utf8();
    return fn;
}

}  // namespace

bool vector_calls() {
    static const bool supported = runtime_hexversion() >= 0x030A0000;
    return supported;
}

namespace {

// ---------------------------------------------------------------------------
// Messages

std::string type_name(PyObject* obj) {
    Ref name(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__qualname__"));
    if (name && PyUnicode_Check(name.get())) {
        Ref bytes(PyUnicode_AsUTF8String(name.get()));
        if (bytes) {
            char* data = nullptr;
            Py_ssize_t size = 0;
            if (PyBytes_AsStringAndSize(bytes.get(), &data, &size) == 0) return std::string(data, size);
        }
    }
    PyErr_Clear();
    return "<failed to extract type name>";
}

[[noreturn]] void raise_cannot_convert(PyObject* obj, const char* target) {
    std::string msg = "'" + type_name(obj) + "' object cannot be converted to '" + target + "'";
    raise(PyExc_TypeError, msg);
}

std::string quoted_list(const std::vector<const char*>& names) {
    std::string out;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) {
            if (names.size() > 2) out += ",";
            out += (i + 1 == names.size()) ? " and " : " ";
        }
        out += "'";
        out += names[i];
        out += "'";
    }
    return out;
}

// The UTF-8 of str(obj), unencodable characters replaced; `fallback` if
// str() fails.
std::string str_of(PyObject* obj, const char* fallback) {
    Ref text(PyObject_Str(obj));
    Ref bytes(text ? PyUnicode_AsEncodedString(text.get(), "utf-8", "replace") : nullptr);
    char* data = nullptr;
    Py_ssize_t size = 0;
    if (!bytes || PyBytes_AsStringAndSize(bytes.get(), &data, &size) != 0) {
        PyErr_Clear();
        return fallback;
    }
    return std::string(data, static_cast<std::size_t>(size));
}

// Replaces the pending exception with `type(message)`, the pending one (with
// its traceback) becoming its __cause__. With `append_cause`, the message
// ends with the text of the cause.
void chain_pending(PyObject* type, std::string message, bool append_cause) {
    PyObject *pending_type, *value, *traceback;
    PyErr_Fetch(&pending_type, &value, &traceback);
    PyErr_NormalizeException(&pending_type, &value, &traceback);
    if (traceback != nullptr && value != nullptr) PyException_SetTraceback(value, traceback);
    Py_XDECREF(pending_type);
    Py_XDECREF(traceback);
    Ref cause(value);
    if (append_cause && cause) message += str_of(cause.get(), "");
    PyErr_Clear();
    Ref outer(PyObject_CallFunction(type, "s#", message.data(), static_cast<Py_ssize_t>(message.size())));
    if (!outer) return;  // the failure to build the exception is what gets raised
    if (cause) PyException_SetCause(outer.get(), cause.release());  // steals
    PyErr_SetObject(type, outer.get());
}

// Replaces a pending TypeError with "argument 'name': <message>", keeping the
// original as __cause__. Other exceptions pass unchanged.
void wrap_argument_error(const char* param) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) return;
    chain_pending(PyExc_TypeError, std::string("argument '") + param + "': ", true);
}

// An argument (or an element of one) of the wrong Python type, thrown by the
// extraction and turned into the message of the function's module.
struct Mismatch {
    PyObject* obj;                         // borrowed: kept alive by the call
    const char* target;                    // `_native`'s word for the type wanted ("PyString")
    const char* expected;                  // `_ext`'s ("a str")
    const char* native_message = nullptr;  // `_native`'s message, when not "cannot be converted"
    bool in_pair = false;                  // an element of a pair in a list of pairs
};

// The functions and methods registered on `_ext`. Their argument errors name
// the position and the Python types ("names: expected a str, got int at
// position 3"); those of `_native` keep their specified messages. Looked up
// only once a call has failed.
constexpr std::string_view kExtName = "zemo_etl._ext";
std::unordered_set<const Function*>& ext_functions() {
    static std::unordered_set<const Function*> functions;
    return functions;
}

bool is_null(PyObject* obj) {
    return obj == Py_None || (PyFloat_Check(obj) && std::isnan(PyFloat_AsDouble(obj)));
}

// `_ext`'s message for `m` in parameter `param`; `position` is the index of
// the element in a list, or npos for the argument itself.
[[noreturn]] void raise_ext_mismatch(const Param& param, const Mismatch& m, std::size_t position) {
    std::string msg = std::string(param.name) + ": expected " + m.expected + ", got ";
    const bool null_hint = param.column && position != std::string::npos && !m.in_pair && is_null(m.obj);
    msg += null_hint ? str_of(m.obj, "?") : type_name(m.obj);
    if (position != std::string::npos) msg += (m.in_pair ? " in the pair at position " : " at position ") + std::to_string(position);
    if (null_hint) {
        msg += "; for columns with nulls pass a pandas, pyarrow or polars column (nulls come back null), or use "
               "zemo_etl.columns.apply";
    }
    raise(PyExc_TypeError, msg);
}

// `_native`'s message: "argument 'names': 'int' object cannot be converted to 'PyString'".
[[noreturn]] void raise_native_mismatch(const Param& param, const Mismatch& m) {
    try {
        if (m.native_message != nullptr) raise(PyExc_TypeError, m.native_message);
        raise_cannot_convert(m.obj, m.target);
    } catch (const PyErrorSet&) {
        wrap_argument_error(param.name);
        throw;
    }
}

// ---------------------------------------------------------------------------
// Instances of our classes

struct Instance {
    PyObject ob_base;
    void* state;
    void (*destroy)(void*);
    Py_ssize_t borrow;  // 0 free, >0 shared borrows, -1 exclusive
};

Instance* as_instance(PyObject* self) { return reinterpret_cast<Instance*>(self); }

class Borrow {
public:
    Borrow(PyObject* self, Receiver receiver) {
        if (receiver != Receiver::Shared && receiver != Receiver::Exclusive) return;
        inst_ = as_instance(self);
        if (receiver == Receiver::Exclusive) {
            if (inst_->borrow != 0) raise(PyExc_RuntimeError, "Already borrowed");
            inst_->borrow = -1;
        } else {
            if (inst_->borrow < 0) raise(PyExc_RuntimeError, "Already mutably borrowed");
            ++inst_->borrow;
        }
    }
    ~Borrow() {
        if (inst_ == nullptr) return;
        if (inst_->borrow < 0) inst_->borrow = 0;
        else --inst_->borrow;
    }
    Borrow(const Borrow&) = delete;
    Borrow& operator=(const Borrow&) = delete;

private:
    Instance* inst_ = nullptr;
};

PyObject* panic_type() {
    static PyObject* type = PyErr_NewExceptionWithDoc(
        "pyo3_runtime.PanicException",
        "The exception raised when an internal invariant of the extension is broken.\n\n"
        "It derives from BaseException so that `except Exception` does not swallow it.",
        PyExc_BaseException, nullptr);
    return type;
}

std::string format_default(const Param& p) {
    char buf[64];
    if (p.kind == Kind::Unsigned) {
        auto r = std::to_chars(buf, buf + sizeof buf, p.default_unsigned);
        return std::string(buf, r.ptr);
    }
    auto r = std::to_chars(buf, buf + sizeof buf, p.default_float);
    std::string s(buf, r.ptr);
    if (s.find_first_of(".eEn") == std::string::npos) s += ".0";  // Python's float repr
    return s;
}

// "name(a, b=1)\n--\n\n" + doc; kept for the life of the process.
const char* signature_doc(const char* name, const Function& fn, bool with_self, const char* doc) {
    static std::deque<std::string> storage;
    std::string s = name;
    s += "(";
    bool first = true;
    if (with_self) {
        s += "$self";
        first = false;
    }
    for (std::size_t i = 0; i < fn.params.size(); ++i) {
        if (!first) s += ", ";
        first = false;
        s += fn.params[i].name;
        if (fn.params[i].has_default) {
            s += '=';
            s += format_default(fn.params[i]);
        }
    }
    s += ")\n--\n\n";
    s += doc;
    storage.push_back(std::move(s));
    return storage.back().c_str();
}

}  // namespace

// ---------------------------------------------------------------------------
// Errors

void raise(PyObject* type, std::string_view message) {
    Ref text(PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
    if (text) PyErr_SetObject(type, text.get());
    throw PyErrorSet{};
}

void throw_current() {
    if (!PyErr_Occurred()) set_missing_error();
    throw PyErrorSet{};
}

void raise_error(const Error& error) {
    switch (error.kind()) {
        case ErrorKind::Io: {
            if (error.error_number() == 0) raise(PyExc_OSError, error.chain());  // refused without a system error
            // OSError(errno, strerror, filename) makes the subclass of that errno (FileNotFoundError, ...).
            const std::string& path = error.path();
            Ref args(path.empty() ? Py_BuildValue("(is)", error.error_number(), std::strerror(error.error_number()))
                                  : Py_BuildValue("(iss#)", error.error_number(), std::strerror(error.error_number()),
                                                  path.data(), static_cast<Py_ssize_t>(path.size())));
            if (!args) throw_current();
            Ref exc(check(PyObject_Call(PyExc_OSError, args.get(), nullptr)));
            PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.get())), exc.get());
            throw PyErrorSet{};
        }
        case ErrorKind::Damaged:
            raise(PyExc_ValueError, error.path().empty() ? error.message() : error.message() + ": " + error.path());
        case ErrorKind::BadArgument:
            raise(PyExc_ValueError, error.chain());
        case ErrorKind::Other:
            break;
    }
    raise_runtime(error);
}

void raise_runtime(const Error& error) { raise(PyExc_RuntimeError, error.message()); }

PyObject* dump_error_type() {
    static PyObject* type = PyErr_NewExceptionWithDoc(
        "zemo_etl._ext.DumpError",
        "A MySQL dump that cannot be read: missing, unreadable, changed while read, cut short, or of another kind.",
        PyExc_RuntimeError, nullptr);
    return type;
}

void raise_dump_error(const Error& error) {
    PyObject* type = dump_error_type();
    if (type == nullptr) throw PyErrorSet{};
    raise(type, error.message());
}

void set_panic(const char* message) noexcept {
    PyObject* type = panic_type();
    if (type == nullptr) return;  // creating the class failed; that error stays set
    PyErr_SetString(type, message);
}

void set_missing_error() noexcept {
    PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
}

// ---------------------------------------------------------------------------
// Result conversion

PyObject* str(std::string_view utf8) {
    // The interpreter decodes eight bytes at a time only from an address
    // aligned to eight, and a short string's bytes inside libc++'s string
    // sit one byte past one (a view into a packed column, anywhere): such a
    // text of 8 to 24 bytes is copied to an aligned buffer first, in three
    // overlapping eight-byte moves.
    const char* data = utf8.data();
    const std::size_t n = utf8.size();
    alignas(8) char aligned[24];
    if (n >= 8 && n <= sizeof aligned && reinterpret_cast<std::uintptr_t>(data) % 8 != 0) {
        std::memcpy(aligned, data, 8);
        if (n > 16) std::memcpy(aligned + 8, data + 8, 8);
        std::memcpy(aligned + n - 8, data + n - 8, 8);
        data = aligned;
    }
    return check(PyUnicode_FromStringAndSize(data, static_cast<Py_ssize_t>(n)));
}

PyObject* bytes(std::string_view data) {
    return check(PyBytes_FromStringAndSize(data.data(), static_cast<Py_ssize_t>(data.size())));
}

PyObject* none() { Py_RETURN_NONE; }

PyObject* boolean(bool value) {
    if (value) Py_RETURN_TRUE;
    Py_RETURN_FALSE;
}

PyObject* floating(double value) { return check(PyFloat_FromDouble(value)); }

PyObject* integer(long long value) { return check(PyLong_FromLongLong(value)); }

PyObject* integer_from_decimal(std::string_view digits) {
    std::string text(digits);
    // Beyond this many digits an int costs quadratic time and meets Python's
    // limit on int-string conversions; a Decimal holds them exactly as well.
    constexpr std::size_t kIntDigits = 1000;
    if (text.size() <= kIntDigits + 1) return check(PyLong_FromString(text.c_str(), nullptr, 10));
    return decimal(text);
}

PyObject* decimal(std::string_view literal) {
    Ref module(check(PyImport_ImportModule("decimal")));
    Ref type(check(PyObject_GetAttrString(module.get(), "Decimal")));
    Ref arg(str(literal));
    return check(PyObject_CallFunctionObjArgs(type.get(), arg.get(), nullptr));
}

// ---------------------------------------------------------------------------
// Argument binding and extraction

Call::~Call() {
    for (PyObject* obj : keep_alive_) Py_DECREF(obj);
}

std::string Call::display_name() const {
    std::string name;
    if (cls_ != nullptr) {
        name += cls_->name;
        name += ".";
    }
    name += fn_.name;
    name += "()";
    return name;
}

void Call::bind(const Args& args) {
    const std::size_t n = fn_.params.size();
    std::array<PyObject*, kMaxParams> bound{};
    const Py_ssize_t given = args.is_vector ? args.nargs : (args.tuple != nullptr ? PyTuple_Size(args.tuple) : 0);
    std::size_t required = 0;
    while (required < n && !fn_.params[required].has_default) ++required;

    if (static_cast<std::size_t>(given) > n) {
        std::string msg = display_name();
        if (required < n) {
            msg += " takes from " + std::to_string(required) + " to " + std::to_string(n);
        } else {
            msg += " takes " + std::to_string(n);
        }
        msg += " positional arguments but " + std::to_string(given) + (given == 1 ? " was" : " were") + " given";
        raise(PyExc_TypeError, msg);
    }
    for (Py_ssize_t i = 0; i < given; ++i) bound[i] = args.is_vector ? args.vector[i] : PyTuple_GetItem(args.tuple, i);

    auto keyword = [&](PyObject* key, PyObject* value) {
        std::size_t match = n;
        for (std::size_t i = 0; i < n; ++i) {
            if (PyUnicode_Check(key) && PyUnicode_CompareWithASCIIString(key, fn_.params[i].name) == 0) {
                match = i;
                break;
            }
        }
        if (match == n) {
            raise(PyExc_TypeError,
                  display_name() + " got an unexpected keyword argument '" + str_of(key, "?") + "'");
        }
        if (bound[match] != nullptr) {
            raise(PyExc_TypeError,
                  display_name() + " got multiple values for argument '" + fn_.params[match].name + "'");
        }
        bound[match] = value;
    };
    if (args.is_vector && args.kwnames != nullptr) {
        const Py_ssize_t count = PyTuple_Size(args.kwnames);
        for (Py_ssize_t j = 0; j < count; ++j) keyword(PyTuple_GetItem(args.kwnames, j), args.vector[given + j]);
    } else if (args.dict != nullptr) {
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(args.dict, &pos, &key, &value)) keyword(key, value);
    }

    std::vector<const char*> missing;
    for (std::size_t i = 0; i < required; ++i) {
        if (bound[i] == nullptr) missing.push_back(fn_.params[i].name);
    }
    if (!missing.empty()) {
        std::string msg = display_name() + " missing " + std::to_string(missing.size()) +
                          " required positional argument" + (missing.size() == 1 ? "" : "s") + ": " +
                          quoted_list(missing);
        raise(PyExc_TypeError, msg);
    }

    for (std::size_t i = 0; i < n; ++i) {
        if (bound[i] == nullptr) {
            slots_[i].number = fn_.params[i].default_float;
            slots_[i].count = fn_.params[i].default_unsigned;
            continue;
        }
        extract(i, bound[i]);
    }
}

void Call::bind_single(PyObject* operand) { extract(0, operand); }

std::string_view Call::utf8(PyObject* obj) {
    if (AsUtf8AndSize fn = as_utf8_and_size()) {
        Py_ssize_t size = 0;
        const char* data = fn(obj, &size);
        if (data == nullptr) throw_current();
        return {data, static_cast<std::size_t>(size)};
    }
    PyObject* bytes = PyUnicode_AsUTF8String(obj);
    if (bytes == nullptr) throw_current();
    keep_alive_.push_back(bytes);
    char* data = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_AsStringAndSize(bytes, &data, &size) != 0) throw_current();
    encoding_poller_.tick(static_cast<std::size_t>(size) + 64);
    return {data, static_cast<std::size_t>(size)};
}

namespace {

// Calls `each(element)` for every element of a sequence argument, holding a
// reference to each element until the call ends.
template <typename Each>
void for_each_element(PyObject* seq, std::vector<PyObject*>& keep_alive, Each each) {
    if (PyList_CheckExact(seq) || PyTuple_CheckExact(seq)) {
        const bool is_list = PyList_CheckExact(seq);
        keep_alive.reserve(keep_alive.size() + static_cast<std::size_t>(is_list ? PyList_Size(seq) : PyTuple_Size(seq)));
        for (Py_ssize_t i = 0;; ++i) {
            Py_ssize_t size = is_list ? PyList_Size(seq) : PyTuple_Size(seq);
            if (i >= size) break;
            PyObject* item = is_list ? PyList_GetItem(seq, i) : PyTuple_GetItem(seq, i);
            if (item == nullptr) throw_current();
            Py_INCREF(item);
            keep_alive.push_back(item);
            each(item);
        }
        return;
    }
    Ref iter(PyObject_GetIter(seq));
    if (!iter) throw_current();
    while (PyObject* item = PyIter_Next(iter.get())) {
        keep_alive.push_back(item);  // owns the reference PyIter_Next returned
        each(item);
    }
    if (PyErr_Occurred()) throw PyErrorSet{};
}

void check_sequence(PyObject* obj) {
    if (PyUnicode_Check(obj)) throw Mismatch{obj, "Sequence", "a sequence", "Can't extract `str` to `Vec`"};
    if (!PySequence_Check(obj)) throw Mismatch{obj, "Sequence", "a sequence"};
}

// A reservation for the elements to come. Only a list's or tuple's length is
// trusted in full: any other object's __len__ may claim anything.
std::size_t size_hint(PyObject* obj) {
    Py_ssize_t n = PyObject_Size(obj);
    if (n < 0) {
        PyErr_Clear();
        return 0;
    }
    const bool exact = PyList_CheckExact(obj) || PyTuple_CheckExact(obj) || PyAnySet_Check(obj);
    return exact ? static_cast<std::size_t>(n) : std::min<std::size_t>(static_cast<std::size_t>(n), 4096);
}

}  // namespace

void Call::extract(std::size_t i, PyObject* obj) {
    Slot& slot = slots_[i];
    const Param& param = fn_.params[i];
    auto text_of = [this](PyObject* o) {
        if (!PyUnicode_Check(o)) throw Mismatch{o, "PyString", "a str"};
        return utf8(o);
    };
    auto pair_of = [&text_of](PyObject* o) {
        if (!PyTuple_Check(o)) throw Mismatch{o, "PyTuple", "a tuple"};
        Py_ssize_t n = PyTuple_Size(o);
        if (n != 2) {
            raise(PyExc_ValueError,
                  "expected tuple of length 2, but got tuple of length " + std::to_string(n));
        }
        try {
            std::string_view first = text_of(PyTuple_GetItem(o, 0));
            std::string_view second = text_of(PyTuple_GetItem(o, 1));
            return Pair{first, second};
        } catch (Mismatch& m) {
            m.in_pair = true;
            throw;
        }
    };
    try {
        switch (param.kind) {
            case Kind::Text:
                slot.text = text_of(obj);
                break;
            case Kind::OptTextEmpty:
            case Kind::OptTextKeep:
                if (obj == Py_None) slot.none = true;
                else slot.text = text_of(obj);
                break;
            case Kind::TextList:
            case Kind::TextSet: {
                if (param.kind == Kind::TextList) check_sequence(obj);
                else if (!PyAnySet_Check(obj)) throw Mismatch{obj, "PySet", "a set"};
                auto& texts = make_lists(i).texts;
                texts.reserve(size_hint(obj));
                for_each_element(obj, keep_alive_, [&](PyObject* o) { texts.push_back(text_of(o)); });
                break;
            }
            case Kind::OptTextList: {
                check_sequence(obj);
                auto& opt_texts = make_lists(i).opt_texts;
                opt_texts.reserve(size_hint(obj));
                for_each_element(obj, keep_alive_, [&](PyObject* o) {
                    if (o == Py_None) opt_texts.emplace_back(std::nullopt);
                    else opt_texts.emplace_back(text_of(o));
                });
                break;
            }
            case Kind::TextPair: {
                Pair p = pair_of(obj);
                slot.text = p.first;
                slot.second = p.second;
                break;
            }
            case Kind::TextPairList: {
                check_sequence(obj);
                auto& pairs = make_lists(i).pairs;
                pairs.reserve(size_hint(obj));
                for_each_element(obj, keep_alive_, [&](PyObject* o) { pairs.push_back(pair_of(o)); });
                break;
            }
            case Kind::Bytes: {
                if (!PyBytes_Check(obj)) throw Mismatch{obj, "PyBytes", "bytes"};
                char* data = nullptr;
                Py_ssize_t size = 0;
                if (PyBytes_AsStringAndSize(obj, &data, &size) != 0) throw PyErrorSet{};
                slot.text = std::string_view(data, static_cast<std::size_t>(size));
                break;
            }
            case Kind::Float: {
                double d = PyFloat_AsDouble(obj);
                if (d == -1.0 && PyErr_Occurred()) throw PyErrorSet{};
                slot.number = d;
                break;
            }
            case Kind::Unsigned: {
                Ref index;
                PyObject* as_int = obj;
                if (!PyLong_Check(obj)) {
                    index = Ref(PyNumber_Index(obj));
                    if (!index) throw_current();
                    as_int = index.get();
                }
                unsigned long long v = PyLong_AsUnsignedLongLong(as_int);
                if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw PyErrorSet{};
                slot.count = v;
                break;
            }
        }
    } catch (const Mismatch& m) {
        // An element's position is the count of those extracted before it.
        const std::size_t position = m.obj == obj ? std::string::npos : extracted(i);
        if (ext_functions().contains(&fn_)) raise_ext_mismatch(param, m, position);
        raise_native_mismatch(param, m);
    } catch (const PyErrorSet&) {
        wrap_argument_error(param.name);
        throw;
    }
}

std::size_t Call::extracted(std::size_t i) const {
    const Lists& l = lists(i);
    return std::max({l.texts.size(), l.opt_texts.size(), l.pairs.size()});
}

void* Call::native_state(PyObject* self) {
    // Only a constructor that failed half-way leaves an object without its
    // state, and such an object is never handed out; refuse rather than crash.
    void* state = as_instance(self)->state;
    if (state == nullptr) raise(PyExc_RuntimeError, "object is not initialised");
    return state;
}

void Call::set_native_state(PyObject* self, void* state, void (*destroy)(void*)) {
    Instance* inst = as_instance(self);
    if (inst->state != nullptr) inst->destroy(inst->state);
    inst->state = state;
    inst->destroy = destroy;
}

PyObject* Call::new_instance_raw(void* state, void (*destroy)(void*)) {
    auto* type = reinterpret_cast<PyTypeObject*>(cls_->type);
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    PyObject* obj = alloc(type, 0);
    if (obj == nullptr) {
        destroy(state);
        throw_current();
    }
    set_native_state(obj, state, destroy);
    return obj;
}

// ---------------------------------------------------------------------------
// Modules

namespace {

PyObject* create_module_once(ModuleOnce& once) {
    const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1) throw_current();
    std::int64_t expected = -1;
    if (!once.interpreter.compare_exchange_strong(expected, id) && expected != id) {
        raise(PyExc_ImportError, std::string("zemo_etl.") + once.name +
                                     " does not support subinterpreters: it was already initialised in another "
                                     "interpreter of this process");
    }
    if (once.module != nullptr) {
        Py_INCREF(once.module);
        return once.module;
    }
    once.definition.m_name = once.name;
    once.definition.m_doc = once.doc;
    Ref module(check(PyModule_Create(&once.definition)));
    once.fill(module.get());
    Py_INCREF(module.get());
    once.module = module.get();
    return module.release();
}

}  // namespace

PyObject* init_module_once(ModuleOnce& once) noexcept {
    PyObject* module = nullptr;
    guarded([&] { module = create_module_once(once); });
    return module;
}

// ---------------------------------------------------------------------------
// Calls

namespace {

// The interrupt check of every call: pending signals run their Python
// handlers here, on the calling thread, which holds the interpreter lock; a
// handler that raises (SIGINT's KeyboardInterrupt) stops the library work.
bool python_signal_raised() { return PyErr_CheckSignals() != 0; }

}  // namespace

PyObject* call_function(const Function& fn, const ClassInfo* cls, PyObject* self, const Args& args) noexcept {
    PyObject* result = nullptr;
    const InterruptScope interrupts(&python_signal_raised);
    guarded([&] {
        Call call(fn, cls, self);
        Borrow borrow(self, fn.receiver);
        if (!fn.no_args) call.bind(args);
        result = fn.impl(call);
    });
    return result;
}

// ---------------------------------------------------------------------------
// Work without the interpreter lock

namespace {

// The released scope of this thread: its saved thread state, and when its
// check next takes the lock back.
thread_local PyThreadState* t_released_state = nullptr;
thread_local std::chrono::steady_clock::time_point t_relock_due{};

bool released_signal_raised() {
    const auto now = std::chrono::steady_clock::now();
    if (now < t_relock_due) return false;
    PyEval_RestoreThread(t_released_state);
    const bool raised = PyErr_CheckSignals() != 0;  // may run a handler that calls us again
    t_released_state = PyEval_SaveThread();
    t_relock_due = std::chrono::steady_clock::now() + LockReleased::kRelockInterval;
    return raised;
}

// Appends `s` at `*at` and returns where it now lies.
std::string_view put(char*& at, std::string_view s) {
    if (!s.empty()) std::memcpy(at, s.data(), s.size());
    const std::string_view placed(at, s.size());
    at += s.size();
    return placed;
}

}  // namespace

LockReleased::LockReleased() noexcept
    : previous_state_(t_released_state),
      previous_due_(t_relock_due),
      interrupts_(&released_signal_raised) {
    t_relock_due = std::chrono::steady_clock::now() + kRelockInterval;
    t_released_state = PyEval_SaveThread();
}

LockReleased::~LockReleased() {
    PyEval_RestoreThread(t_released_state);
    t_released_state = previous_state_;
    t_relock_due = previous_due_;
}

OwnedTexts copy_texts(const std::vector<std::string_view>& texts) {
    OwnedTexts out;
    std::size_t total = 0;
    for (std::string_view t : texts) total += t.size();
    out.bytes = std::make_unique<char[]>(total);
    char* at = out.bytes.get();
    out.views.reserve(texts.size());
    for (std::string_view t : texts) out.views.push_back(put(at, t));
    return out;
}

OwnedOptTexts copy_texts(const std::vector<std::optional<std::string_view>>& texts) {
    OwnedOptTexts out;
    std::size_t total = 0;
    for (const auto& t : texts) total += t ? t->size() : 0;
    out.bytes = std::make_unique<char[]>(total);
    char* at = out.bytes.get();
    out.views.reserve(texts.size());
    for (const auto& t : texts) out.views.push_back(t ? std::optional(put(at, *t)) : std::nullopt);
    return out;
}

OwnedPairs copy_pairs(const std::vector<Pair>& pairs) {
    OwnedPairs out;
    std::size_t total = 0;
    for (const Pair& p : pairs) total += p.first.size() + p.second.size();
    out.bytes = std::make_unique<char[]>(total);
    char* at = out.bytes.get();
    out.views.reserve(pairs.size());
    for (const Pair& p : pairs) {
        const std::string_view first = put(at, p.first);
        out.views.emplace_back(first, put(at, p.second));
    }
    return out;
}

// ---------------------------------------------------------------------------
// Registration

void add_member(PyObject* module, const char* name, PyObject* value) {
    Ref owned(value);
    Ref all(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_current();
        PyErr_Clear();
        all = Ref(check(PyList_New(0)));
        if (PyObject_SetAttrString(module, "__all__", all.get()) != 0) throw_current();
    }
    Ref key(check(PyUnicode_FromString(name)));
    if (PyList_Append(all.get(), key.get()) != 0) throw_current();
    if (PyObject_SetAttrString(module, name, owned.get()) != 0) throw_current();
}

namespace {

// The name under which the package registers `module` in sys.modules: the
// submodules' bare __name__ ("text") gets the package prefix, _ext already has it.
std::string registered_name(PyObject* module) {
    const char* name = PyModule_GetName(module);
    if (name == nullptr) throw PyErrorSet{};
    std::string dotted(name);
    return dotted.rfind("zemo_etl.", 0) == 0 ? dotted : "zemo_etl." + dotted;
}

}  // namespace

void add_function(PyObject* module, const Function& fn, std::pair<PyCFunction, int> entry) {
    static std::deque<PyMethodDef> defs;
    defs.push_back(PyMethodDef{fn.name, entry.first, entry.second, signature_doc(fn.name, fn, false, fn.doc)});
    // __module__ is the registered dotted name, so pickle can find the function again.
    std::string dotted = registered_name(module);
    if (dotted == kExtName) ext_functions().insert(&fn);
    Ref module_name(check(PyUnicode_FromStringAndSize(dotted.data(), static_cast<Py_ssize_t>(dotted.size()))));
    PyObject* func = check(PyCFunction_NewEx(&defs.back(), module, module_name.get()));
    add_member(module, fn.name, func);
}

namespace {

void instance_dealloc(PyObject* self) {
    Instance* inst = as_instance(self);
    if (inst->state != nullptr) {
        void* state = inst->state;
        inst->state = nullptr;
        if (!guarded([&] { inst->destroy(state); })) PyErr_WriteUnraisable(self);
    }
    PyTypeObject* type = Py_TYPE(self);
    auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_fn(self);
    Py_DECREF(type);
}

PyObject* iter_self(PyObject* self) {
    Py_INCREF(self);
    return self;
}

}  // namespace

PyObject* class_new(const ClassInfo& cls, PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    PyObject* obj = alloc(type, 0);
    if (obj == nullptr) return nullptr;
    PyObject* result = call_function(*cls.constructor, &cls, obj, Args{.tuple = args, .dict = kwargs});
    if (result == nullptr) {
        Py_DECREF(obj);
        return nullptr;
    }
    Py_DECREF(result);
    return obj;
}

int class_contains(const ClassInfo& cls, PyObject* self, PyObject* key) {
    PyObject* result = nullptr;
    guarded([&] {
        Call call(*cls.contains, &cls, self);
        Borrow borrow(self, cls.contains->receiver);
        call.bind_single(key);
        result = cls.contains->impl(call);
    });
    if (result == nullptr) return -1;
    int answer = PyObject_IsTrue(result);
    Py_DECREF(result);
    return answer;
}

PyObject* class_next(const ClassInfo& cls, PyObject* self) {
    return call_function(*cls.next, &cls, self, Args{});
}

Py_ssize_t class_length(const ClassInfo& cls, PyObject* self) {
    PyObject* result = call_function(*cls.length, &cls, self, Args{});
    if (result == nullptr) return -1;
    Py_ssize_t n = PyLong_AsSsize_t(result);
    Py_DECREF(result);
    return n;
}

void new_class(PyObject* module, const ClassInfo& cls, std::vector<PyMethodDef>& defs, newfunc tp_new,
               objobjproc contains, lenfunc length, iternextfunc next) {
    for (std::size_t i = 0; i < cls.methods.size(); ++i) {
        const Function& m = cls.methods[i];
        defs[i].ml_doc = signature_doc(m.name, m, m.receiver != Receiver::Static, m.doc);
    }
    defs.push_back(PyMethodDef{nullptr, nullptr, 0, nullptr});
    std::vector<PyType_Slot> slots = {
        {Py_tp_new, reinterpret_cast<void*>(tp_new)},
        {Py_tp_dealloc, reinterpret_cast<void*>(&instance_dealloc)},
        {Py_tp_doc, const_cast<char*>(signature_doc(cls.name, *cls.constructor, false, cls.doc))},
        {Py_tp_methods, defs.data()},
    };
    if (cls.contains != nullptr) slots.push_back({Py_sq_contains, reinterpret_cast<void*>(contains)});
    if (cls.length != nullptr) slots.push_back({Py_sq_length, reinterpret_cast<void*>(length)});
    if (cls.next != nullptr) {
        slots.push_back({Py_tp_iter, reinterpret_cast<void*>(&iter_self)});
        slots.push_back({Py_tp_iternext, reinterpret_cast<void*>(next)});
    }
    slots.push_back({0, nullptr});
    // The dotted type name gives the type its __module__ ("zemo_etl.state");
    // __name__ and __qualname__ stay the bare class name.
    static std::deque<std::string> qualified_names;
    const std::string dotted = registered_name(module);
    if (dotted == kExtName) {
        for (const Function* fn : {cls.constructor, cls.contains, cls.length, cls.next}) {
            if (fn != nullptr) ext_functions().insert(fn);
        }
        for (const Function& m : cls.methods) ext_functions().insert(&m);
    }
    qualified_names.push_back(dotted + "." + cls.name);
    PyType_Spec type_spec{qualified_names.back().c_str(), static_cast<int>(sizeof(Instance)), 0, Py_TPFLAGS_DEFAULT,
                     slots.data()};
    PyObject* type = PyType_FromSpec(&type_spec);
    if (type == nullptr) {
        chain_pending(PyExc_RuntimeError, std::string("An error occurred while initializing class ") + cls.name, false);
        throw PyErrorSet{};
    }
    cls.type = type;
}

}  // namespace zemo::py
