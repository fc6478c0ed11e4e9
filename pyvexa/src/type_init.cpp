#include "type_init.hpp"

#include "boundary/messages.hpp"

namespace pyvexa {

void raise_class_init_error(std::string_view name) noexcept {
    boundary::FetchedError cause = boundary::FetchedError::fetch();
    if (cause.value && cause.trace) PyException_SetTraceback(cause.value.get(), cause.trace.get());

    boundary::raise_joined(PyExc_RuntimeError,
                           {"An error occurred while initializing class ", name});
    if (!cause.value) return;
    boundary::FetchedError raised = boundary::FetchedError::fetch();
    if (raised.value) PyException_SetCause(raised.value.get(), cause.value.release());
    raised.restore();
}

} // namespace pyvexa
