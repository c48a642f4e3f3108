// Table-driven method definitions. A method is its stored docstring (text signature, "--",
// description) and a body: a function taking the C++ object the Python object holds, then one
// C++ value per parameter. The parameter names and defaults come from the text signature; the
// conversion of each argument from the body's parameter type (Converter). For example
//
//   method("set_neck_gains($self, index, kp, kd)\n--\n\n...",
//          [](KestroMotorController& c, std::uint32_t index, float kp, float kd) {
//              return c.set_neck_gains(index, kp, kd);
//          })
//
// The body is a lambda without captures: its type alone identifies it, so each method gets
// its own entry functions.
//
// Every call runs the same steps: bind the arguments, check `self`, convert the arguments in
// order, then let the class run the body (Binding<Target>::call) and convert its result.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <tuple>
#include <utility>

#include "src/bindings/arguments.hpp"
#include "src/bindings/conversions.hpp"
#include "src/bindings/exceptions.hpp"

namespace kestro::bindings {

// Specialised by each class for the C++ object its Python objects hold:
//   static constexpr const char* name;             the class name
//   static PyTypeObject* type();
//   static PyObject* call(PyObject* self, Operation op);   runs op(Target&), converts its result
template <class Target>
struct Binding;

template <class Function>
struct BodyTraits;

template <class Body, class Result, class Target, class... Parameters>
struct BodyTraits<Result (Body::*)(Target&, Parameters...) const> {
    using Class = Binding<Target>;
    using Values = std::tuple<Parameters...>;
};

// Converts every slot into `values`, in declaration order, stopping at the first failure; a
// TypeError names its parameter.
template <class Values, std::size_t... I>
bool convert_arguments(const Signature& signature, PyObject* const* slots, Values& values,
                       std::index_sequence<I...>) {
    auto convert = [&]<std::size_t Index>(std::integral_constant<std::size_t, Index>) {
        using Value = std::tuple_element_t<Index, Values>;
        if (Converter<Value>::convert(slots[Index], std::get<Index>(values))) return true;
        prefix_type_error(signature.name(Index));
        return false;
    };
    return (convert(std::integral_constant<std::size_t, I>{}) && ...);
}

template <class Body>
class Method {
    using Traits = BodyTraits<decltype(&Body::operator())>;
    using Class = typename Traits::Class;
    using Values = typename Traits::Values;
    static constexpr std::size_t arity = std::tuple_size_v<Values>;

public:
    // The table entry, made once when the class's type object is created.
    static PyMethodDef define(const char* doc) {
        static const Signature signature = Signature::from_text(Class::name, doc);
        signature_ = &signature;
        if constexpr (arity == 0) {
            return {signature.method_name().c_str(), &no_arguments, METH_NOARGS, doc};
        } else {
            return {signature.method_name().c_str(),
                    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&vector_call)),
                    METH_FASTCALL | METH_KEYWORDS, doc};
        }
    }

private:
    static bool check_self(PyObject* self) {
        return PyObject_TypeCheck(self, Class::type()) || cannot_convert(self, Class::name);
    }

    static PyObject* run(PyObject* self, Values& values) {
        return Class::call(self, [&](auto& target) {
            return std::apply([&](auto&... value) { return Body{}(target, std::move(value)...); },
                              values);
        });
    }

    static PyObject* no_arguments(PyObject* self, PyObject*) {
        return guard(
            [&]() -> PyObject* {
                if (!check_self(self)) return nullptr;
                Values values;
                return run(self, values);
            },
            static_cast<PyObject*>(nullptr));
    }

    static PyObject* vector_call(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) {
        return guard(
            [&]() -> PyObject* {
                std::array<PyObject*, arity> slots{};
                if (!signature_->bind(args, nargs, kwnames, slots.data())) return nullptr;
                if (!check_self(self)) return nullptr;
                Values values;
                if (!convert_arguments(*signature_, slots.data(), values,
                                       std::make_index_sequence<arity>{})) {
                    return nullptr;
                }
                return run(self, values);
            },
            static_cast<PyObject*>(nullptr));
    }

    static inline const Signature* signature_ = nullptr;
};

template <class Body>
PyMethodDef method(const char* doc, Body) {
    return Method<Body>::define(doc);
}

// A constructor (tp_new): the body takes the type, then one C++ value per parameter, and gives
// the new object. `signature` is made by the class, with its defaults as Python objects.
template <class Function>
struct ConstructorTraits;

template <class... Parameters>
struct ConstructorTraits<PyObject* (*)(PyTypeObject*, Parameters...)> {
    using Values = std::tuple<Parameters...>;
};

// GCC 12 under the sanitizers takes the optional strings among a constructor's arguments for
// uninitialized once `values` is inlined here (a false positive); only this function is exempt.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
template <auto Body>
PyObject* construct(const Signature& signature, PyTypeObject* type, PyObject* args,
                    PyObject* kwargs) {
    using Values = typename ConstructorTraits<decltype(Body)>::Values;
    constexpr std::size_t arity = std::tuple_size_v<Values>;
    return guard(
        [&]() -> PyObject* {
            std::array<PyObject*, arity> slots{};
            if (!signature.bind(args, kwargs, slots.data())) return nullptr;
            Values values;
            if (!convert_arguments(signature, slots.data(), values,
                                   std::make_index_sequence<arity>{})) {
                return nullptr;
            }
            return std::apply([&](auto&... value) { return Body(type, std::move(value)...); },
                              values);
        },
        static_cast<PyObject*>(nullptr));
}
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

}  // namespace kestro::bindings
