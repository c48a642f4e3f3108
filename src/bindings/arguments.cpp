#include "src/bindings/arguments.hpp"

#include <stdexcept>

#include "src/bindings/exceptions.hpp"
#include "src/bindings/py_ref.hpp"

namespace kestro::bindings {
namespace {

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'": the way CPython lists missing arguments.
std::string join_names(const std::vector<std::string>& names) {
    std::string out;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) out += names.size() == 2 ? " and " : i + 1 == names.size() ? ", and " : ", ";
        out += "'" + names[i] + "'";
    }
    return out;
}

// A default written in a text signature: None or a number.
PyRef literal(std::string_view text) {
    if (text == "None") return PyRef::borrow(Py_None);
    std::string digits(text);
    if (digits.find_first_of(".eE") != std::string::npos) {
        const PyRef string = PyRef::steal(PyUnicode_FromString(digits.c_str()));
        if (!string) return {};
        return PyRef::steal(PyFloat_FromString(string.get()));
    }
    return PyRef::steal(PyLong_FromString(digits.c_str(), nullptr, 10));
}

}  // namespace

Signature::Signature(std::string qualified_name, std::vector<Parameter> parameters)
    : qualified_name_(std::move(qualified_name)), parameters_(std::move(parameters)) {
    method_name_ = qualified_name_.substr(qualified_name_.rfind('.') + 1);
    for (const Parameter& parameter : parameters_) {
        if (parameter.keyword_only) continue;
        ++positional_;
        if (parameter.default_value == nullptr) ++required_;
    }
}

Signature Signature::from_text(std::string_view class_name, const char* doc) {
    std::string_view text(doc);
    const std::size_t open = text.find('(');
    const std::size_t close = text.find(')');
    if (open == std::string_view::npos || close == std::string_view::npos || close < open) {
        throw std::logic_error("malformed text signature: " + std::string(text));
    }
    std::string qualified(class_name);
    qualified += '.';
    qualified += text.substr(0, open);

    std::vector<Parameter> parameters;
    bool keyword_only = false;
    std::string_view list = text.substr(open + 1, close - open - 1);
    while (!list.empty()) {
        const std::size_t comma = list.find(',');
        std::string_view item = list.substr(0, comma);
        list = comma == std::string_view::npos ? std::string_view() : list.substr(comma + 1);
        while (!item.empty() && item.front() == ' ') item.remove_prefix(1);
        if (item == "$self") continue;
        if (item == "*") {
            keyword_only = true;
            continue;
        }
        const std::size_t equals = item.find('=');
        Parameter parameter{std::string(item.substr(0, equals)), nullptr, keyword_only};
        if (equals != std::string_view::npos) {
            PyRef value = literal(item.substr(equals + 1));
            if (!value) throw std::logic_error("malformed default in: " + std::string(text));
            parameter.default_value = value.release();
        }
        parameters.push_back(std::move(parameter));
    }
    return Signature(std::move(qualified), std::move(parameters));
}

bool Signature::bind_positional(Py_ssize_t nargs) const {
    const auto count = static_cast<Py_ssize_t>(positional_);
    if (nargs <= count) return true;
    const std::string given = std::to_string(nargs) + (nargs == 1 ? " was" : " were");
    if (required_ == positional_) {
        raise(PyExc_TypeError, call_name() + " takes " + std::to_string(count) +
                                   " positional arguments but " + given + " given");
    } else {
        raise(PyExc_TypeError, call_name() + " takes from " + std::to_string(required_) + " to " +
                                   std::to_string(count) + " positional arguments but " + given +
                                   " given");
    }
    return false;
}

bool Signature::bind_keyword(PyObject* keyword, PyObject* value, PyObject** slots) const {
    for (std::size_t i = 0; i < parameters_.size(); ++i) {
        if (PyUnicode_CompareWithASCIIString(keyword, parameters_[i].name.c_str()) != 0) continue;
        if (slots[i] != nullptr) {
            raise(PyExc_TypeError,
                  call_name() + " got multiple values for argument '" + parameters_[i].name + "'");
            return false;
        }
        slots[i] = value;
        return true;
    }
    const PyRef text = PyRef::steal(PyUnicode_FromFormat(
        "%s got an unexpected keyword argument '%U'", call_name().c_str(), keyword));
    if (text) PyErr_SetObject(PyExc_TypeError, text.get());
    return false;
}

bool Signature::finish(PyObject** slots) const {
    std::vector<std::string> missing;
    for (std::size_t i = 0; i < parameters_.size(); ++i) {
        if (slots[i] != nullptr) continue;
        if (parameters_[i].default_value == nullptr) {
            missing.push_back(parameters_[i].name);
        } else {
            slots[i] = parameters_[i].default_value;
        }
    }
    if (missing.empty()) return true;
    raise(PyExc_TypeError,
          call_name() + " missing " + std::to_string(missing.size()) + " required positional " +
              (missing.size() == 1 ? "argument" : "arguments") + ": " + join_names(missing));
    return false;
}

bool Signature::bind(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                     PyObject** slots) const {
    nargs = PyVectorcall_NARGS(nargs);
    if (!bind_positional(nargs)) return false;
    for (Py_ssize_t i = 0; i < nargs; ++i) slots[i] = args[i];
    if (kwnames != nullptr) {
        const Py_ssize_t keywords = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < keywords; ++k) {
            if (!bind_keyword(PyTuple_GET_ITEM(kwnames, k), args[nargs + k], slots)) return false;
        }
    }
    return finish(slots);
}

bool Signature::bind(PyObject* args, PyObject* kwargs, PyObject** slots) const {
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    if (!bind_positional(nargs)) return false;
    for (Py_ssize_t i = 0; i < nargs; ++i) slots[i] = PyTuple_GET_ITEM(args, i);
    if (kwargs != nullptr) {
        Py_ssize_t position = 0;
        PyObject* keyword = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(kwargs, &position, &keyword, &value)) {
            if (!bind_keyword(keyword, value, slots)) return false;
        }
    }
    return finish(slots);
}

void prefix_type_error(const char* parameter_name) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) return;
    const PyRef text = PyRef::steal(PyObject_Str(take_exception().get()));
    if (!text) return;
    const PyRef message =
        PyRef::steal(PyUnicode_FromFormat("argument '%s': %U", parameter_name, text.get()));
    if (message) PyErr_SetObject(PyExc_TypeError, message.get());
}

}  // namespace kestro::bindings
