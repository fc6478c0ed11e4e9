#include "boundary/binding.hpp"
#include "boundary/convert.hpp"
#include "boundary/failure.hpp"
#include "protocol.hpp"

#include <encoding/layout.hpp>
#include <error.hpp>
#include <protocol_file.hpp>
#include <settings.hpp>

#include <string_view>

namespace pyvexa {

namespace b = boundary;

PyObject* save(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
               PyObject* kwnames) noexcept {
    return b::guarded([&]() -> PyObject* {
        static constexpr b::Signature<1> sig{"Protocol.save()", {"filepath"}};
        auto arg = b::bind(sig, args, nargs, kwnames);
        if (!arg) return nullptr;
        auto p = borrow_exclusive(self);
        if (!p) return nullptr;
        auto filepath = b::to_utf8((*arg)[0], "filepath");
        if (!filepath) return nullptr;
        if (!filepath->ends_with(".vexa")) {
            b::raise_failure("assertion failed: filepath.ends_with(\".vexa\")");
            return nullptr;
        }
        // The fill-in stays even if writing fails: it is part of the
        // protocol from now on, not of this one file.
        protocols::settings::fill_empty_signals(p->settings);
        const auto bytes = protocols::encoding::encode_settings(p->settings);
        if (auto written = protocols::protocol_file::write_file(*filepath, bytes); !written) {
            return b::fail(protocols::error::unwrap_failure(written.error().debug_form()));
        }
        Py_RETURN_NONE;
    });
}

} // namespace pyvexa
