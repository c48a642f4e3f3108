// KestroTorsoPosition: one reading of the torso (arms, nose, neck and when it was taken), also
// used as the goals of a whole-torso command. An immutable value.
#include <algorithm>

#include "src/bindings/arguments.hpp"
#include "src/bindings/classes.hpp"
#include "src/bindings/method_table.hpp"
#include "src/bindings/results.hpp"

namespace kestro::bindings {
namespace {

using control_loop::KestroTorsoPosition;

struct PositionObject {
    PyObject_HEAD
    KestroTorsoPosition value;
};

const KestroTorsoPosition& value_of(PyObject* self) {
    return reinterpret_cast<PositionObject*>(self)->value;
}

template <auto Field>
PyObject* get(PyObject* self, void*) {
    return to_python(value_of(self).*Field);
}

PyObject* position_repr(PyObject* self) {
    return guard([&] { return to_python(control_loop::repr(value_of(self))); },
                 static_cast<PyObject*>(nullptr));
}

PyObject* make(PyTypeObject* type, FloatList left_arm, FloatList right_arm, FloatList nose,
               FloatList neck) {
    if (left_arm.size() != 2 || right_arm.size() != 2 || nose.size() != 3 || neck.size() != 3) {
        return raise(PyExc_ValueError,
                     "Each arm must have 2 positions, nose must have 3, neck must have 3.");
    }
    KestroTorsoPosition value;
    std::copy_n(left_arm.begin(), 2, value.left_arm.begin());
    std::copy_n(right_arm.begin(), 2, value.right_arm.begin());
    std::copy_n(nose.begin(), 3, value.nose.begin());
    std::copy_n(neck.begin(), 3, value.neck.begin());
    value.timestamp = control_loop::unix_timestamp_now();
    PyObject* self = type->tp_alloc(type, 0);
    if (self != nullptr) reinterpret_cast<PositionObject*>(self)->value = value;
    return self;
}

PyObject* position_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static const Signature signature("KestroTorsoPosition.__new__",
                                     {{"left_arm"}, {"right_arm"}, {"nose"}, {"neck"}});
    return construct<&make>(signature, type, args, kwargs);
}

PyGetSetDef accessors[] = {
    {"left_arm", &get<&KestroTorsoPosition::left_arm>, nullptr, nullptr, nullptr},
    {"right_arm", &get<&KestroTorsoPosition::right_arm>, nullptr, nullptr, nullptr},
    {"nose", &get<&KestroTorsoPosition::nose>, nullptr, nullptr, nullptr},
    {"neck", &get<&KestroTorsoPosition::neck>, nullptr,
     "Neck joint positions in rad: [yaw, pitch, roll].", nullptr},
    {"timestamp", &get<&KestroTorsoPosition::timestamp>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

PyTypeObject* torso_position_type() {
    static PyTypeObject* type = nullptr;
    if (type == nullptr) {
        static PyType_Slot slots[] = {
            {Py_tp_doc,
             const_cast<char*>("KestroTorsoPosition(left_arm, right_arm, nose, neck)\n--\n\n")},
            {Py_tp_new, reinterpret_cast<void*>(&position_new)},
            {Py_tp_dealloc, reinterpret_cast<void*>(&free_instance)},
            {Py_tp_repr, reinterpret_cast<void*>(&position_repr)},
            {Py_tp_getset, accessors},
            {0, nullptr},
        };
        static PyType_Spec spec{"KestroTorsoPosition", sizeof(PositionObject), 0,
                                Py_TPFLAGS_DEFAULT, slots};
        type = make_type(spec);
    }
    return type;
}

PyObject* new_torso_position(const KestroTorsoPosition& value) {
    PyTypeObject* type = torso_position_type();
    if (type == nullptr) return nullptr;
    PyObject* self = type->tp_alloc(type, 0);
    if (self != nullptr) reinterpret_cast<PositionObject*>(self)->value = value;
    return self;
}

bool to_torso_position(PyObject* object, KestroTorsoPosition& out) {
    PyTypeObject* type = torso_position_type();
    if (type == nullptr) return false;
    if (!PyObject_TypeCheck(object, type)) return cannot_convert(object, "KestroTorsoPosition");
    out = value_of(object);
    return true;
}

}  // namespace kestro::bindings
