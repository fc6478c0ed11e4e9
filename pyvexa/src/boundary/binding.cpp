#include "boundary/binding.hpp"

#include "boundary/messages.hpp"
#include "boundary/owned.hpp"

#include <cstring>
#include <new>
#include <string>

namespace pyvexa::boundary {

namespace {

[[gnu::noinline]] void raise_too_many(std::string_view function, std::size_t params,
                                      std::size_t given) noexcept {
    try {
        std::string message(function);
        message += " takes ";
        message += std::to_string(params);
        message += " positional arguments but ";
        message += std::to_string(given);
        message += given == 1 ? " was given" : " were given";
        raise_joined(PyExc_TypeError, {std::string_view(message)});
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    }
}

[[gnu::noinline]] void raise_unexpected(std::string_view function, PyObject* keyword) noexcept {
    Owned text = Owned::steal(PyObject_Str(keyword));
    if (!text) return;
    raise_joined(PyExc_TypeError,
                 {function, " got an unexpected keyword argument '", text.get(), "'"});
}

[[gnu::noinline]] void raise_multiple(std::string_view function, std::string_view param) noexcept {
    raise_joined(PyExc_TypeError, {function, " got multiple values for argument '", param, "'"});
}

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'".
[[gnu::noinline]] void raise_missing(std::string_view function,
                                     std::span<const std::string_view> params,
                                     std::span<PyObject* const> out) noexcept {
    try {
        std::size_t count = 0;
        for (PyObject* slot : out)
            count += slot == nullptr;
        std::string message(function);
        message += " missing ";
        message += std::to_string(count);
        message +=
            count == 1 ? " required positional argument: " : " required positional arguments: ";
        std::size_t listed = 0;
        for (std::size_t i = 0; i < params.size(); ++i) {
            if (out[i]) continue;
            if (listed > 0) {
                if (count > 2) message += ',';
                message += ' ';
                if (listed == count - 1) message += "and ";
            }
            message += '\'';
            message += params[i];
            message += '\'';
            ++listed;
        }
        raise_joined(PyExc_TypeError, {std::string_view(message)});
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    }
}

// The parameter that `keyword` names, or params.size() for none. Names are
// compared by length and bytes; a keyword that has no UTF-8 form (a lone
// surrogate) can name no parameter.
std::size_t find_param(std::span<const std::string_view> params, PyObject* keyword) noexcept {
    if (!PyUnicode_Check(keyword)) return params.size();
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(keyword, &size);
    if (!data) {
        PyErr_Clear();
        return params.size();
    }
    for (std::size_t i = 0; i < params.size(); ++i) {
        const std::string_view name = params[i];
        if (name.size() == static_cast<std::size_t>(size) &&
            std::memcmp(name.data(), data, name.size()) == 0) {
            return i;
        }
    }
    return params.size();
}

bool bind_keyword(std::string_view function, std::span<const std::string_view> params,
                  PyObject* keyword, PyObject* value, std::span<PyObject*> out) noexcept {
    const std::size_t i = find_param(params, keyword);
    if (i == params.size()) {
        raise_unexpected(function, keyword);
        return false;
    }
    if (out[i]) {
        raise_multiple(function, params[i]);
        return false;
    }
    out[i] = value;
    return true;
}

bool check_complete(std::string_view function, std::span<const std::string_view> params,
                    std::span<PyObject*> out) noexcept {
    for (PyObject* slot : out) {
        if (!slot) [[unlikely]] {
            raise_missing(function, params, out);
            return false;
        }
    }
    return true;
}

} // namespace

bool bind_fast(std::string_view function, std::span<const std::string_view> params,
               PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
               std::span<PyObject*> out) noexcept {
    const auto positional = static_cast<std::size_t>(nargs);
    if (positional > params.size()) [[unlikely]] {
        raise_too_many(function, params.size(), positional);
        return false;
    }
    for (std::size_t i = 0; i < positional; ++i)
        out[i] = args[i];
    if (kwnames) {
        const Py_ssize_t count = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < count; ++k) {
            if (!bind_keyword(function, params, PyTuple_GET_ITEM(kwnames, k), args[nargs + k],
                              out)) {
                return false;
            }
        }
    }
    return check_complete(function, params, out);
}

bool bind_tuple(std::string_view function, std::span<const std::string_view> params, PyObject* args,
                PyObject* kwargs, std::span<PyObject*> out) noexcept {
    const auto positional = static_cast<std::size_t>(args ? PyTuple_GET_SIZE(args) : 0);
    if (positional > params.size()) [[unlikely]] {
        raise_too_many(function, params.size(), positional);
        return false;
    }
    for (std::size_t i = 0; i < positional; ++i) {
        out[i] = PyTuple_GET_ITEM(args, static_cast<Py_ssize_t>(i));
    }
    if (kwargs) {
        Py_ssize_t pos = 0;
        PyObject* keyword = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(kwargs, &pos, &keyword, &value)) {
            if (!bind_keyword(function, params, keyword, value, out)) return false;
        }
    }
    return check_complete(function, params, out);
}

} // namespace pyvexa::boundary
