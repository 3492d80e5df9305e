// Integer arguments that take integers only. pybind11's own conversion truncates anything with
// __int__ (a NumPy float32 5.9 arrives as 5) and reads a set in hash order. Here an integer is
// a Python int or an object with __index__, and a list of lengths is an ordered collection of
// them (a sequence, a generator or a dict view); the generated signatures stay pybind11's.
#pragma once

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstdint>
#include <vector>

namespace orvane::bindings {

template <typename T>
struct StrictInteger {
    T value;
    operator T() const { return value; }
};

struct StrictLengths {
    std::vector<int> values;
    operator const std::vector<int>&() const { return values; }
};

// The argument type that `strict` binds in place of T.
template <typename T>
struct Strict {
    using type = T;
};
template <>
struct Strict<int> {
    using type = StrictInteger<int>;
};
template <>
struct Strict<long> {
    using type = StrictInteger<long>;
};
template <>
struct Strict<long long> {
    using type = StrictInteger<long long>;
};
template <>
struct Strict<std::uint64_t> {
    using type = StrictInteger<std::uint64_t>;
};
template <>
struct Strict<const std::vector<int>&> {
    using type = const StrictLengths&;
};

// `operation` with every integer argument converted strictly.
template <typename Result, typename... Args>
auto strict(Result (*operation)(Args...)) {
    return [operation](typename Strict<Args>::type... args) { return operation(args...); };
}

}  // namespace orvane::bindings

namespace pybind11::detail {

template <typename T>
struct type_caster<orvane::bindings::StrictInteger<T>> {
    PYBIND11_TYPE_CASTER(orvane::bindings::StrictInteger<T>, make_caster<T>::name);

    // An int, or the int that __index__ gives; floats have no __index__.
    bool load(handle source, bool /*convert*/) {
        if (!PyLong_Check(source.ptr()) && !PyIndex_Check(source.ptr())) {
            return false;
        }
        const auto index = reinterpret_steal<object>(PyNumber_Index(source.ptr()));
        make_caster<T> integer;
        if (!index || !integer.load(index, /*convert=*/false)) {
            PyErr_Clear();
            return false;
        }
        value.value = cast_op<T>(integer);
        return true;
    }
};

template <>
struct type_caster<orvane::bindings::StrictLengths> {
    PYBIND11_TYPE_CASTER(orvane::bindings::StrictLengths, make_caster<std::vector<int>>::name);

    bool load(handle source, bool /*convert*/) {
        if (PyAnySet_Check(source.ptr()) || !object_is_convertible_to_std_vector(source)) {
            return false;
        }
        const object items = isinstance<sequence>(source)
                                 ? reinterpret_borrow<object>(source)
                                 : tuple(reinterpret_borrow<iterable>(source));
        value.values.clear();
        for (const handle item : items) {
            type_caster<orvane::bindings::StrictInteger<int>> length;
            if (!length.load(item, /*convert=*/false)) {
                return false;
            }
            value.values.push_back(cast_op<orvane::bindings::StrictInteger<int>>(length));
        }
        return true;
    }
};

}  // namespace pybind11::detail
