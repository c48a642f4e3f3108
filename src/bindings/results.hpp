// Conversion of method results to Python objects (new references), and of controller errors to
// RuntimeError with their text (ValueError for a refused argument).
#pragma once

#include <Python.h>

#include <array>
#include <concepts>
#include <ranges>
#include <cstddef>
#include <span>
#include <string>
#include <type_traits>
#include <utility>

#include "src/bindings/exceptions.hpp"
#include "src/bindings/py_ref.hpp"
#include "src/controller/controller.hpp"

namespace kestro::bindings {

inline PyObject* none() {
    Py_RETURN_NONE;
}

// A result already made by the method body (or null with an exception set).
inline PyObject* to_python(PyObject* object) {
    return object;
}

inline PyObject* to_python(bool value) {
    return PyBool_FromLong(value);
}

inline PyObject* to_python(double value) {
    return PyFloat_FromDouble(value);
}

inline PyObject* to_python(const std::string& text) {
    return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
}

// A new list of `convert(item)` (each a new reference, or null on failure) for every item.
template <class Range, class Convert>
PyObject* list_of(const Range& items, Convert convert) {
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(std::ranges::size(items))));
    if (!list) return nullptr;
    Py_ssize_t at = 0;
    for (const auto& value : items) {
        PyObject* item = convert(value);
        if (item == nullptr) return nullptr;
        PyList_SET_ITEM(list.get(), at++, item);  // steals `item`
    }
    return list.release();
}

// Arrays and lists of floats become a new list.
inline PyObject* to_python(std::span<const double> values) {
    return list_of(values, PyFloat_FromDouble);
}

template <std::size_t N>
PyObject* to_python(const std::array<double, N>& values) {
    return to_python(std::span<const double>(values));
}

// (lower, upper) pairs become a list of tuples.
template <std::size_t N>
PyObject* to_python(const std::array<std::pair<double, double>, N>& pairs) {
    PyRef list = PyRef::steal(PyList_New(N));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < N; ++i) {
        PyObject* pair = Py_BuildValue("(dd)", pairs[i].first, pairs[i].second);
        if (pair == nullptr) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), pair);  // steals `pair`
    }
    return list.release();
}

// New KestroNeckState and KestroTorsoHealth objects.
PyObject* to_python(const controller::NeckState& state);
PyObject* to_python(const controller::TorsoHealth& health);

// Neck states, in joint order, become a new list.
template <class Range>
    requires std::same_as<std::ranges::range_value_t<Range>, controller::NeckState>
PyObject* to_python(const Range& states) {
    return list_of(states, [](const controller::NeckState& state) { return to_python(state); });
}

template <class T>
PyObject* to_python(const controller::Outcome<T>& outcome) {
    if (!outcome) {
        if (outcome.error().is_interrupted()) return raise_interrupted();
        // A signal that came during the operation (Ctrl-C in a bus wait) outranks its failure,
        // which it may have caused: its handler's exception is raised instead.
        if (PyErr_CheckSignals() < 0) return nullptr;
        if (outcome.error().is_invalid_argument()) {
            return raise(PyExc_ValueError, outcome.error().message());
        }
        return raise(PyExc_RuntimeError, outcome.error().message());
    }
    if constexpr (std::is_void_v<T>) {
        return none();
    } else {
        return to_python(*outcome);
    }
}

}  // namespace kestro::bindings
