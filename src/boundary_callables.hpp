// Declared callables: each Python-visible function, method, property, repr
// and constructor is one instantiation of the templates below, naming its
// Signature, its native operation and one converter per parameter. The
// template binds the arguments (names taken from the signature), converts
// them in parameter order with the argument-error rewrite, borrows the
// receiver, runs the operation and converts its result by type.
#pragma once

#include <functional>
#include <optional>
#include <type_traits>
#include <utility>

#include "boundary.hpp"

namespace nuvek::py {

// ---------------------------------------------------------------------------
// Results: a native result becomes a new reference by its type (a Ref as it
// is, nothing as None, text as str, numbers, optionals, a class's value as
// a new instance).

namespace detail {
template <class T>
inline constexpr bool is_optional = false;
template <class T>
inline constexpr bool is_optional<std::optional<T>> = true;
}  // namespace detail

template <class R>
Ref to_result(R&& r) {
    using T = std::remove_cvref_t<R>;
    if constexpr (std::is_same_v<T, Ref>) {
        return std::move(r);
    } else if constexpr (std::is_same_v<T, bool>) {
        return to_py_bool(r);
    } else if constexpr (std::is_same_v<T, double>) {
        return to_py_double(r);
    } else if constexpr (std::is_unsigned_v<T>) {
        return to_py_u64(r);
    } else if constexpr (std::is_convertible_v<const T&, std::string_view>) {
        return to_py(std::string_view(r));
    } else if constexpr (detail::is_optional<T>) {
        return r ? to_result(*std::forward<R>(r)) : none();
    } else {
        return new_instance(PyClass<T>::type(), std::forward<R>(r));
    }
}

// Runs f and converts what it returns (None for nothing).
template <class F>
Ref run_to_py(F&& f) {
    if constexpr (std::is_void_v<decltype(f())>) {
        f();
        return none();
    } else {
        return to_result(f());
    }
}

// ---------------------------------------------------------------------------
// Callables. Each Python-visible callable is one instantiation of these,
// naming its Signature, its native operation and one converter per
// parameter. The receiver of a method, property or repr is the class of
// the operation's object parameter; a const operation reads it under a
// shared borrow, any other changes it under an exclusive borrow.

namespace detail {

template <class Op>
struct Receiver;
template <class R, class C, bool NE, class... A>
struct Receiver<R (C::*)(A...) const noexcept(NE)> {
    using type = C;
    static constexpr bool exclusive = false;
};
template <class R, class C, bool NE, class... A>
struct Receiver<R (C::*)(A...) noexcept(NE)> {
    using type = C;
    static constexpr bool exclusive = true;
};
template <class R, class C>
struct Receiver<R C::*> {  // a field, read as a property
    using type = C;
    static constexpr bool exclusive = false;
};
template <class R, class C, bool NE, class... A>
struct Receiver<R (*)(const C&, A...) noexcept(NE)> {
    using type = C;
    static constexpr bool exclusive = false;
};
template <class R, class C, bool NE, class... A>
struct Receiver<R (*)(C&, A...) noexcept(NE)> {
    using type = C;
    static constexpr bool exclusive = true;
};

// Checks and borrows self, then runs body on its value.
template <auto Op, class Body>
Ref with_receiver(PyObject* self, Body&& body) {
    using R = Receiver<decltype(Op)>;
    using T = typename R::type;
    CellHeader* cell = instance_of(self, PyClass<T>::type());
    if constexpr (R::exclusive) {
        ExclusiveBorrow borrow(cell);
        return body(value_of<T>(cell));
    } else {
        SharedBorrow borrow(cell);
        return body(static_cast<const T&>(value_of<T>(cell)));
    }
}

}  // namespace detail

// A module function (METH_FASTCALL | METH_KEYWORDS).
template <const Signature& Sig, auto Op, auto... Convert>
PyObject* function(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept {
    return guarded([&] {
        return run_to_py([&]() -> decltype(auto) { return call_fast<Sig, Convert...>(args, nargsf, kwnames, Op); })
            .release();
    });
}

// A method with parameters (METH_FASTCALL | METH_KEYWORDS).
template <const Signature& Sig, auto Op, auto... Convert>
PyObject* method(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept {
    return guarded([&] {
        return detail::with_receiver<Op>(self, [&](auto& value) {
                   return run_to_py([&]() -> decltype(auto) {
                       return call_fast<Sig, Convert...>(args, nargsf, kwnames, [&](auto&&... v) -> decltype(auto) {
                           return std::invoke(Op, value, std::forward<decltype(v)>(v)...);
                       });
                   });
               })
            .release();
    });
}

// Runs Op on self alone: a method without parameters, a property or a repr.
template <auto Op>
PyObject* call_self(PyObject* self) noexcept {
    return guarded([&] {
        return detail::with_receiver<Op>(self, [](auto& value) {
                   return run_to_py([&]() -> decltype(auto) { return std::invoke(Op, value); });
               })
            .release();
    });
}

template <auto Op>
PyObject* method_noargs(PyObject* self, PyObject*) noexcept {
    return call_self<Op>(self);
}

template <auto Op>
PyObject* getter(PyObject* self, void*) noexcept {
    return call_self<Op>(self);
}

// A constructor (tp_new): Op builds the native value from the converted
// arguments.
template <const Signature& Sig, auto Op, auto... Convert>
PyObject* constructor(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    return guarded([&] { return new_instance(type, call_tuple<Sig, Convert...>(args, kwargs, Op)).release(); });
}

}  // namespace nuvek::py
