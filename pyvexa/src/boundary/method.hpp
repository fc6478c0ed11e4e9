#pragma once

// A method of a class, said once: its name, how it takes `self`, its
// parameters in binding order with the conversion of each, and the model
// call it makes. The entry point, the names in binding and conversion
// errors and the text signature in the method table all come from that one
// description, at compile time: an entry point is the same straight-line
// code as one written out by hand.
//
//     inline constexpr Method set_session_duration{
//         Exclusive{}, "set_session_duration",
//         [](Settings& s, double d) { return settings::set_session_duration(s, d); },
//         Double{"duration"}};
//
// The self kind (here Exclusive) is the class's: it names the class for
// messages, takes the borrow of `self` and hands the operation its target.

#include "boundary/binding.hpp"
#include "boundary/convert.hpp"
#include "boundary/failure.hpp"
#include "boundary/numpy.hpp"
#include "boundary/python.hpp"

#include <error.hpp>

#include <array>
#include <cstddef>
#include <expected>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>

namespace pyvexa::boundary {

// Parameter kinds: the conversion rules of the call boundary. A kind has
// the parameter's name, convert(), which raises naming the parameter, and
// value(), which gives the operation the converted value. What convert()
// returns lives until the call ends (a borrow of the argument, say).
template <auto Convert>
struct Param {
    std::string_view name;
    static auto convert(PyObject* obj, std::string_view name) noexcept {
        return Convert(obj, name);
    }
    template <class T>
    static T value(T v) noexcept {
        return v;
    }
};

// A one-dimensional float64 NumPy array. NumPy's interface is found first,
// whatever the argument is: without it nothing can be said about it.
inline Result<DoubleVector> to_double_array(PyObject* obj, std::string_view name) noexcept {
    auto api = array_api();
    if (!api) return raised();
    return as_double_vector(*api, obj, name);
}

using Double = Param<&to_double>;
using U64 = Param<&to_u64>;
using Bool = Param<&to_bool>;
using Text = Param<&to_utf8>;
using DoubleArray = Param<&to_double_array>;

template <class Self, class Op, class... Params>
struct Method {
    constexpr Method(Self, std::string_view name, Op op, Params... params)
        : name(name), op(op), params{params...} {}

    std::string_view name;
    Op op;
    std::tuple<Params...> params;

