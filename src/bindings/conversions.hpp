// Conversion of Python arguments to the C++ values the methods take. Each `to_...` function
// gives false with a Python exception set when the object is not acceptable; the caller adds
// the argument name to a TypeError (prefix_type_error).
#pragma once

#include <Python.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "src/control_loop/torso_position.hpp"

namespace kestro::bindings {

// A `bytes` argument, read in place: valid while the argument object is.
using ByteString = std::span<const std::uint8_t>;
// A sequence of integers 0..255 (not `str`), copied.
using ByteList = std::vector<std::uint8_t>;
// A sequence of floats of any length, copied.
using FloatList = std::vector<double>;

// TypeError "'{type name}' object cannot be converted to '{target}'"; gives false.
bool cannot_convert(PyObject* object, const char* target);

bool to_f64(PyObject* object, double& out);
bool to_f32(PyObject* object, float& out);
bool to_u8(PyObject* object, std::uint8_t& out);
bool to_u32(PyObject* object, std::uint32_t& out);
bool to_u64(PyObject* object, std::uint64_t& out);
bool to_bool(PyObject* object, bool& out);
bool to_text(PyObject* object, std::string& out);
bool to_duration(PyObject* object, std::chrono::nanoseconds& out);
bool to_byte_string(PyObject* object, ByteString& out);
bool to_byte_list(PyObject* object, ByteList& out);
bool to_float_list(PyObject* object, FloatList& out);
// Exactly `out.size()` items, read by index.
bool to_float_array(PyObject* object, std::span<double> out);
bool to_torso_position(PyObject* object, control_loop::KestroTorsoPosition& out);

// A `datetime.timedelta` of whole seconds (a new reference).
PyObject* new_timedelta(std::chrono::seconds value);

// The conversion of each C++ parameter type, chosen by the type a method body declares.
template <class T>
struct Converter;

template <class T, bool (*Function)(PyObject*, T&)>
struct ConvertWith {
    static bool convert(PyObject* object, T& out) { return Function(object, out); }
};

template <>
struct Converter<double> : ConvertWith<double, to_f64> {};
template <>
struct Converter<float> : ConvertWith<float, to_f32> {};
template <>
struct Converter<std::uint8_t> : ConvertWith<std::uint8_t, to_u8> {};
template <>
struct Converter<std::uint32_t> : ConvertWith<std::uint32_t, to_u32> {};
template <>
struct Converter<std::uint64_t> : ConvertWith<std::uint64_t, to_u64> {};
template <>
struct Converter<bool> : ConvertWith<bool, to_bool> {};
template <>
struct Converter<std::string> : ConvertWith<std::string, to_text> {};
template <>
struct Converter<std::chrono::nanoseconds> : ConvertWith<std::chrono::nanoseconds, to_duration> {};
template <>
struct Converter<ByteString> : ConvertWith<ByteString, to_byte_string> {};
template <>
struct Converter<ByteList> : ConvertWith<ByteList, to_byte_list> {};
template <>
struct Converter<FloatList> : ConvertWith<FloatList, to_float_list> {};
template <>
struct Converter<control_loop::KestroTorsoPosition>
    : ConvertWith<control_loop::KestroTorsoPosition, to_torso_position> {};

// `None` or the value.
template <class T>
struct Converter<std::optional<T>> {
    static bool convert(PyObject* object, std::optional<T>& out) {
        if (object == Py_None) {
            out.reset();
            return true;
        }
        T value{};
        if (!Converter<T>::convert(object, value)) return false;
        out = std::move(value);
        return true;
    }
};

template <std::size_t N>
struct Converter<std::array<double, N>> {
    static bool convert(PyObject* object, std::array<double, N>& out) {
        return to_float_array(object, out);
    }
};

}  // namespace kestro::bindings
