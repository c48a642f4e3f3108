// ControlLoopStats: a copy of a control loop's timing statistics, made only by get_stats.
#include "src/bindings/classes.hpp"
#include "src/bindings/exceptions.hpp"
#include "src/bindings/results.hpp"

namespace kestro::bindings {
namespace {

using control_loop::ControlLoopStats;

struct StatsObject {
    PyObject_HEAD
    ControlLoopStats* value;
};

const ControlLoopStats& value_of(PyObject* self) {
    return *reinterpret_cast<StatsObject*>(self)->value;
}

template <auto Field>
PyObject* get(PyObject* self, void*) {
    return to_python(std::span<const double>(value_of(self).*Field));
}

PyObject* stats_repr(PyObject* self) {
    return guard([&] { return to_python(control_loop::repr(value_of(self))); },
                 static_cast<PyObject*>(nullptr));
}

void stats_dealloc(PyObject* self) {
    delete reinterpret_cast<StatsObject*>(self)->value;
    free_instance(self);
}

PyGetSetDef accessors[] = {
    {"period", &get<&ControlLoopStats::period>, nullptr, nullptr, nullptr},
    {"read_dt", &get<&ControlLoopStats::read_dt>, nullptr, nullptr, nullptr},
    {"write_dt", &get<&ControlLoopStats::write_dt>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

PyTypeObject* loop_stats_type() {
    static PyTypeObject* type = nullptr;
    if (type == nullptr) {
        static PyType_Slot slots[] = {
            {Py_tp_doc, const_cast<char*>("")},
            {Py_tp_dealloc, reinterpret_cast<void*>(&stats_dealloc)},
            {Py_tp_repr, reinterpret_cast<void*>(&stats_repr)},
            {Py_tp_getset, accessors},
            {0, nullptr},
        };
        // Instances come only from get_stats.
        static PyType_Spec spec{"ControlLoopStats", sizeof(StatsObject), 0,
                                Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, slots};
        type = make_type(spec);
    }
    return type;
}

PyObject* new_loop_stats(ControlLoopStats value) {
    PyTypeObject* type = loop_stats_type();
    if (type == nullptr) return nullptr;
    auto copy = std::make_unique<ControlLoopStats>(std::move(value));
    PyObject* self = type->tp_alloc(type, 0);
    if (self != nullptr) reinterpret_cast<StatsObject*>(self)->value = copy.release();
    return self;
}

}  // namespace kestro::bindings
