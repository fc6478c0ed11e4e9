// The five add_* operations: each appends one signal and returns its
// position, which is the length of the list before the append.
#include "boundary/binding.hpp"
#include "boundary/convert.hpp"
#include "boundary/failure.hpp"
#include "boundary/numpy.hpp"
#include "protocol.hpp"

#include <settings.hpp>
#include <signals.hpp>

#include <utility>

namespace pyvexa {

namespace settings = protocols::settings;
namespace signals = protocols::signals;
namespace b = boundary;

namespace {

// Appending may need a larger list; when that memory is not there the
// append throws before anything is changed (MemoryError to the caller).
PyObject* append(settings::Settings& s, signals::Signal signal) {
    return PyLong_FromUnsignedLongLong(settings::add_signal(s, std::move(signal)));
}

} // namespace

PyObject* add_constant_signal(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) noexcept {
    return b::guarded([&]() -> PyObject* {
        static constexpr b::Signature<1> sig{"Protocol.add_constant_signal()", {"value"}};
        auto arg = b::bind(sig, args, nargs, kwnames);
        if (!arg) return nullptr;
        auto p = borrow_exclusive(self);
        if (!p) return nullptr;
        auto value = b::to_double((*arg)[0], "value");
        if (!value) return nullptr;
        return append(p->settings, signals::ConstantSignalParams{*value});
    });
}

PyObject* add_sine_signal(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) noexcept {
    return b::guarded([&]() -> PyObject* {
        static constexpr b::Signature<4> sig{"Protocol.add_sine_signal()",
                                             {"amplitude", "frequency", "phase", "depth"}};
        auto arg = b::bind(sig, args, nargs, kwnames);
        if (!arg) return nullptr;
        auto p = borrow_exclusive(self);
        if (!p) return nullptr;
        auto amplitude = b::to_double((*arg)[0], "amplitude");
        if (!amplitude) return nullptr;
        auto frequency = b::to_double((*arg)[1], "frequency");
        if (!frequency) return nullptr;
        auto phase = b::to_double((*arg)[2], "phase");
        if (!phase) return nullptr;
        auto depth = b::to_double((*arg)[3], "depth");
        if (!depth) return nullptr;
        return append(p->settings,
                      signals::SineSignalParams{*amplitude, *frequency, *phase, *depth});
    });
}

PyObject* add_ramp_signal(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) noexcept {
    return b::guarded([&]() -> PyObject* {
        static constexpr b::Signature<3> sig{"Protocol.add_ramp_signal()",
                                             {"peak", "up_duration", "down_duration"}};
        auto arg = b::bind(sig, args, nargs, kwnames);
        if (!arg) return nullptr;
        auto p = borrow_exclusive(self);
        if (!p) return nullptr;
        auto peak = b::to_double((*arg)[0], "peak");
        if (!peak) return nullptr;
        auto up = b::to_double((*arg)[1], "up_duration");
        if (!up) return nullptr;
        auto down = b::to_double((*arg)[2], "down_duration");
        if (!down) return nullptr;
        return append(p->settings, signals::RampSignalParams{*peak, *up, *down});
    });
}

PyObject* add_mixed_signal(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) noexcept {
    return b::guarded([&]() -> PyObject* {
        static constexpr b::Signature<2> sig{"Protocol.add_mixed_signal()", {"a_idx", "b_idx"}};
        auto arg = b::bind(sig, args, nargs, kwnames);
        if (!arg) return nullptr;
        auto p = borrow_exclusive(self);
        if (!p) return nullptr;
        auto a = b::to_u64((*arg)[0], "a_idx");
        if (!a) return nullptr;
        auto b_idx = b::to_u64((*arg)[1], "b_idx");
        if (!b_idx) return nullptr;
        return append(p->settings, signals::MixedSignalParams{*a, *b_idx});
    });
}

PyObject* add_arbitrary_signal(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) noexcept {
    return b::guarded([&]() -> PyObject* {
        static constexpr b::Signature<1> sig{"Protocol.add_arbitrary_signal()", {"samples"}};
        auto arg = b::bind(sig, args, nargs, kwnames);
        if (!arg) return nullptr;
        auto p = borrow_exclusive(self);
        if (!p) return nullptr;
        // NumPy first, whatever `samples` is: without it nothing can be
        // said about the argument.
        auto api = b::array_api();
        if (!api) return nullptr;
        auto samples = b::as_double_vector(*api, (*arg)[0], "samples");
        if (!samples) return nullptr;
        auto n = settings::num_samples(p->settings);
        if (!n) return b::fail(n.error());
        // No element is read before the count is known to match; from here
        // to the append no Python code runs, so the array cannot change.
        if (samples->length != *n) {
            b::raise_failure("assertion failed: samples.len() == self.get_num_samples()");
            return nullptr;
        }
        auto levels = signals::samples_from_levels(samples->data, samples->stride, samples->length);
        if (!levels) return b::fail(levels.error());
        return append(p->settings, signals::ArbitrarySignalParams{std::move(*levels)});
    });
}

} // namespace pyvexa
