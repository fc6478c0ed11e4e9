// str(): the text form of the whole protocol, under a shared borrow.
#include "boundary/failure.hpp"
#include "boundary/text_object.hpp"
#include "protocol.hpp"

namespace pyvexa {

PyObject* protocol_str(PyObject* self) noexcept {
    return boundary::guarded([&]() -> PyObject* {
        auto p = borrow_shared(self);
        if (!p) return nullptr;
        return boundary::protocol_text_object(p->settings);
    });
}

} // namespace pyvexa
