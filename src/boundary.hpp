// The call boundary between Python and native code: failures, owned
// references, argument binding, conversions and classes.
//
// Every Python-visible callable (see boundary_callables.hpp, which declares
// them):
//   1. runs its body inside `guarded`, which turns every C++ failure into a
//      Python exception (never letting one escape into the interpreter);
//   2. checks and borrows its instance (`SharedBorrow`, `ExclusiveBorrow`);
//   3. binds its arguments against a static `Signature` (`bind_fast` for the
//      fast calling convention, `bind_tuple` for constructors);
//   4. converts each argument with `arg(name, obj, converter)`, which applies
//      the argument-error rewrite to a failed conversion;
//   5. runs the native operation and converts its result to a new reference.
// Every reference the boundary holds is owned by a `Ref`; every C API call
// that can fail is checked, and a failure with a Python exception set
// unwinds as `PyErrorAlreadySet`.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <limits>
#include <new>
#include <span>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "panic.hpp"
#include "util/signals.hpp"

namespace nuvek::py {

// ---------------------------------------------------------------------------
// Failures

// A C API call failed and left a Python exception set (or, if it did not,
// the boundary raises SystemError for it).
struct PyErrorAlreadySet {};

// An expected failure, raised as the named Python exception with a message.
struct ErrorValue {
    PyObject* type;  // borrowed: one of the interpreter's exception types
    std::string message;
};

// Raises PanicException carrying `message` after writing a diagnostic with
// the failure's source location to standard error.
void raise_panic(const std::string& message, const std::source_location& where);

// Adds note to the exception currently set (add_note on Python 3.11+, the
// __notes__ list before); a failure to add it replaces that exception.
void add_note_to_current(const std::string& note);

// Takes the exception currently set out of the interpreter and returns its
// str (a stand-in when that fails too).
std::string take_error_text();

// Runs the interpreter's pending signal handlers; false when one raised.
// Installed as native code's signal hook at import.
bool run_signal_handlers() noexcept;

// The PanicException type (created once, on first need); null with an
// exception set if it could not be created.
PyObject* panic_exception_type();

// Runs body (which returns a new reference or null-with-exception) and turns
// every C++ exception into the matching Python exception.
template <class Body>
PyObject* guarded(Body&& body) noexcept {
    try {
        return body();
    } catch (const PyErrorAlreadySet&) {
    } catch (const Interrupted&) {
        // A signal handler raised; its exception is set.
    } catch (const ErrorValue& e) {
        PyErr_SetString(e.type, e.message.c_str());
    } catch (const Panic& p) {
        raise_panic(p.message(), p.where());
        if (!p.note().empty() && PyErr_Occurred()) add_note_to_current(p.note());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        raise_panic(e.what(), std::source_location::current());
    } catch (...) {
        raise_panic("native code failed without a message", std::source_location::current());
    }
    if (!PyErr_Occurred())
        PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
    return nullptr;
}

// ---------------------------------------------------------------------------
// Owned references

class Ref {
public:
    Ref() noexcept = default;
    ~Ref() { Py_XDECREF(p_); }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    Ref& operator=(Ref&& o) noexcept {
        if (this != &o) {
            Py_XDECREF(p_);
            p_ = std::exchange(o.p_, nullptr);
        }
        return *this;
    }

    // Takes over a new reference (which may be null).
    static Ref steal(PyObject* p) noexcept { return Ref(p); }
    // Adds a reference to a borrowed object.
    static Ref borrow(PyObject* p) noexcept {
        Py_XINCREF(p);
        return Ref(p);
    }

    PyObject* get() const noexcept { return p_; }
    // Hands the reference to the caller.
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    explicit operator bool() const noexcept { return p_ != nullptr; }

private:
    explicit Ref(PyObject* p) noexcept : p_(p) {}
    PyObject* p_ = nullptr;
};

// Takes over a new reference returned by a C API call; a null result means
// the call failed and unwinds as PyErrorAlreadySet.
inline Ref check(PyObject* p) {
    if (!p) throw PyErrorAlreadySet{};
    return Ref::steal(p);
}

// Checks the status of a C API call that returns -1 on failure.
inline void check_status(int status) {
    if (status < 0) throw PyErrorAlreadySet{};
}

// Keeps a container that is still being filled out of the garbage
// collector's lists for as long as it lives, and puts it back afterwards.
// A new list's items are NULL until set, and the collector's lists are the
// only way Python code could reach a container not yet handed out: a
// signal handler run between items (check_signals()) or a gc callback
// walking gc.get_objects() would read the NULL items and crash. Declare it
// right after the container's Ref, so that it ends first.
class HiddenFromGc {
public:
    explicit HiddenFromGc(PyObject* container) noexcept
        : container_(PyObject_GC_IsTracked(container) ? container : nullptr) {
        if (container_) PyObject_GC_UnTrack(container_);
    }
    ~HiddenFromGc() {
        if (container_) PyObject_GC_Track(container_);
    }
    HiddenFromGc(const HiddenFromGc&) = delete;
    HiddenFromGc& operator=(const HiddenFromGc&) = delete;

private:
    PyObject* container_;
};
// ---------------------------------------------------------------------------
// Argument binding

struct Signature {
    const char* class_name;  // null for a module function
    const char* name;        // "__new__" for a constructor
    std::span<const char* const> params;
    // The last keyword_only parameters can be given only by keyword and may
    // be left out (their converter supplies the default); every other
    // parameter is required and may be given by position or keyword.
    std::size_t keyword_only = 0;

