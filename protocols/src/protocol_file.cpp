#include "protocol_file.hpp"
#include "failure_texts.hpp"

#include "encoding/layout.hpp"

namespace protocols::protocol_file {

std::expected<void, SaveFailure> save(settings::Settings& s, std::string_view filepath,
                                      Interrupt interrupted) {
    if (!filepath.ends_with(".vexa")) {
        return std::unexpected(SaveFailure{{std::string(error::texts::NOT_A_VEXA_FILE)}, false});
    }
    // The fill-in stays even if writing fails: it is part of the protocol
    // from now on, not of this one file.
    settings::fill_empty_signals(s);
    const auto bytes = encoding::encode_settings(s);
    auto written = write_file(filepath, bytes, interrupted);
    if (written) return {};
    if (is_abandoned(written.error())) return std::unexpected(SaveFailure{{}, true});
    return std::unexpected(SaveFailure{error::unwrap_failure(written.error().debug_form()), false});
}

} // namespace protocols::protocol_file
