// Encoder round trip: an arbitrary Settings, encoded, must read back through
// an independent decoder as exactly the same value, with every byte of the
// encoding consumed.

#include "check.hpp"
#include "compare.hpp"
#include "decoder.hpp"
#include "random_settings.hpp"

#include "encoding/layout.hpp"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    const protocols::settings::Settings original = fuzzing::SettingsSource(in).settings();

    const protocols::encoding::Bytes bytes = protocols::encoding::encode_settings(original);

    protocols::settings::Settings decoded;
    try {
        decoded = fuzzing::Decoder(bytes).settings();
    } catch (const fuzzing::DecodeError& e) {
        fuzzing::fail(std::string("encoding does not decode: ") + e.what() + " of " +
                      std::to_string(bytes.size()) + " bytes");
    }
    fuzzing::check(fuzzing::same(original, decoded),
                   "decoded settings differ from the encoded ones");

    // Appending after existing content must leave that content alone and add
    // the same bytes (the sample writer works in place behind the buffer's end).
    protocols::encoding::Bytes prefixed{0xA5, 0x5A, 0xFF};
    protocols::encoding::append(prefixed, original);
    fuzzing::check(prefixed.size() == bytes.size() + 3 && prefixed[0] == 0xA5 &&
                       prefixed[1] == 0x5A && prefixed[2] == 0xFF &&
                       std::equal(bytes.begin(), bytes.end(), prefixed.begin() + 3),
                   "append to a non-empty buffer differs from encode_settings");
    return 0;
}