    std::size_t positional() const { return params.size() - keyword_only; }
    // "name()" or "Class.name()", as used in binding messages.
    std::string full_name() const;
};

// Binds arguments in the fast calling convention with keyword names. out
// receives one borrowed reference per parameter (null for a keyword-only
// parameter that was left out).
void bind_fast(const Signature& sig, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames,
               PyObject** out);

// Binds a constructor's argument tuple and keyword dictionary.
void bind_tuple(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out);

// The argument-error rewrite of the exception currently set: an exception
// of exactly TypeError becomes TypeError("argument 'name': <message>") with
// the same __cause__; any other exception is left as it is.
void rewrite_argument_error(const char* name);

// Converts one argument; a conversion failure whose type is exactly
// TypeError is replaced by TypeError("argument 'name': <message>").
template <class Convert>
auto arg(const char* name, PyObject* obj, Convert convert) -> decltype(convert(obj)) {
    try {
        return convert(obj);
    } catch (const PyErrorAlreadySet&) {
        rewrite_argument_error(name);
        throw;
    } catch (const ErrorValue& e) {
        if (e.type == PyExc_TypeError) throw ErrorValue{PyExc_TypeError, "argument '" + std::string(name) + "': " + e.message};
        throw;
    }
}

// The converter of a keyword-only parameter: Convert for a given argument,
// Default when it was left out.
template <auto Convert, auto Default>
auto keyword_or(PyObject* obj) -> decltype(Convert(obj)) {
    return obj ? Convert(obj) : Default;
}

namespace detail {

template <const Signature& Sig, auto... Convert, std::size_t... I, class Op>
decltype(auto) convert_and_run(PyObject* const* bound, std::index_sequence<I...>, Op&& op) {
    // Braced initialisation converts in parameter order, so the first
    // failing argument is the one reported.
    std::tuple<std::decay_t<decltype(Convert(nullptr))>...> values{arg(Sig.params[I], bound[I], Convert)...};
    return std::apply(std::forward<Op>(op), std::move(values));
}

}  // namespace detail

// Binds a fast call's arguments to Sig, converts them in order with
// Convert..., runs op on the converted values and returns its result. A
// call with exactly the positional parameters and no keywords reads the
// arguments in place.
template <const Signature& Sig, auto... Convert, class Op>
decltype(auto) call_fast(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames, Op&& op) {
    constexpr std::size_t n = sizeof...(Convert);
    static_assert(n == Sig.params.size(), "one converter per parameter");
    if constexpr (Sig.keyword_only == 0) {
        if (!kwnames && PyVectorcall_NARGS(nargsf) == static_cast<Py_ssize_t>(n))
            return detail::convert_and_run<Sig, Convert...>(args, std::make_index_sequence<n>{}, std::forward<Op>(op));
    }
    PyObject* bound[n];
    bind_fast(Sig, args, nargsf, kwnames, bound);
    return detail::convert_and_run<Sig, Convert...>(bound, std::make_index_sequence<n>{}, std::forward<Op>(op));
}

// The same for a constructor's argument tuple and keyword dictionary.
template <const Signature& Sig, auto... Convert, class Op>
decltype(auto) call_tuple(PyObject* args, PyObject* kwargs, Op&& op) {
    constexpr std::size_t n = sizeof...(Convert);
    static_assert(n == Sig.params.size(), "one converter per parameter");
    PyObject* bound[n];
    bind_tuple(Sig, args, kwargs, bound);
    return detail::convert_and_run<Sig, Convert...>(bound, std::make_index_sequence<n>{}, std::forward<Op>(op));
}

// ---------------------------------------------------------------------------
// Conversions from Python

// TypeError "'<qualname>' object cannot be converted to '<target>'".
[[noreturn]] void throw_type_check(PyObject* obj, const char* target);

// A str argument: the object and its UTF-8 text, for an operation that may
// hand the object itself back.
struct StrArg {
    PyObject* object;
    std::string_view text;
};

std::string_view to_text(PyObject* obj);    // str, as its UTF-8 bytes (borrowed for the call)
StrArg to_str_arg(PyObject* obj);           // the same, with the object
std::string to_path(PyObject* obj);         // str, or an os.PathLike whose __fspath__ gives str
bool to_bool(PyObject* obj);                // exactly True or False
double to_double(PyObject* obj);            // the interpreter's float conversion
std::uint8_t to_u8(PyObject* obj);          // __index__, 0..255
std::uint64_t to_u64(PyObject* obj);        // __index__, 0..2^64-1
std::vector<std::uint64_t> to_u64_vector(PyObject* obj);  // a Sequence other than str

// ---------------------------------------------------------------------------
// Conversions to Python (new references)

Ref to_py(std::string_view text);  // valid UTF-8 text to str
// A str of text, which is drawn from the source argument's text: the
// source object itself when text is all of it and it is exactly a str.
Ref to_py_from(const StrArg& source, std::string_view text);
Ref to_py_u64(std::uint64_t v);
Ref to_py_double(double v);
Ref to_py_bool(bool v);
Ref none();
// A new empty dict with room for about n entries (sized in advance where
// the interpreter offers it), so that filling it does not rehash.
Ref new_dict(std::size_t n);
Ref not_implemented();

// ---------------------------------------------------------------------------
// Classes: every instance is a Cell holding the borrow counter and the
// native value.

inline constexpr std::size_t kExclusive = std::numeric_limits<std::size_t>::max();

struct CellHeader {
    PyObject_HEAD
    std::size_t borrow;
};

template <class T>
struct Cell {
    CellHeader head;
    T value;
};

// The class of the native type T: PyClass<T>::type() returns its type
// object. Specialised beside each class's registration.
template <class T>
struct PyClass;

// Builds a class's type object from its slots; qualified_name is
// "builtins.<name>". Callers keep the result for the life of the process.
// On failure the interpreter's error is printed and the build ends with a
// Panic naming the class.
PyTypeObject* make_class(const char* qualified_name, std::size_t basicsize, PyType_Slot* slots);

// The failures of instance_of and of taking a borrow.
[[noreturn]] void throw_not_instance(PyObject* obj, PyTypeObject* type);
[[noreturn]] void throw_borrowed(bool exclusive);

// Checks that obj is an instance of type (or a subtype), else the failed
// type check with the class name as target. Inline, like the borrows: every
// method call and comparison takes this path.
inline CellHeader* instance_of(PyObject* obj, PyTypeObject* type) {
    if (!PyObject_TypeCheck(obj, type)) [[unlikely]]
        throw_not_instance(obj, type);
    return reinterpret_cast<CellHeader*>(obj);
}

class SharedBorrow {
public:
    explicit SharedBorrow(CellHeader* cell) : cell_(cell) {
        if (cell->borrow >= kExclusive - 1) [[unlikely]]
            throw_borrowed(false);
        ++cell->borrow;
    }
    ~SharedBorrow() { --cell_->borrow; }
    SharedBorrow(const SharedBorrow&) = delete;
    SharedBorrow& operator=(const SharedBorrow&) = delete;

private:
    CellHeader* cell_;
};

class ExclusiveBorrow {
public:
    explicit ExclusiveBorrow(CellHeader* cell) : cell_(cell) {
        if (cell->borrow != 0) [[unlikely]]
            throw_borrowed(true);
        cell->borrow = kExclusive;
    }
    ~ExclusiveBorrow() { cell_->borrow = 0; }
    ExclusiveBorrow(const ExclusiveBorrow&) = delete;
    ExclusiveBorrow& operator=(const ExclusiveBorrow&) = delete;

private:
    CellHeader* cell_;
};

template <class T>
T& value_of(CellHeader* cell) {
    return reinterpret_cast<Cell<T>*>(cell)->value;
}

// A new instance of type owning value.
template <class T>
Ref new_instance(PyTypeObject* type, T&& value) {
    Ref obj = check(type->tp_alloc(type, 0));
    auto* cell = reinterpret_cast<Cell<std::decay_t<T>>*>(obj.get());
    cell->head.borrow = 0;
    new (&cell->value) std::decay_t<T>(std::forward<T>(value));
    return obj;
}

// tp_dealloc of a class holding T.
template <class T>
void dealloc(PyObject* obj) noexcept {
    reinterpret_cast<Cell<T>*>(obj)->value.~T();
    PyTypeObject* type = Py_TYPE(obj);
    type->tp_free(obj);
    Py_DECREF(type);
}

// Casts a C function of another calling convention to the PyCFunction that
// method tables store (through void(*)(), which matches every function type).
template <class F>
PyCFunction method_cast(F f) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

}  // namespace nuvek::py
