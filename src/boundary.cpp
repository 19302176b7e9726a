#include "boundary.hpp"

#include <cstdio>
#include <cstring>

#include "util/memory.hpp"

namespace nuvek::py {

// ---------------------------------------------------------------------------
// Failures

namespace {

// The current exception, taken out of the interpreter's error indicator.
struct Fetched {
    Ref type, value, traceback;
};

Fetched fetch_normalized() {
    Fetched f;
#if PY_VERSION_HEX >= 0x030C0000
    PyObject* exc = PyErr_GetRaisedException();
    if (exc) {
        f.type = Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(exc)));
        f.traceback = Ref::steal(PyException_GetTraceback(exc));
        f.value = Ref::steal(exc);
    }
#else
    PyObject *t = nullptr, *v = nullptr, *tb = nullptr;
    PyErr_Fetch(&t, &v, &tb);
    PyErr_NormalizeException(&t, &v, &tb);
    if (tb && v) PyException_SetTraceback(v, tb);
    f.type = Ref::steal(t);
    f.value = Ref::steal(v);
    f.traceback = Ref::steal(tb);
#endif
    return f;
}

void restore(Fetched&& f) {
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(f.value.release());
#else
    PyErr_Restore(f.type.release(), f.value.release(), f.traceback.release());
#endif
}

// The str of an exception value, or a stand-in when that fails too.
std::string describe(PyObject* value) {
    if (value) {
        Ref text = Ref::steal(PyObject_Str(value));
        if (text) {
            Py_ssize_t size = 0;
            const char* data = PyUnicode_AsUTF8AndSize(text.get(), &size);
            if (data) return std::string(data, static_cast<std::size_t>(size));
        }
        PyErr_Clear();
    }
    return "<unprintable exception>";
}

const char* short_file_name(const char* path) {
    const char* at = std::strstr(path, "src/");
    return at ? at : path;
}

}  // namespace

PyObject* panic_exception_type() {
    static PyObject* type = nullptr;  // created once, kept for the process
    if (!type) {
        type = PyErr_NewExceptionWithDoc(
            "nuvek.PanicException",
            "Raised when native code called from Python meets a state it does not handle "
            "and stops.\n\nLike SystemExit, it derives from BaseException so that it typically "
            "propagates all the way up and makes the interpreter exit.",
            PyExc_BaseException, nullptr);
    }
    return type;
}

void raise_panic(const std::string& message, const std::source_location& where) {
    std::fprintf(stderr, "nuvek: internal failure at %s:%u: %s\n", short_file_name(where.file_name()),
                 static_cast<unsigned>(where.line()), message.c_str());
    std::fflush(stderr);
    PyObject* type = panic_exception_type();
    if (!type) return;  // the error of creating the type stays set
    Ref text = Ref::steal(PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
    if (!text) return;
    PyErr_SetObject(type, text.get());
}

void add_note_to_current(const std::string& note) {
    Fetched f = fetch_normalized();
    if (!f.value) return;
    Ref text = Ref::steal(PyUnicode_DecodeUTF8(note.data(), static_cast<Py_ssize_t>(note.size()), "replace"));
    if (!text) return;
#if PY_VERSION_HEX >= 0x030B0000
    Ref done = Ref::steal(PyObject_CallMethod(f.value.get(), "add_note", "O", text.get()));
    if (!done) return;
#else
    Ref notes = Ref::steal(PyObject_GetAttrString(f.value.get(), "__notes__"));
    if (!notes) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return;
        PyErr_Clear();
        notes = Ref::steal(PyList_New(0));
        if (!notes || PyObject_SetAttrString(f.value.get(), "__notes__", notes.get()) < 0) return;
    }
    if (!PyList_Check(notes.get())) {
        PyErr_SetString(PyExc_TypeError, "Cannot add note: __notes__ is not a list");
        return;
    }
    if (PyList_Append(notes.get(), text.get()) < 0) return;
#endif
    restore(std::move(f));
}

std::string take_error_text() {
    Fetched f = fetch_normalized();
    return describe(f.value.get());
}

bool run_signal_handlers() noexcept { return PyErr_CheckSignals() == 0; }

