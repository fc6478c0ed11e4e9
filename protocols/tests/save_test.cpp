// Saving a protocol: the name check, the fill-in, the bytes, the failure's
// words, and giving up when asked.
#include "encoding/layout.hpp"
#include "protocol_file.hpp"
#include "settings.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;
namespace pf = protocols::protocol_file;
using protocols::settings::Settings;

std::vector<std::uint8_t> read_all(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

class SaveTest : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() / ("pyvexa-save-" + std::to_string(::getpid()));
        fs::create_directories(dir_);
        s_ = protocols::settings::default_settings();
        s_.signals.clear();
    }
    void TearDown() override { fs::remove_all(dir_); }
    std::string message(const std::string& name, pf::Interrupt interrupted = {}) {
        auto r = pf::save(s_, (dir_ / name).string(), interrupted);
        if (r) return "ok";
        return r.error().interrupted ? "interrupted" : r.error().failure.message;
    }
    fs::path dir_;
    Settings s_;
};

TEST_F(SaveTest, WritesTheFilledInProtocol) {
    EXPECT_EQ(message("a.vexa"), "ok");
    ASSERT_EQ(s_.signals.size(), 1u);
    EXPECT_EQ(read_all(dir_ / "a.vexa"), protocols::encoding::encode_settings(s_));
    EXPECT_EQ(fs::file_size(dir_ / "a.vexa"), 200u);
}

class SaveNameTest : public SaveTest, public ::testing::WithParamInterface<const char*> {};

// Refused before anything changes: no fill-in, no file.
TEST_P(SaveNameTest, WrongExtensionChangesNothing) {
    EXPECT_EQ(message(GetParam()), "assertion failed: filepath.ends_with(\".vexa\")");
    EXPECT_TRUE(s_.signals.empty());
    EXPECT_TRUE(fs::is_empty(dir_));
}

INSTANTIATE_TEST_SUITE_P(Save, SaveNameTest,
                         ::testing::Values("x.VEXA", "x.vex", "x.vexa.bak", "vexa", ".vexA"));

// A failed write is worded as an unwrapped error; the fill-in stays.
TEST_F(SaveTest, WriteFailureIsUnwrapWording) {
    EXPECT_EQ(message("missing/a.vexa"),
              "called `Result::unwrap()` on an `Err` value: Os { code: 2, kind: NotFound, "
              "message: \"No such file or directory\" }");
    EXPECT_EQ(s_.signals.size(), 1u);
}

// Asked to give up while it waits for a FIFO's reader: the save says so,
// and the FIFO is all there is.
TEST_F(SaveTest, GivesUpWhenInterruptAsks) {
    ASSERT_EQ(::mkfifo((dir_ / "pipe.vexa").c_str(), 0644), 0);
    int asked = 0;
    auto check = [&] { return ++asked == 3; };
    EXPECT_EQ(message("pipe.vexa", pf::Interrupt(check)), "interrupted");
    EXPECT_EQ(asked, 3);
    EXPECT_EQ(std::vector<fs::path>(fs::directory_iterator(dir_), {}),
              std::vector<fs::path>{dir_ / "pipe.vexa"});
}

// A large protocol is encoded and written in pieces; asked between them,
// the save gives up, and the old file is all there is.
TEST_F(SaveTest, GivesUpBetweenPieces) {
    ASSERT_EQ(message("a.vexa"), "ok");
    const auto before = read_all(dir_ / "a.vexa");
    s_.signals.push_back(protocols::signals::ArbitrarySignalParams{
        std::vector<std::int16_t>(1'000'000, -300)}); // 2 bytes a sample
    int asked = 0;
    auto check = [&] { return ++asked == 1; };
    EXPECT_EQ(message("a.vexa", pf::Interrupt(check)), "interrupted");
    EXPECT_EQ(asked, 1);
    EXPECT_EQ(read_all(dir_ / "a.vexa"), before);
    EXPECT_EQ(std::vector<fs::path>(fs::directory_iterator(dir_), {}),
              std::vector<fs::path>{dir_ / "a.vexa"});
}

} // namespace
