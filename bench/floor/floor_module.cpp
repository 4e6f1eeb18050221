// _bench_floor: what pybind11 itself costs for each call shape that _quarnel
// binds, with bodies that do (next to) nothing. Built only for the benchmark,
// never installed. Each entry mirrors the signature of its _quarnel
// counterpart: same argument kinds and defaults, same named parameters, a
// result of the same kind, and the same default holder for returned objects.
// _quarnel's time over this module's time is the overhead that is ours.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>
#include <pybind11/typing.h>

#include <cstdint>
#include <string>
#include <vector>

namespace py = pybind11;

namespace {

// Own enumerations, so that nothing here collides with _quarnel's
// registrations in the shared pybind11 registry.
enum class Kind : uint8_t { A = 0, B = 1 };
enum class Place : int32_t { HERE = 0, THERE = 1 };

// The trivial bound class: one word, default (unique_ptr) holder.
struct Obj {
    int64_t value = 0;
};

py::typing::List<py::int_> two_ints() {
    static constexpr uint64_t VALUES[2] = {2, 3};
    py::typing::List<py::int_> list(2);
    for (int i = 0; i < 2; ++i) {
        PyObject* item = PyLong_FromUnsignedLongLong(VALUES[i]);
        if (item == nullptr) throw py::error_already_set();
        PyList_SET_ITEM(list.ptr(), i, item);
    }
    return list;
}

}  // namespace

PYBIND11_MODULE(_bench_floor, m) {
    py::enum_<Kind>(m, "Kind").value("A", Kind::A).value("B", Kind::B).export_values();
    py::enum_<Place>(m, "Place").value("HERE", Place::HERE).value("THERE", Place::THERE).export_values();

    // Tensor(shape, dtype=..., device=...), Tensor.zeros, Tensor.ones: a list of ints and 2 defaulted enums in
    const auto make = [](const std::vector<uint64_t>& shape, Kind, Place) {
        return Obj{static_cast<int64_t>(shape.size())};
    };
    // .view(dims), .reshape(dims): a list of signed ints in, a new object out
    const auto reshaped = [](const Obj& o, const std::vector<long long>& dims) {
        return Obj{o.value + static_cast<int64_t>(dims.size())};
    };
    py::class_<Obj>(m, "Obj")
        .def(py::init(make), py::arg("shape"), py::arg("dtype") = Kind::A, py::arg("device") = Place::HERE)
        .def_static("zeros", make, py::arg("shape"), py::arg("dtype") = Kind::A, py::arg("device") = Place::HERE)
        .def_static("ones", make, py::arg("shape"), py::arg("dtype") = Kind::A, py::arg("device") = Place::HERE)
        // .shape: a read-only property giving a fresh list of two ints
        .def_property_readonly("shape", [](const Obj&) { return two_ints(); })
        // .numel(): a method giving an int
        .def("numel", [](const Obj& o) { return o.value; })
        // .contiguous(): a method giving a new object
        .def("contiguous", [](const Obj& o) { return Obj{o.value}; })
        .def("view", reshaped, py::arg("dims"))
        .def("reshape", reshaped, py::arg("dims"))
        // a + b: an operator giving a new object
        .def(
            "__add__", [](const Obj& a, const Obj& b) { return Obj{a.value + b.value}; }, py::is_operator())
        // repr(): a std::string as long as a tensor's text
        .def("__repr__",
             [](const Obj&) { return std::string("quarnel.Tensor(shape=[2, 3], dtype=fp32, device=cpu)"); });

    // execute(output)
    m.def(
        "execute", [](const Obj&) {}, py::arg("output"));
}
