#include "src/bindings/conversions.hpp"

#include <datetime.h>

#include <cstring>
#include <limits>
#include <string_view>

#include "src/bindings/exceptions.hpp"
#include "src/bindings/py_ref.hpp"

namespace kestro::bindings {
namespace {

constexpr std::string_view OUT_OF_RANGE = "out of range integral type conversion attempted";

// The datetime C API is bound per translation unit; every use of it is in this one.
bool datetime_api() {
    if (PyDateTimeAPI == nullptr) PyDateTime_IMPORT;
    return PyDateTimeAPI != nullptr;
}

bool is_numpy_bool(PyObject* object) {
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(object));
    const PyRef module = PyRef::steal(PyObject_GetAttrString(type, "__module__"));
    if (!module) {
        PyErr_Clear();
        return false;
    }
    if (!PyUnicode_Check(module.get()) ||
        PyUnicode_CompareWithASCIIString(module.get(), "numpy") != 0) {
        return false;
    }
    const PyRef name = PyRef::steal(PyType_GetName(Py_TYPE(object)));
    if (!name) {
        PyErr_Clear();
        return false;
    }
    return PyUnicode_CompareWithASCIIString(name.get(), "bool_") == 0 ||
           PyUnicode_CompareWithASCIIString(name.get(), "bool") == 0;
}

// The items of any sequence but `str`, in iteration order, each through `convert`.
template <class T, class Convert>
bool collect(PyObject* object, std::vector<T>& out, Convert convert) {
    if (PyUnicode_Check(object)) {
        raise(PyExc_TypeError, "Can't extract `str` to `Vec`");
        return false;
    }
    if (!PySequence_Check(object)) return cannot_convert(object, "Sequence");
    const PyRef iterator = PyRef::steal(PyObject_GetIter(object));
    if (!iterator) return false;
    out.clear();
    while (const PyRef item = PyRef::steal(PyIter_Next(iterator.get()))) {
        T value{};
        if (!convert(item.get(), value)) return false;
        out.push_back(value);
    }
    return !PyErr_Occurred();
}

}  // namespace

bool cannot_convert(PyObject* object, const char* target) {
    const PyRef name = PyRef::steal(PyType_GetName(Py_TYPE(object)));
    if (!name) return false;
    const PyRef text = PyRef::steal(
        PyUnicode_FromFormat("'%U' object cannot be converted to '%s'", name.get(), target));
    if (text) PyErr_SetObject(PyExc_TypeError, text.get());
    return false;
}

bool to_f64(PyObject* object, double& out) {
    if (PyFloat_CheckExact(object)) {
        out = PyFloat_AS_DOUBLE(object);
        return true;
    }
    const double value = PyFloat_AsDouble(object);
    if (value == -1.0 && PyErr_Occurred()) return false;
    out = value;
    return true;
}

bool to_f32(PyObject* object, float& out) {
    double value = 0.0;
    if (!to_f64(object, value)) return false;
    out = static_cast<float>(value);
    return true;
}

bool to_u8(PyObject* object, std::uint8_t& out) {
    const long value = PyLong_AsLong(object);
    if (value == -1 && PyErr_Occurred()) return false;
    if (value < 0 || value > std::numeric_limits<std::uint8_t>::max()) {
        raise(PyExc_OverflowError, OUT_OF_RANGE);
        return false;
    }
    out = static_cast<std::uint8_t>(value);
    return true;
}

bool to_u64(PyObject* object, std::uint64_t& out) {
    const PyRef index = PyRef::steal(PyNumber_Index(object));
    if (!index) return false;
    const unsigned long long value = PyLong_AsUnsignedLongLong(index.get());
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
    out = value;
    return true;
}

bool to_u32(PyObject* object, std::uint32_t& out) {
    std::uint64_t value = 0;
    if (!to_u64(object, value)) return false;
    if (value > std::numeric_limits<std::uint32_t>::max()) {
        raise(PyExc_OverflowError, OUT_OF_RANGE);
        return false;
    }
    out = static_cast<std::uint32_t>(value);
    return true;
}

bool to_bool(PyObject* object, bool& out) {
    if (PyBool_Check(object)) {
        out = object == Py_True;
        return true;
    }
    if (!is_numpy_bool(object)) return cannot_convert(object, "PyBool");
    const int truth = PyObject_IsTrue(object);
    if (truth < 0) return false;
    out = truth != 0;
    return true;
}

bool to_text(PyObject* object, std::string& out) {
    if (!PyUnicode_Check(object)) return cannot_convert(object, "PyString");
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(object, &size);
    if (data == nullptr) return false;
    // Texts name devices and interfaces for C calls, which would silently cut at a NUL and
    // open something else.
    if (std::memchr(data, '\0', static_cast<std::size_t>(size)) != nullptr) {
        raise(PyExc_ValueError, "embedded null character");
        return false;
    }
    out.assign(data, static_cast<std::size_t>(size));
    return true;
}

bool to_duration(PyObject* object, std::chrono::nanoseconds& out) {
    if (!datetime_api()) return false;
    if (!PyDelta_Check(object)) return cannot_convert(object, "PyDelta");
    // A timedelta keeps seconds and microseconds non-negative; only days carry the sign.
    const long long days = PyDateTime_DELTA_GET_DAYS(object);
    if (days < 0) {
        raise(PyExc_ValueError, "a negative timedelta cannot be used as a duration");
        return false;
    }
    const long long seconds = days * 86'400 + PyDateTime_DELTA_GET_SECONDS(object);
    const long long micros = PyDateTime_DELTA_GET_MICROSECONDS(object);
    // Beyond about 292 years nanoseconds overflow; such a duration means "never" anyway.
    constexpr long long MAX_SECONDS = std::numeric_limits<std::int64_t>::max() / 1'000'000'000 - 1;
    out = seconds > MAX_SECONDS ? std::chrono::nanoseconds::max()
                                : std::chrono::seconds(seconds) + std::chrono::microseconds(micros);
    return true;
}

bool to_byte_string(PyObject* object, ByteString& out) {
    if (!PyBytes_Check(object)) return cannot_convert(object, "PyBytes");
    out = ByteString(reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(object)),
                     static_cast<std::size_t>(PyBytes_GET_SIZE(object)));
    return true;
}

bool to_byte_list(PyObject* object, ByteList& out) {
    return collect(object, out, to_u8);
}

bool to_float_list(PyObject* object, FloatList& out) {
    return collect(object, out, to_f64);
}

bool to_float_array(PyObject* object, std::span<double> out) {
    if (!PySequence_Check(object)) return cannot_convert(object, "Sequence");
    const Py_ssize_t length = PySequence_Size(object);
    if (length < 0) return false;
    if (static_cast<std::size_t>(length) != out.size()) {
        PyErr_Format(PyExc_ValueError, "expected a sequence of length %zu (got %zd)", out.size(),
                     length);
        return false;
    }
    for (std::size_t i = 0; i < out.size(); ++i) {
        const PyRef item = PyRef::steal(PySequence_GetItem(object, static_cast<Py_ssize_t>(i)));
        if (!item || !to_f64(item.get(), out[i])) return false;
    }
    return true;
}

PyObject* new_timedelta(std::chrono::seconds value) {
    if (!datetime_api()) return nullptr;
    return PyDelta_FromDSU(0, static_cast<int>(value.count()), 0);
}

}  // namespace kestro::bindings
