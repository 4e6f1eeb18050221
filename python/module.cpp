// The _quarnel extension module: converts Python arguments, makes one core
// call, converts the result back. Core exceptions reach Python through
// pybind11's default translation.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>
#include <pybind11/typing.h>

#include <charconv>
#include <cstring>
#include <string>
#include <type_traits>
#include <vector>

#include <quarnel/quarnel.h>

namespace py = pybind11;
using quarnel::Device;
using quarnel::Dtype;
using quarnel::Shape;
using quarnel::Tensor;

namespace pybind11::detail {

// The class of enumeration T in the calling interpreter. Every interpreter
// that loads the module makes classes of its own, so the one found is kept
// with the id of its interpreter (ids are never reused) and looked up again
// from another. The module runs under one interpreter lock however many
// interpreters share it, and that lock guards these.
template <typename T>
const type_info* enum_class_here() {
    static int64_t owner = -1;
    static const type_info* info = nullptr;
    const int64_t here = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (here != owner) {
        info = get_type_info(typeid(T));
        owner = here;
    }
    return info;
}

// An object that the class's __new__ made and whose __init__ never ran holds
// no C++ value, and pybind11 would pass fresh, uninitialised memory in its
// place. Every parameter of these types, self included, refuses such an
// object instead.
template <typename T, typename Base, const char* Message>
class initialised_only : public Base {
public:
    bool load(handle src, bool convert) {
        if (const type_info* info = class_here()) {
            PyObject* obj = src.ptr();
            auto* inst = reinterpret_cast<instance*>(obj);
            // Every call passes its arguments through here: an object of the
            // exact class with the simple layout keeps the flag inline.
            if (Py_TYPE(obj) == info->type && inst->simple_layout) {
                if (!inst->simple_holder_constructed) throw type_error(Message);
            } else if (PyObject_TypeCheck(obj, info->type)) {
                const value_and_holder v_h = inst->get_value_and_holder(info, false);
                if (v_h.inst != nullptr && !v_h.holder_constructed()) throw type_error(Message);
            }
        }
        return Base::load(src, convert);
    }

private:
    // A class caster has already looked its class up in this interpreter.
    const type_info* class_here() const {
        if constexpr (std::is_base_of_v<type_caster_generic, Base>) {
            return this->typeinfo;
        } else {
            return enum_class_here<T>();
        }
    }
};

inline constexpr char TENSOR_UNINITIALISED[] = "Tensor: __init__ was never called on this object";
inline constexpr char DTYPE_UNINITIALISED[] = "Dtype: __init__ was never called on this object";
inline constexpr char DEVICE_UNINITIALISED[] = "Device: __init__ was never called on this object";

template <>
class type_caster<Tensor> : public initialised_only<Tensor, type_caster_base<Tensor>, TENSOR_UNINITIALISED> {};
template <>
class type_caster<Dtype> : public initialised_only<Dtype, type_caster_enum_type<Dtype>, DTYPE_UNINITIALISED> {};
template <>
class type_caster<Device> : public initialised_only<Device, type_caster_enum_type<Device>, DEVICE_UNINITIALISED> {};

// An integer argument read as pybind11 reads a T, except that a failing
// __index__ runs once. pybind11 reads an object that is not an int through
// __index__ and, when that fails, through int(), which runs __index__ again
// when the object has no __int__: an __index__ that calls into the module
// again doubled its cost with each level.
template <typename T>
struct Integer {
    T value;
    operator T() const { return value; }  // NOLINT(google-explicit-constructor): it stands for a T
};

template <typename T>
class type_caster<Integer<T>> {
public:
    static constexpr auto name = make_caster<T>::name;
    template <typename>
    using cast_op_type = Integer<T>;
    explicit operator Integer<T>() const { return value_; }

    bool load(handle src, bool convert) {
        PyObject* obj = src.ptr();
        const PyNumberMethods* number = Py_TYPE(obj)->tp_as_number;
        make_caster<T> caster;
        if (convert && !PyLong_Check(obj) && number != nullptr && number->nb_index != nullptr &&
            number->nb_int == nullptr) {
            const auto index = reinterpret_steal<object>(PyNumber_Index(obj));
            if (!index) {
                PyErr_Clear();
                return false;
            }
            if (!caster.load(index, false)) return false;
        } else if (!caster.load(src, convert)) {
            return false;
        }
        value_.value = cast_op<T>(caster);
        return true;
    }

private:
    Integer<T> value_{};
};

// view's and reshape's dimensions, the one list of signed integers.
template <>
struct type_caster<std::vector<long long>> : list_caster<std::vector<long long>, Integer<long long>> {};

}  // namespace pybind11::detail

