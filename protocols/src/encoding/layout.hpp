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

} // namespace protocols::encoding
