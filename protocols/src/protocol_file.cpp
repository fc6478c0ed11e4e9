#include "protocol_file.hpp"
#include "failure_texts.hpp"

#include "encoding/layout.hpp"

namespace protocols::protocol_file {

namespace {

// The protocol's file content, encoded piece by piece as it is written: a
// buffer of SAVE_PIECE bytes stays warm in the cache, and no buffer of the
// whole file (25 MB for a long arbitrary signal) is ever filled.
constexpr std::size_t SAVE_PIECE = std::size_t{1} << 20;

class EncodedProtocol final : public ByteSource {
  public:
    explicit EncodedProtocol(const settings::Settings& s) noexcept : s_(s) {}
    void pieces(PieceSink take) const override {
        encoding::encode_settings_pieces(
            s_, SAVE_PIECE,
            [](void* ctx, const std::uint8_t* p, std::size_t n) {
                return (*static_cast<PieceSink*>(ctx))(std::span<const std::uint8_t>(p, n));
            },
            &take);
    }

  private:
    const settings::Settings& s_;
};

} // namespace

std::expected<void, SaveFailure> save(settings::Settings& s, std::string_view filepath,
                                      Interrupt interrupted) {
    if (!filepath.ends_with(".vexa")) {
        return std::unexpected(SaveFailure{{std::string(error::texts::NOT_A_VEXA_FILE)}, false});
    }
    // The fill-in stays even if writing fails: it is part of the protocol
    // from now on, not of this one file.
    settings::fill_empty_signals(s);
    auto written = write_file(filepath, EncodedProtocol(s), interrupted);
    if (written) return {};
    if (is_abandoned(written.error())) return std::unexpected(SaveFailure{{}, true});
    return std::unexpected(SaveFailure{error::unwrap_failure(written.error().debug_form()), false});
}

} // namespace protocols::protocol_file
