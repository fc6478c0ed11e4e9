// The five configuration operations: each binds, borrows, converts, lets
// the model check and write, and returns None.
#include "boundary/binding.hpp"
#include "boundary/convert.hpp"
#include "boundary/failure.hpp"
#include "enums.hpp"
#include "protocol.hpp"

#include <settings.hpp>

namespace pyvexa {

namespace settings = protocols::settings;
namespace b = boundary;

PyObject* set_stimulation_intensity(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames) noexcept {
    return b::guarded([&]() -> PyObject* {
        static constexpr b::Signature<1> sig{"Protocol.set_stimulation_intensity()",
                                             {"intensity"}};
        auto arg = b::bind(sig, args, nargs, kwnames);
        if (!arg) return nullptr;
        auto p = borrow_exclusive(self);
        if (!p) return nullptr;
        auto intensity = b::to_double((*arg)[0], "intensity");
        if (!intensity) return nullptr;
        if (auto done = settings::set_stimulation_intensity(p->settings, *intensity); !done) {
            return b::fail(done.error());
        }
        Py_RETURN_NONE;
    });
}

PyObject* set_session_duration(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) noexcept {
    return b::guarded([&]() -> PyObject* {
        static constexpr b::Signature<1> sig{"Protocol.set_session_duration()", {"duration"}};
        auto arg = b::bind(sig, args, nargs, kwnames);
        if (!arg) return nullptr;
        auto p = borrow_exclusive(self);
        if (!p) return nullptr;
        auto duration = b::to_double((*arg)[0], "duration");
        if (!duration) return nullptr;
        if (auto done = settings::set_session_duration(p->settings, *duration); !done) {
            return b::fail(done.error());
        }
        Py_RETURN_NONE;
    });
}

PyObject* enable_channel(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) noexcept {
    return b::guarded([&]() -> PyObject* {
        static constexpr b::Signature<1> sig{"Protocol.enable_channel()", {"channel"}};
        auto arg = b::bind(sig, args, nargs, kwnames);
        if (!arg) return nullptr;
        auto p = borrow_exclusive(self);
        if (!p) return nullptr;
        auto channel = to_channel((*arg)[0], "channel");
        if (!channel) return nullptr;
        settings::enable_channel(p->settings, static_cast<settings::Channel>(channel->variant));
        Py_RETURN_NONE;
    });
}

PyObject* set_amplitude_source(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) noexcept {
    return b::guarded([&]() -> PyObject* {
        static constexpr b::Signature<3> sig{"Protocol.set_amplitude_source()",
                                             {"coil", "external", "index"}};
        auto arg = b::bind(sig, args, nargs, kwnames);
        if (!arg) return nullptr;
        auto p = borrow_exclusive(self);
        if (!p) return nullptr;
        auto coil = to_coil((*arg)[0], "coil");
        if (!coil) return nullptr;
        auto external = b::to_bool((*arg)[1], "external");
        if (!external) return nullptr;
        auto index = b::to_u64((*arg)[2], "index");
        if (!index) return nullptr;
        settings::set_amplitude_source(p->settings,
                                       static_cast<settings::CoilPosition>(coil->variant),
                                       *external, *index);
        Py_RETURN_NONE;
    });
}

PyObject* set_modulation_source(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) noexcept {
    return b::guarded([&]() -> PyObject* {
        static constexpr b::Signature<3> sig{"Protocol.set_modulation_source()",
                                             {"channel", "external", "index"}};
        auto arg = b::bind(sig, args, nargs, kwnames);
        if (!arg) return nullptr;
        auto p = borrow_exclusive(self);
        if (!p) return nullptr;
        auto channel = to_channel((*arg)[0], "channel");
        if (!channel) return nullptr;
        auto external = b::to_bool((*arg)[1], "external");
        if (!external) return nullptr;
        auto index = b::to_u64((*arg)[2], "index");
        if (!index) return nullptr;
        settings::set_modulation_source(p->settings,
                                        static_cast<settings::Channel>(channel->variant),
                                        *external, *index);
        Py_RETURN_NONE;
    });
}

} // namespace pyvexa
