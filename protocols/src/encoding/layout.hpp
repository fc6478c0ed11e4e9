#pragma once

#include "encoding/appenders.hpp"
#include "settings.hpp"

// The record layout of the protocol file: every record's fields in declared
// order, back to back.
namespace protocols::encoding {

void append(Bytes& out, const lcsettings::LCSetting& v);
void append(Bytes& out, const lcsettings::Coil& v);
void append(Bytes& out, const machine_config::MachineConfig& v);
void append(Bytes& out, const signals::Signal& v);
void append(Bytes& out, const settings::SignalSourceSelection& v);
void append(Bytes& out, const settings::ChannelSettings& v);
void append(Bytes& out, const settings::Settings& v);

// The complete file content for `s`.
Bytes encode_settings(const settings::Settings& s);

// Takes the next piece of an encoding; false asks for no more.
using TakePiece = bool (*)(void* ctx, const std::uint8_t* piece, std::size_t size);

// The pieces a buffer is handed on in when the result is appended to memory.
inline constexpr std::size_t APPEND_PIECE = std::size_t{64} << 10;

// The content of encode_settings(s) handed to `take` in pieces (never
// empty, of about `piece` bytes and at most a few hundred more), in order,
// until the end or until `take` returns false. Only the one buffer of
// about `piece` bytes is used, however large the file.
void encode_settings_pieces(const settings::Settings& s, std::size_t piece, TakePiece take,
                            void* ctx);

} // namespace protocols::encoding