void rewrite_argument_error(const char* name) {
    if (!PyErr_Occurred()) return;
    Fetched f = fetch_normalized();
    if (f.type.get() != PyExc_TypeError) {
        restore(std::move(f));
        return;
    }
    std::string message = "argument '" + std::string(name) + "': " + describe(f.value.get());
    Ref text = Ref::steal(PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
    if (!text) return;
    Ref replacement = Ref::steal(PyObject_CallOneArg(PyExc_TypeError, text.get()));
    if (!replacement) return;
    PyObject* cause = PyException_GetCause(f.value.get());  // new reference or null
    if (cause) PyException_SetCause(replacement.get(), cause);  // steals cause
    PyErr_SetObject(PyExc_TypeError, replacement.get());
}

// ---------------------------------------------------------------------------
// Argument binding

std::string Signature::full_name() const {
    std::string out;
    if (class_name) {
        out += class_name;
        out += '.';
    }
    out += name;
    out += "()";
    return out;
}

namespace {

[[noreturn]] void throw_type_error(std::string message) { throw ErrorValue{PyExc_TypeError, std::move(message)}; }

void check_positional_count(const Signature& sig, Py_ssize_t given) {
    const auto n = static_cast<Py_ssize_t>(sig.positional());
    if (given <= n) return;
    throw_type_error(sig.full_name() + " takes " + std::to_string(n) + " positional arguments but " +
                     std::to_string(given) + (given == 1 ? " was" : " were") + " given");
}

void bind_keyword(const Signature& sig, PyObject* name, PyObject* value, PyObject** out) {
    const std::string fallback = PyUnicode_Check(name) ? std::string() : describe(name);
    const std::string_view key = PyUnicode_Check(name) ? to_text(name) : std::string_view(fallback);
    for (std::size_t i = 0; i < sig.params.size(); ++i) {
        if (key != sig.params[i]) continue;
        if (out[i]) throw_type_error(sig.full_name() + " got multiple values for argument '" + std::string(key) + "'");
        out[i] = value;
        return;
    }
    throw_type_error(sig.full_name() + " got an unexpected keyword argument '" + std::string(key) + "'");
}

void check_missing(const Signature& sig, PyObject** out) {
    std::vector<const char*> missing;
    for (std::size_t i = 0; i < sig.positional(); ++i)
        if (!out[i]) missing.push_back(sig.params[i]);
    if (missing.empty()) return;
    std::string list;
    for (std::size_t i = 0; i < missing.size(); ++i) {
        if (i > 0) list += missing.size() == 2 ? " and " : (i + 1 == missing.size() ? ", and " : ", ");
        list += '\'';
        list += missing[i];
        list += '\'';
    }
    throw_type_error(sig.full_name() + " missing " + std::to_string(missing.size()) + " required positional " +
                     (missing.size() == 1 ? "argument" : "arguments") + ": " + list);
}

}  // namespace

void bind_fast(const Signature& sig, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames, PyObject** out) {
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    check_positional_count(sig, nargs);
    for (std::size_t i = 0; i < sig.params.size(); ++i) out[i] = nullptr;
    for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
    if (kwnames) {
        const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t i = 0; i < nkw; ++i) bind_keyword(sig, PyTuple_GET_ITEM(kwnames, i), args[nargs + i], out);
    }
    check_missing(sig, out);
}

void bind_tuple(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out) {
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    check_positional_count(sig, nargs);
    for (std::size_t i = 0; i < sig.params.size(); ++i) out[i] = nullptr;
    for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = PyTuple_GET_ITEM(args, i);
    if (kwargs) {
        Py_ssize_t pos = 0;
        PyObject *key = nullptr, *value = nullptr;
        while (PyDict_Next(kwargs, &pos, &key, &value)) bind_keyword(sig, key, value, out);
    }
    check_missing(sig, out);
}

// ---------------------------------------------------------------------------
// Conversions from Python

void throw_type_check(PyObject* obj, const char* target) {
    std::string type_name = "<failed to extract type name>";
    Ref qualname = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__qualname__"));
    if (qualname && PyUnicode_Check(qualname.get())) {
        Py_ssize_t size = 0;
        const char* data = PyUnicode_AsUTF8AndSize(qualname.get(), &size);
        if (data) type_name.assign(data, static_cast<std::size_t>(size));
    }
    PyErr_Clear();
    throw_type_error("'" + type_name + "' object cannot be converted to '" + target + "'");
}

std::string_view to_text(PyObject* obj) {
    if (!PyUnicode_Check(obj)) throw_type_check(obj, "PyString");
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(obj, &size);
    if (!data) throw PyErrorAlreadySet{};
    return {data, static_cast<std::size_t>(size)};
}

StrArg to_str_arg(PyObject* obj) { return {obj, to_text(obj)}; }

