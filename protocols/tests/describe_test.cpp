// The record descriptions: every member of every record, once, in declared
// order (the order of the text form and of the file, as the records say).

#include "describe.hpp"

#include <gtest/gtest.h>

#include <cstddef>
#include <set>
#include <string>
#include <vector>

namespace {

using namespace protocols;

// Converts to anything: R{Any{}, ...} compiles for up to as many as R has members.
struct Any {
    template <class T>
    operator T() const;
};

template <class R, class... A>
constexpr std::size_t member_count() {
    if constexpr (requires { R{A{}..., Any{}}; }) {
        return member_count<R, A..., Any>();
    } else {
        return sizeof...(A);
    }
}

template <class R>
void expect_complete_and_ordered() {
    const R r{};
    std::vector<std::size_t> offsets;
    std::set<std::string> names;
    describe::fields(r, [&](std::string_view name, const auto& f) {
        offsets.push_back(static_cast<std::size_t>(reinterpret_cast<const char*>(&f) -
                                                   reinterpret_cast<const char*>(&r)));
        EXPECT_TRUE(names.insert(std::string(name)).second) << name;
    });
    EXPECT_EQ(offsets.size(), member_count<R>()) << describe::name_of<R>;
    for (std::size_t i = 1; i < offsets.size(); ++i)
        EXPECT_LT(offsets[i - 1], offsets[i]) << describe::name_of<R> << " field " << i;
}

TEST(Describe, EveryRecordListsEveryMemberOnceInDeclaredOrder) {
    expect_complete_and_ordered<lcsettings::LCSetting>();
    expect_complete_and_ordered<lcsettings::Coil>();
    expect_complete_and_ordered<machine_config::MachineConfig>();
    expect_complete_and_ordered<signals::ConstantSignalParams>();
    expect_complete_and_ordered<signals::SineSignalParams>();
    expect_complete_and_ordered<signals::RampSignalParams>();
    expect_complete_and_ordered<signals::MixedSignalParams>();
    expect_complete_and_ordered<signals::ArbitrarySignalParams>();
    expect_complete_and_ordered<settings::SignalSourceSelection>();
    expect_complete_and_ordered<settings::ChannelSettings>();
    expect_complete_and_ordered<settings::Settings>();
}

} // namespace