    static constexpr std::size_t arity = sizeof...(Params);
    using self_kind = Self;
    using param_kinds = std::tuple<Params...>;
};

namespace detail {

// Characters of a text built at compile time, with a final NUL.
template <std::size_t N>
struct Chars {
    std::array<char, N + 1> data{};
    constexpr std::string_view view() const noexcept { return {data.data(), N}; }
};

template <const auto& M>
constexpr std::array<std::string_view, M.arity> param_names() noexcept {
    return std::apply(
        [](const auto&... p) { return std::array<std::string_view, M.arity>{p.name...}; },
        M.params);
}

// Joins `parts` into out; returns how many characters that takes, so the
// same function measures (out == nullptr) and writes.
template <std::size_t K>
constexpr std::size_t join(const std::array<std::string_view, K>& parts, char* out) noexcept {
    std::size_t n = 0;
    for (std::string_view part : parts) {
        for (char c : part) {
            if (out) out[n] = c;
            ++n;
        }
    }
    return n;
}

// "name($self, a, b)\n--\n\n": the documentation string that gives the
// interpreter a method's text signature and nothing else.
template <const auto& M>
constexpr auto doc_parts() noexcept {
    constexpr auto names = param_names<M>();
    std::array<std::string_view, 3 + 2 * M.arity> parts{};
    std::size_t i = 0;
    parts[i++] = M.name;
    parts[i++] = "($self";
    for (std::string_view name : names) {
        parts[i++] = ", ";
        parts[i++] = name;
    }
    parts[i++] = ")\n--\n\n";
    return parts;
}

// "Class.name()": the function as binding errors name it.
template <const auto& M>
constexpr std::array<std::string_view, 4> function_parts() noexcept {
    using Self = typename std::remove_cvref_t<decltype(M)>::self_kind;
    return {Self::class_name, ".", M.name, "()"};
}

// The text that `Parts` (one of the two above) gives, as a NUL-terminated
// array in static storage.
template <auto Parts>
inline constexpr auto joined = [] {
    constexpr auto parts = Parts();
    Chars<join(parts, nullptr)> out;
    join(parts, out.data.data());
    return out;
}();

template <const auto& M>
inline constexpr Signature<M.arity> signature{joined<&function_parts<M>>.view(), param_names<M>()};

// The operation's result as a fresh Python value: nothing becomes None; a
// model failure becomes the failure exception.
template <class T>
struct is_expected : std::false_type {};
template <class T, class E>
struct is_expected<std::expected<T, E>> : std::true_type {};

inline PyObject* to_python(std::uint64_t v) noexcept {
    return PyLong_FromUnsignedLongLong(v);
}
inline PyObject* to_python(double v) noexcept {
    return PyFloat_FromDouble(v);
}
inline PyObject* to_python(PyObject* v) noexcept {
    return v;
}

template <class Call>
[[gnu::always_inline]] inline PyObject* finish(Call&& call) {
    using R = decltype(call());
    if constexpr (std::is_void_v<R>) {
        call();
        Py_RETURN_NONE;
    } else if constexpr (is_expected<R>::value) {
        auto r = call();
        if (!r) [[unlikely]]
            return fail(r.error());
        if constexpr (std::is_void_v<typename R::value_type>) {
            Py_RETURN_NONE;
        } else {
            return to_python(*r);
        }
    } else {
        return to_python(call());
    }
}

// Converts argument I and goes on with the next; what a conversion returns
// stays alive in this frame until the operation has run.
template <const auto& M, std::size_t I, class Target, class... Values>
[[gnu::always_inline]] inline PyObject*
convert_then_call(Target& target, const std::array<PyObject*, M.arity>& args, Values... values) {
    if constexpr (I == M.arity) {
        return finish([&] { return M.op(target, values...); });
    } else {
        using Kind =
            std::tuple_element_t<I, typename std::remove_cvref_t<decltype(M)>::param_kinds>;
        constexpr std::string_view name = std::get<I>(M.params).name;
        auto converted = Kind::convert(args[I], name);
        if (!converted) return nullptr;
        return convert_then_call<M, I + 1>(target, args, values..., Kind::value(*converted));
    }
}

} // namespace detail

// The entry point of a method with parameters: the fast-call convention
// with keywords. Binds, takes `self`, converts in order, calls the model.
template <const auto& M>
PyObject* fast_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames) noexcept {
    using Self = typename std::remove_cvref_t<decltype(M)>::self_kind;
    return guarded([&]() -> PyObject* {
        auto arg = bind(detail::signature<M>, args, nargs, kwnames);
        if (!arg) return nullptr;
        auto taken = Self::take(self);
        if (!taken) return nullptr;
        return detail::convert_then_call<M, 0>(Self::target(*taken), *arg);
    });
}

// The entry point of a method without parameters: the interpreter itself
// refuses arguments.
template <const auto& M>
PyObject* noargs_entry(PyObject* self, PyObject*) noexcept {
    using Self = typename std::remove_cvref_t<decltype(M)>::self_kind;
    return guarded([&]() -> PyObject* {
        auto taken = Self::take(self);
        if (!taken) return nullptr;
        return detail::finish([&] { return M.op(Self::target(*taken)); });
    });
}

// The method table's entry for a description.
template <const auto& M>
PyMethodDef method_def() noexcept {
    static_assert(M.name.data()[M.name.size()] == '\0', "the name must be a whole literal");
    const char* doc = detail::joined<&detail::doc_parts<M>>.data.data();
    if constexpr (M.arity == 0) {
        return {M.name.data(), &noargs_entry<M>, METH_NOARGS, doc};
    } else {
        return {M.name.data(),
                reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&fast_entry<M>)),
                METH_FASTCALL | METH_KEYWORDS, doc};
    }
}

} // namespace pyvexa::boundary
