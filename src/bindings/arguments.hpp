// Binding of call arguments to a method's parameters, with the module's TypeError texts. A
// parameter is positional-or-keyword, or keyword-only (after `*`, for options added later, so
// that no call written for the older signature changes meaning); an optional one has a
// default object.
#pragma once

#include <Python.h>

#include <string>
#include <string_view>
#include <vector>

namespace kestro::bindings {

struct Parameter {
    std::string name;
    // A strong reference kept for the process; null: required. Not a PyRef: signatures are
    // statics, destroyed after the interpreter has finalised.
    PyObject* default_value = nullptr;
    bool keyword_only = false;  // keyword-only parameters come last
};

class Signature {
public:
    // `qualified_name` is "Class.method", used as "Class.method()" in messages.
    Signature(std::string qualified_name, std::vector<Parameter> parameters);

    // From a stored text signature such as "neck_home($self, speed=0.4, kp=None)\n--\n\n...":
    // the method name, then the parameters after `$self` with their literal defaults (numbers
    // or None). Needs the interpreter lock; sets a Python error and throws on a malformed text.
    static Signature from_text(std::string_view class_name, const char* doc);

    const std::string& method_name() const { return method_name_; }
    std::size_t size() const { return parameters_.size(); }
    const char* name(std::size_t index) const { return parameters_[index].name.c_str(); }

    // Fills `slots` (one per parameter, borrowed references) from a vector call, using the
    // defaults for optional parameters not given. False with TypeError set on a binding error.
    bool bind(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** slots) const;
    // The same from an argument tuple and an optional keyword dictionary (constructors).
    bool bind(PyObject* args, PyObject* kwargs, PyObject** slots) const;

private:
    bool bind_positional(Py_ssize_t nargs) const;
    bool bind_keyword(PyObject* keyword, PyObject* value, PyObject** slots) const;
    bool finish(PyObject** slots) const;
    std::string call_name() const { return qualified_name_ + "()"; }

    std::string qualified_name_;
    std::string method_name_;
    std::vector<Parameter> parameters_;
    std::size_t required_ = 0;    // positional parameters without a default
    std::size_t positional_ = 0;  // parameters that take a positional argument
};

// Replaces a pending TypeError by TypeError "argument '{name}': {message}"; other errors
// (ValueError, OverflowError, ...) stay as they are.
void prefix_type_error(const char* parameter_name);

}  // namespace kestro::bindings