namespace {

// enum_ installs a __repr__ of its own; replacing the attribute (rather than
// def(), which would chain an overload behind it) makes ours the one that runs.
template <typename E>
void replace_repr(py::enum_<E>& type) {
    type.attr("__repr__") =
        py::cpp_function([](E value) { return std::string("quarnel.") + quarnel::to_string(value); },
                         py::name("__repr__"), py::is_method(type));
}

// Given to every class of the module before CPython readies it. Each class
// gets an instance layout of its own, one unused pointer longer than
// pybind11's, as C types that hold different values have: CPython then
// refuses a class with two of them as bases ("multiple bases have instance
// lay-out conflict") and `obj.__class__ = other` between objects of any two
// (or of subclasses of two), where pybind11 would read one class's C++ value
// as another's. And each gets a __new__ of its own (pybind11's): pickling's
// protocols 0 and 1 look for the nearest class with one and, finding the
// class itself, refuse with "cannot pickle" rather than call pybind11's base.
void own_layout(PyHeapTypeObject* heap_type) {
    heap_type->ht_type.tp_basicsize += static_cast<Py_ssize_t>(sizeof(void*));
    heap_type->ht_type.tp_new = py::detail::pybind11_object_new;
}

// pybind11's base class makes objects only for classes derived from a bound
// class: called for itself, or for a class derived from it alone, it throws
// through CPython's C frames and the process aborts. This __new__, given to
// that base in the calling interpreter (which every pybind11 module there
// shares: theirs then refuse too), raises TypeError for those instead.
extern "C" PyObject* new_bound_instance(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    try {
        if (py::detail::all_type_info(type).empty()) {
            PyErr_Format(PyExc_TypeError, "cannot create '%s' instances", type->tp_name);
            return nullptr;
        }
    } catch (py::error_already_set& e) {
        e.restore();
        return nullptr;
    } catch (const std::exception&) {  // memory refused while pybind11 noted the class's bases
        PyErr_NoMemory();
        return nullptr;
    }
    return py::detail::pybind11_object_new(type, args, kwargs);
}

void refuse_unbound_instances() {
    auto* base = reinterpret_cast<PyTypeObject*>(py::detail::get_internals().instance_base);
    base->tp_new = new_bound_instance;
    PyType_Modified(base);
}

// The value of a constructor, stored only if the object has none yet.
// pybind11 ignores an __init__ (or __setstate__) of an object that holds a
// value, but checks that before converting the arguments, which can run
// Python code (a generator, an __index__, another thread) that initialises
// the object meanwhile: a second value would leak the first, and the object,
// registered twice, would abort the process when it dies.
template <typename Class>
void construct_once(py::detail::value_and_holder& v_h, typename Class::type value, const char* message) {
    if (v_h.holder_constructed()) throw py::type_error(message);
    py::detail::initimpl::construct<Class>(v_h, std::move(value), false);
}

// enum_'s constructor and __setstate__ replaced by ones that construct once
// and read their integer as above; the same parameters, so the same
// signatures. A member pickles as its class called with its value, at every
// protocol (copyreg's table, which pickle and copy consult first).
template <typename E>
void construct_enumerations_once(py::enum_<E>& type, const char* message) {
    using Scalar = typename py::enum_<E>::Scalar;
    using Class = typename py::enum_<E>::Base;
    type.attr("__init__") = py::cpp_function(
        [message](py::detail::value_and_holder& v_h, py::detail::Integer<Scalar> value) {
            construct_once<Class>(v_h, static_cast<E>(static_cast<Scalar>(value)), message);
        },
        py::detail::is_new_style_constructor(), py::name("__init__"), py::is_method(type), py::arg("value"));
    type.attr("__setstate__") = py::cpp_function(
        [message](py::detail::value_and_holder& v_h, py::detail::Integer<Scalar> state) {
            construct_once<Class>(v_h, static_cast<E>(static_cast<Scalar>(state)), message);
        },
        py::detail::is_new_style_constructor(), py::name("__setstate__"), py::is_method(type), py::arg("state"),
        py::pos_only());
    const auto cls = py::reinterpret_borrow<py::object>(type.ptr());
    const py::cpp_function reduce(
        [cls](E value) { return py::make_tuple(cls, py::make_tuple(static_cast<Scalar>(value))); });
    py::module_::import("copyreg").attr("pickle")(type, reduce);
}

template <typename Sequence>
py::typing::List<py::int_> to_list(const Sequence& values) {
    // Made here rather than by pybind11, which reports a refused list as a
    // RuntimeError: CPython has set the MemoryError.
    PyObject* made = PyList_New(static_cast<Py_ssize_t>(values.rank()));
    if (made == nullptr) throw py::error_already_set();
    auto list = py::reinterpret_steal<py::typing::List<py::int_>>(made);
    for (int i = 0; i < static_cast<int>(values.rank()); ++i) {
        PyObject* item = PyLong_FromUnsignedLongLong(values[i]);
        if (item == nullptr) throw py::error_already_set();
        PyList_SET_ITEM(list.ptr(), i, item);
    }
    return list;
}

// Built on the stack and handed to Python as one str: the text is at most
// 22 + 4 * 20 + 3 * 2 + 9 + 4 + 9 + 4 + 1 = 135 characters.
py::str tensor_repr(const Tensor& t) {
    char text[160];
    char* out = text;
    const auto put = [&out](const char* piece) {
        const size_t n = std::strlen(piece);
        std::memcpy(out, piece, n);
        out += n;
    };
    // Both names first: an unknown value throws before anything is built.
    const char* dtype = quarnel::to_string(t.dtype());
    const char* device = quarnel::to_string(t.device());
    put("quarnel.Tensor(shape=[");
    const Shape& shape = t.shape();
    for (int i = 0; i < static_cast<int>(shape.rank()); ++i) {
        if (i > 0) put(", ");
        out = std::to_chars(out, text + sizeof text, shape[i]).ptr;
    }
    put("], dtype=");
    put(dtype);
    put(", device=");
    put(device);
    put(")");
    return py::str(text, static_cast<size_t>(out - text));
}

}  // namespace

