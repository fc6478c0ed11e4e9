// The text form of a whole protocol, the one text the module shows.

#include "text.hpp"

#include "fresh_memory.hpp"
#include "text_render.hpp"

namespace protocols::text {

namespace {

// "Protocol {\n    settings: Settings {..." and ",\n}": the Settings text,
// nested one level.
template <class Sink>
void put_protocol(Sink& out, const settings::Settings& s) {
    out.bytes("Protocol {\n    settings: ");
    Writer<Mode::Pretty, Sink> w(out, 1);
    put(w, s);
    out.bytes(",\n}");
}

} // namespace

ProtocolText::ProtocolText(const settings::Settings& s) : settings_(s) {
    if (s.signals.size() >= SignalListTexts::LONG_LIST)
        lists_ = std::make_unique<SignalListTexts>();
    Counter counter;
    counter.signal_lists = lists_.get();
    put_protocol(counter, s);
    size_ = counter.size;
    ascii_ = counter.ascii;
}

ProtocolText::~ProtocolText() = default;

void ProtocolText::write(char* out) const noexcept {
    // The memory is most likely fresh and about to be filled whole.
    prepare_for_filling(out, size_);
    Cursor cursor{out, out + size_, lists_.get()};
    put_protocol(cursor, settings_);
}

std::string pretty_protocol(const settings::Settings& s) {
    const ProtocolText text(s);
    std::string out;
    out.resize_and_overwrite(text.size(), [&text](char* p, std::size_t n) noexcept {
        text.write(p);
        return n;
    });
    return out;
}

} // namespace protocols::text
