#pragma once

#include "settings.hpp"
#include "text_double.hpp"
#include "text_escape.hpp"

#include <cstddef>
#include <memory>
#include <string>

// The text form of the model: a multi-line (pretty) form of a whole
// protocol. It never ends in a newline.
namespace protocols::text {

class SignalListTexts;

// Pretty form of a whole protocol: "Protocol {\n    settings: Settings {..."
std::string pretty_protocol(const settings::Settings& s);

// The same text, measured before it is written, so that it can go straight
// into memory of exactly its size that the caller provides (a new Python
// str, say) without a second full copy. The settings must outlive this
// object and stay unchanged.
class ProtocolText {
  public:
    explicit ProtocolText(const settings::Settings& s);
    ~ProtocolText();
    ProtocolText(const ProtocolText&) = delete;
    ProtocolText& operator=(const ProtocolText&) = delete;

    std::size_t size() const noexcept { return size_; }
    // True when every byte is below 0x80 (all but quoted text always is).
    bool is_ascii() const noexcept { return ascii_; }
    // Writes exactly size() bytes to out: the text of pretty_protocol().
    void write(char* out) const noexcept;

  private:
    const settings::Settings& settings_;
    std::size_t size_ = 0;
    bool ascii_ = true;
    // What measuring a long signal list learnt, for writing it.
    std::unique_ptr<SignalListTexts> lists_;
};

} // namespace protocols::text
