#include "zelk/field/geometry/shared/fields.hpp"

#include "zelk/field/geometry/shared/layout.hpp"

#include <cstdint>

namespace zelk {

const FieldDef kBaseFields[7] = {
    {"coordinates", FieldKind::Object, offsetof(GeometryObject, coordinates)},
    {"repulsion", FieldKind::Object, offsetof(GeometryObject, repulsion)},
    {"inv_repulsion", FieldKind::Object, offsetof(GeometryObject, inv_repulsion)},
    {"eye_repulsion", FieldKind::Object, offsetof(GeometryObject, eye_repulsion)},
    {"grad_matrix", FieldKind::Object, offsetof(GeometryObject, grad_matrix)},
    {"properties", FieldKind::Object, offsetof(GeometryObject, properties)},
    {"bbox", FieldKind::Object, offsetof(GeometryObject, bbox)},
};

namespace {

template <class T>
T& at(PyObject* self, Py_ssize_t offset) {
    return *reinterpret_cast<T*>(reinterpret_cast<char*>(self) + offset);
}

PyObject* getter(PyObject* self, void* closure) {
    return read_field(self, *static_cast<const FieldDef*>(closure));
}

int setter(PyObject* self, PyObject* value, void* closure) {
    return write_field(self, *static_cast<const FieldDef*>(closure), value);
}

}  // namespace

PyObject* read_field(PyObject* self, const FieldDef& f) {
    switch (f.kind) {
        case FieldKind::Ssize:
            return PyLong_FromSsize_t(at<Py_ssize_t>(self, f.offset));
        case FieldKind::Int64:
            return PyLong_FromLongLong(at<std::int64_t>(self, f.offset));
        default:
            return field_value(at<PyObject*>(self, f.offset)).release();
    }
}

int write_field(PyObject* self, const FieldDef& f, PyObject* value) {
    switch (f.kind) {
        case FieldKind::Ssize:
        case FieldKind::Int64: {
            if (value == nullptr) {
                PyErr_SetString(PyExc_NotImplementedError, "__del__");
                return -1;
            }
            Ref index = steal(PyNumber_Index(value));
            if (!index) return -1;
            if (f.kind == FieldKind::Ssize) {
                const Py_ssize_t n = PyLong_AsSsize_t(index.get());
                if (n == -1 && PyErr_Occurred()) return -1;
                at<Py_ssize_t>(self, f.offset) = n;
            } else {
                const long long n = PyLong_AsLongLong(index.get());
                if (n == -1 && PyErr_Occurred()) return -1;
                at<std::int64_t>(self, f.offset) = n;
            }
            return 0;
        }
        case FieldKind::List:
            if (value != nullptr && value != Py_None && !PyList_CheckExact(value)) {
                PyErr_Format(PyExc_TypeError, "Expected %.42s, got %.200s", "list",
                             Py_TYPE(value)->tp_name);
                return -1;
            }
            [[fallthrough]];
        case FieldKind::Object:
            if (value == nullptr) value = Py_None;
            Py_INCREF(value);
            set_field(at<PyObject*>(self, f.offset), value);
            return 0;
    }
    return 0;
}

PyGetSetDef field_property(const FieldDef* f) {
    PyGetSetDef g;
    g.name = f->name;
    g.get = getter;
    g.set = setter;
    g.doc = nullptr;
    g.closure = const_cast<FieldDef*>(f);
    return g;
}

}  // namespace zelk