PYBIND11_MODULE(_quarnel, m) {
    m.doc() = "Quarnel doc";
    m.attr("__version__") = QUARNEL_VERSION;
    refuse_unbound_instances();

    py::enum_<Dtype> dtype_enum(m, "Dtype", py::custom_type_setup(own_layout));
    dtype_enum.value("FLOAT32", Dtype::FLOAT32)
        .value("INT32", Dtype::INT32)
        .value("FLOAT64", Dtype::FLOAT64)
        .value("INT64", Dtype::INT64)
        .export_values();
    replace_repr(dtype_enum);
    construct_enumerations_once(dtype_enum, "Dtype: __init__ already ran on this object");

    py::enum_<Device> device_enum(m, "Device", py::custom_type_setup(own_layout));
    device_enum.value("CPU", Device::CPU).value("CUDA", Device::CUDA).value("HIP", Device::HIP).export_values();
    replace_repr(device_enum);
    construct_enumerations_once(device_enum, "Device: __init__ already ran on this object");

    m.attr("float32") = py::cast(Dtype::FLOAT32);
    m.attr("int32") = py::cast(Dtype::INT32);
    m.attr("float64") = py::cast(Dtype::FLOAT64);
    m.attr("int64") = py::cast(Dtype::INT64);
    m.attr("cpu") = py::cast(Device::CPU);

    using TensorClass = py::class_<Tensor>;
    TensorClass tensor(m, "Tensor", py::custom_type_setup(own_layout));
    tensor
        .def(
            "__init__",
            [](py::detail::value_and_holder& v_h, const std::vector<uint64_t>& shape, Dtype dtype, Device device) {
                construct_once<TensorClass>(v_h, Tensor(Shape(shape), dtype, device),
                                            "Tensor: __init__ already ran on this object");
            },
            py::detail::is_new_style_constructor(), py::arg("shape"), py::arg("dtype") = Dtype::FLOAT32,
            py::arg("device") = Device::CPU, "An empty (uninitialized) tensor.")
        .def_static(
            "zeros",
            [](const std::vector<uint64_t>& shape, Dtype dtype, Device device) {
                return Tensor::zeros(Shape(shape), dtype, device);
            },
            py::arg("shape"), py::arg("dtype") = Dtype::FLOAT32, py::arg("device") = Device::CPU)
        .def_static(
            "ones",
            [](const std::vector<uint64_t>& shape, Dtype dtype, Device device) {
                return Tensor::ones(Shape(shape), dtype, device);
            },
            py::arg("shape"), py::arg("dtype") = Dtype::FLOAT32, py::arg("device") = Device::CPU)
        .def_property_readonly("shape", [](const Tensor& t) { return to_list(t.shape()); })
        .def_property_readonly("strides", [](const Tensor& t) { return to_list(t.strides()); })
        .def_property_readonly("dtype", [](const Tensor& t) { return t.dtype(); })
        .def_property_readonly("device", [](const Tensor& t) { return t.device(); })
        .def_property_readonly("offset", [](const Tensor& t) { return t.offset(); })
        .def("numel", [](const Tensor& t) { return t.numel(); })
        .def("nbytes", [](const Tensor& t) { return t.storage()->nbytes(); })
        .def(
            "allocated", [](const Tensor& t) { return t.allocated(); },
            "True if the tensor has backing storage allocated.")
        .def("is_contiguous", [](const Tensor& t) { return t.is_contiguous(); })
        .def(
            "contiguous", [](const Tensor& t) { return t.contiguous(); },
            "Copy to a contiguous tensor if needed, else return self.")
        .def(
            "view", [](const Tensor& t, const std::vector<long long>& dims) { return t.view(dims); }, py::arg("dims"),
            "Zero-copy reshape; requires a contiguous tensor. One dim may be -1.")
        .def(
            "reshape", [](const Tensor& t, const std::vector<long long>& dims) { return t.reshape(dims); },
            py::arg("dims"), "View when contiguous, copying otherwise. One dim may be -1.")
        .def(
            "__add__", [](const Tensor& self, const Tensor& other) { return quarnel::add(self, other); },
            py::is_operator(), "Lazy elementwise add")
        .def("__repr__", &tensor_repr);

    m.def(
        "execute", [](const Tensor& output) { quarnel::execute(output); }, py::arg("output"),
        "Materialize tensors in the graph");
}