std::string to_path(PyObject* obj) {
    if (PyUnicode_Check(obj)) return std::string(to_text(obj));
    // os.fspath: the type's __fspath__ gives the path; only a str path is
    // taken, a bytes path is refused as any other non-str argument is.
    if (!PyObject_HasAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__fspath__"))
        throw_type_check(obj, "PyString");
    Ref path = check(PyOS_FSPath(obj));
    if (!PyUnicode_Check(path.get())) throw_type_check(obj, "PyString");
    return std::string(to_text(path.get()));
}

bool to_bool(PyObject* obj) {
    if (obj == Py_True) return true;
    if (obj == Py_False) return false;
    throw_type_check(obj, "PyBool");
}

double to_double(PyObject* obj) {
    if (PyFloat_CheckExact(obj)) return PyFloat_AS_DOUBLE(obj);
    const double v = PyFloat_AsDouble(obj);
    if (v == -1.0 && PyErr_Occurred()) throw PyErrorAlreadySet{};
    return v;
}

std::uint8_t to_u8(PyObject* obj) {
    Ref index = check(PyNumber_Index(obj));
    const long v = PyLong_AsLong(index.get());
    if (v == -1 && PyErr_Occurred()) throw PyErrorAlreadySet{};
    if (v < 0 || v > 255) throw ErrorValue{PyExc_OverflowError, "out of range integral type conversion attempted"};
    return static_cast<std::uint8_t>(v);
}

std::uint64_t to_u64(PyObject* obj) {
    if (PyLong_CheckExact(obj)) {
        const unsigned long long v = PyLong_AsUnsignedLongLong(obj);
        if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw PyErrorAlreadySet{};
        return v;
    }
    Ref index = check(PyNumber_Index(obj));
    const unsigned long long v = PyLong_AsUnsignedLongLong(index.get());
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw PyErrorAlreadySet{};
    return v;
}

namespace {

bool is_abc_sequence(PyObject* obj) {
    static PyObject* sequence_abc = nullptr;  // kept for the process
    if (!sequence_abc) {
        Ref abc = check(PyImport_ImportModule("collections.abc"));
        sequence_abc = check(PyObject_GetAttrString(abc.get(), "Sequence")).release();
    }
    const int r = PyObject_IsInstance(obj, sequence_abc);
    check_status(r);
    return r == 1;
}

}  // namespace

std::vector<std::uint64_t> to_u64_vector(PyObject* obj) {
    if (PyUnicode_Check(obj)) throw ErrorValue{PyExc_ValueError, "Can't extract `str` to `Vec`"};
    if (!PyList_Check(obj) && !PyTuple_Check(obj) && !is_abc_sequence(obj)) throw_type_check(obj, "Sequence");
    std::vector<std::uint64_t> out;
    // A sequence's length is part of it: an exception from __len__ (one that
    // raises, or returns a value that is negative or beyond an index) is
    // the conversion's failure.
    const Py_ssize_t size = PySequence_Size(obj);
    if (size < 0) throw PyErrorAlreadySet{};
    require_fits(static_cast<std::uint64_t>(size), sizeof(std::uint64_t));
    out.reserve(static_cast<std::size_t>(size));
    Ref iter = check(PyObject_GetIter(obj));
    while (true) {
        Ref item = Ref::steal(PyIter_Next(iter.get()));
        if (!item) {
            if (PyErr_Occurred()) throw PyErrorAlreadySet{};
            break;
        }
        out.push_back(to_u64(item.get()));
        if (out.size() % (1u << 20) == 0) check_signals();
    }
    return out;
}

// ---------------------------------------------------------------------------
// Conversions to Python

Ref to_py(std::string_view text) {
    return check(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "strict"));
}
Ref to_py_from(const StrArg& source, std::string_view text) {
    if (text.data() == source.text.data() && text.size() == source.text.size() && PyUnicode_CheckExact(source.object))
        return Ref::borrow(source.object);
    if (!PyUnicode_IS_ASCII(source.object)) return to_py(text);
    // Text drawn from ASCII text is ASCII: copied in without decoding.
    Ref out = check(PyUnicode_New(static_cast<Py_ssize_t>(text.size()), 127));
    if (!text.empty()) std::memcpy(PyUnicode_1BYTE_DATA(out.get()), text.data(), text.size());
    return out;
}

Ref to_py_u64(std::uint64_t v) { return check(PyLong_FromUnsignedLongLong(v)); }
Ref to_py_double(double v) { return check(PyFloat_FromDouble(v)); }
Ref to_py_bool(bool v) { return Ref::borrow(v ? Py_True : Py_False); }
Ref none() { return Ref::borrow(Py_None); }

Ref new_dict(std::size_t n) {
#if PY_VERSION_HEX < 0x030D0000
    // Sized in advance: get_kmer_to_idx(10) takes a quarter less time than
    // when the dict grows as it is filled. From 3.13 the call is gone.
    return check(_PyDict_NewPresized(static_cast<Py_ssize_t>(n)));
#else
    (void)n;
    return check(PyDict_New());
#endif
}
Ref not_implemented() { return Ref::borrow(Py_NotImplemented); }

// ---------------------------------------------------------------------------
// Classes

PyTypeObject* make_class(const char* qualified_name, std::size_t basicsize, PyType_Slot* slots) {
    unsigned int flags = Py_TPFLAGS_DEFAULT;
#ifdef Py_TPFLAGS_IMMUTABLETYPE
    flags |= Py_TPFLAGS_IMMUTABLETYPE;
#endif
    PyType_Spec type_spec{qualified_name, static_cast<int>(basicsize), 0, flags, slots};
    PyObject* type = PyType_FromSpec(&type_spec);
    if (!type) {
        PyErr_PrintEx(0);
        const char* dot = std::strrchr(qualified_name, '.');
        throw Panic(std::string("An error occurred while initializing class ") + (dot ? dot + 1 : qualified_name));
    }
    return reinterpret_cast<PyTypeObject*>(type);
}

void throw_not_instance(PyObject* obj, PyTypeObject* type) {
    const char* dot = std::strrchr(type->tp_name, '.');
    throw_type_check(obj, dot ? dot + 1 : type->tp_name);
}

void throw_borrowed(bool exclusive) {
    throw ErrorValue{PyExc_RuntimeError, exclusive ? "Already borrowed" : "Already mutably borrowed"};
}

}  // namespace nuvek::py
