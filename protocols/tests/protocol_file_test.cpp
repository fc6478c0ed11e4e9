// Writing a file: atomic replacement, in-place writes of devices and
// FIFOs, and the error forms.
#include "encoding/layout.hpp"
#include "protocol_file.hpp"
#include "settings.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <grp.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using protocols::protocol_file::error_kind;
using protocols::protocol_file::IoError;
using protocols::protocol_file::write_file;
using Bytes = std::vector<std::uint8_t>;

constexpr const char* NOT_FOUND =
    R"(Os { code: 2, kind: NotFound, message: "No such file or directory" })";
constexpr const char* PERMISSION_DENIED =
    R"(Os { code: 13, kind: PermissionDenied, message: "Permission denied" })";
constexpr const char* IS_A_DIRECTORY =
    R"(Os { code: 21, kind: IsADirectory, message: "Is a directory" })";
constexpr const char* NOT_A_DIRECTORY =
    R"(Os { code: 20, kind: NotADirectory, message: "Not a directory" })";
constexpr const char* STORAGE_FULL =
    R"(Os { code: 28, kind: StorageFull, message: "No space left on device" })";
constexpr const char* FILE_TOO_LARGE =
    R"(Os { code: 27, kind: FileTooLarge, message: "File too large" })";
constexpr const char* NUL_BYTE =
    R"(Error { kind: InvalidInput, message: "file name contained an unexpected NUL byte" })";

Bytes pattern(std::size_t n, std::uint8_t seed) {
    Bytes b(n);
    for (std::size_t i = 0; i < n; ++i)
        b[i] = static_cast<std::uint8_t>(seed + i * 7);
    return b;
}

Bytes read_all(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    EXPECT_TRUE(in.good()) << "cannot read " << path;
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void write_plain(const std::string& path, const Bytes& b, mode_t mode = 0644) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    ASSERT_GE(fd, 0) << path << ": " << std::strerror(errno);
    ASSERT_EQ(::write(fd, b.data(), b.size()), static_cast<ssize_t>(b.size()));
    ASSERT_EQ(::fchmod(fd, mode), 0);
    ::close(fd);
}

mode_t mode_of(const std::string& path) {
    struct stat st {};
    EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
    return st.st_mode & 07777;
}

// "ok" or the error's debug form.
std::string outcome(std::string_view path, const Bytes& bytes) {
    auto r = write_file(path, bytes);
    return r ? std::string("ok") : r.error().debug_form();
}

// Runs `body` in a forked child and returns the text it produced. For what
// must not touch the test process: privileges, resource limits, signals.
std::string in_child(const std::function<std::string()>& body) {
    int fds[2];
    if (::pipe(fds) != 0) return "pipe failed";
    const pid_t pid = ::fork();
    if (pid < 0) return "fork failed";
    if (pid == 0) {
        ::close(fds[0]);
        std::string text;
        try {
            text = body();
        } catch (...) {
            text = "exception in child";
        }
        const char* p = text.data();
        std::size_t left = text.size();
        while (left > 0) {
            const ssize_t n = ::write(fds[1], p, left);
            if (n <= 0) break;
            p += n;
            left -= static_cast<std::size_t>(n);
        }
        ::_exit(0);
    }
    ::close(fds[1]);
    std::string text;
    char buf[512];
    for (;;) {
        const ssize_t n = ::read(fds[0], buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        text.append(buf, static_cast<std::size_t>(n));
    }
    ::close(fds[0]);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (!WIFEXITED(status)) return "child died: " + text;
    return text;
}

// Becomes the unprivileged user "nobody" (uid/gid 65534); "" on success.
std::string drop_privileges() {
    if (::setgroups(0, nullptr) != 0 && errno != EPERM) return "setgroups failed";
    if (::setgid(65534) != 0) return std::string("setgid: ") + std::strerror(errno);
    if (::setuid(65534) != 0) return std::string("setuid: ") + std::strerror(errno);
    if (::geteuid() == 0) return "still root";
    return "";
}

class ProtocolFileTest : public ::testing::Test {
  protected:
    void SetUp() override {
        const char* base = std::getenv("TMPDIR");
        std::string tmpl = std::string(base && *base ? base : "/tmp") + "/pyvexa-file-XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl.data()), nullptr) << std::strerror(errno);
        dir_ = tmpl;
        old_umask_ = ::umask(022);
    }

    void TearDown() override {
        ::umask(old_umask_);
        // Give every directory back its permissions so that it can be removed.
        std::error_code ec;
        fs::permissions(dir_, fs::perms::owner_all, fs::perm_options::add, ec);
        for (auto it = fs::recursive_directory_iterator(dir_, ec);
             it != fs::recursive_directory_iterator(); it.increment(ec)) {
            if (it->is_directory(ec) && !it->is_symlink(ec))
                fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
        }
        fs::remove_all(dir_, ec);
        EXPECT_FALSE(ec) << ec.message();
    }

    std::string path(const std::string& name) const { return dir_ + "/" + name; }

    // The names in `d` (default: the test directory).
    std::set<std::string> names(const std::string& d = "") const {
        std::set<std::string> out;
        for (const auto& e : fs::directory_iterator(d.empty() ? dir_ : d))
            out.insert(e.path().filename().string());
        return out;
    }

    std::string dir_;
    mode_t old_umask_ = 022;
};

// --------------------------------------------------- successful replacement

TEST_F(ProtocolFileTest, CreatesNewFileWithUmaskedMode) {
    const Bytes b = pattern(200, 1);
    EXPECT_EQ(outcome(path("new.vexa"), b), "ok");
    EXPECT_EQ(read_all(path("new.vexa")), b);
    EXPECT_EQ(mode_of(path("new.vexa")), 0644u); // 0666 & ~022
    EXPECT_EQ(names(), std::set<std::string>{"new.vexa"});
}

TEST_F(ProtocolFileTest, NewFileHonoursAnotherUmask) {
    ::umask(077);
    EXPECT_EQ(outcome(path("private.vexa"), pattern(10, 2)), "ok");
    EXPECT_EQ(mode_of(path("private.vexa")), 0600u);
}

TEST_F(ProtocolFileTest, WritesTheDefaultProtocol) {
    protocols::settings::Settings s = protocols::settings::default_settings();
    s.signals.clear();
    protocols::settings::fill_empty_signals(s);
    const Bytes b = protocols::encoding::encode_settings(s);
    ASSERT_EQ(b.size(), 200u);
    EXPECT_EQ(outcome(path("session.vexa"), b), "ok");
    EXPECT_EQ(read_all(path("session.vexa")), b);
    // Saving again gives the same bytes.
    EXPECT_EQ(outcome(path("session.vexa"), b), "ok");
    EXPECT_EQ(read_all(path("session.vexa")), b);
}

TEST_F(ProtocolFileTest, EmptyContentGivesEmptyFile) {
    write_plain(path("e.vexa"), pattern(50, 3));
    EXPECT_EQ(outcome(path("e.vexa"), {}), "ok");
    EXPECT_TRUE(read_all(path("e.vexa")).empty());
}

TEST_F(ProtocolFileTest, OverwriteOfLongerFileLeavesOnlyNewBytes) {
    write_plain(path("old.vexa"), pattern(5000, 9));
    const Bytes b = pattern(200, 4);
    EXPECT_EQ(outcome(path("old.vexa"), b), "ok");
    EXPECT_EQ(read_all(path("old.vexa")), b);
    EXPECT_EQ(names(), std::set<std::string>{"old.vexa"});
}

TEST_F(ProtocolFileTest, RelativePathIsRelativeToWorkingDirectory) {
    const std::string cwd = fs::current_path().string();
    ASSERT_EQ(::chdir(dir_.c_str()), 0);
    const std::string result = outcome(".vexa", pattern(20, 5)); // the bare extension
    const std::string again = outcome("rel.vexa", pattern(30, 6));
    ASSERT_EQ(::chdir(cwd.c_str()), 0);
    EXPECT_EQ(result, "ok");
    EXPECT_EQ(again, "ok");
    EXPECT_EQ(read_all(path(".vexa")), pattern(20, 5));
    EXPECT_EQ(read_all(path("rel.vexa")), pattern(30, 6));
    EXPECT_EQ(names(), (std::set<std::string>{".vexa", "rel.vexa"}));
}

class ProtocolFileModeTest : public ProtocolFileTest,
                             public ::testing::WithParamInterface<mode_t> {};

TEST_P(ProtocolFileModeTest, ExistingPermissionBitsKept) {
    write_plain(path("m.vexa"), pattern(300, 7), GetParam());
    ASSERT_EQ(mode_of(path("m.vexa")), GetParam());
    if (::geteuid() != 0 && (GetParam() & 0200) == 0) {
        GTEST_SKIP() << "read-only for us";
    }
    EXPECT_EQ(outcome(path("m.vexa"), pattern(100, 8)), "ok");
    EXPECT_EQ(mode_of(path("m.vexa")), GetParam());
    EXPECT_EQ(read_all(path("m.vexa")), pattern(100, 8));
}

INSTANTIATE_TEST_SUITE_P(ProtocolFile, ProtocolFileModeTest,
                         ::testing::Values(0640, 0600, 0644, 0755, 0604, 0444, 02755));

// The file is replaced, not rewritten: a reader holding the old file keeps
// reading the old bytes, and another hard link keeps the old content.
TEST_F(ProtocolFileTest, ReplacesAtomicallyByRename) {
    const Bytes old_bytes = pattern(400, 10);
    write_plain(path("a.vexa"), old_bytes);
    ASSERT_EQ(::link(path("a.vexa").c_str(), path("hard.vexa").c_str()), 0);
    const int reader = ::open(path("a.vexa").c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(reader, 0);
    struct stat before {};
    ASSERT_EQ(::stat(path("a.vexa").c_str(), &before), 0);

    const Bytes b = pattern(100, 11);
    EXPECT_EQ(outcome(path("a.vexa"), b), "ok");

    struct stat after {};
    ASSERT_EQ(::stat(path("a.vexa").c_str(), &after), 0);
    EXPECT_NE(before.st_ino, after.st_ino);
    Bytes seen(1000);
    const ssize_t n = ::pread(reader, seen.data(), seen.size(), 0);
    ::close(reader);
    ASSERT_EQ(n, 400);
    seen.resize(400);
    EXPECT_EQ(seen, old_bytes);
    EXPECT_EQ(read_all(path("hard.vexa")), old_bytes);
    EXPECT_EQ(read_all(path("a.vexa")), b);
}

TEST_F(ProtocolFileTest, SymlinkStaysAndItsTargetIsReplaced) {
    write_plain(path("real.vexa"), pattern(999, 12), 0640);
    ASSERT_EQ(::symlink("real.vexa", path("link.vexa").c_str()), 0);
    struct stat before {};
    ASSERT_EQ(::stat(path("real.vexa").c_str(), &before), 0);
    const Bytes b = pattern(123, 13);
    EXPECT_EQ(outcome(path("link.vexa"), b), "ok");
    struct stat after {};
    ASSERT_EQ(::stat(path("real.vexa").c_str(), &after), 0);
    EXPECT_NE(before.st_ino, after.st_ino) << "replaced by rename, not rewritten";
    EXPECT_TRUE(fs::is_symlink(path("link.vexa")));
    EXPECT_EQ(fs::read_symlink(path("link.vexa")), "real.vexa");
    EXPECT_EQ(read_all(path("real.vexa")), b);
    EXPECT_EQ(mode_of(path("real.vexa")), 0640u);
    EXPECT_EQ(names(), (std::set<std::string>{"link.vexa", "real.vexa"}));
}

TEST_F(ProtocolFileTest, RelativeSymlinkChainAcrossDirectories) {
    ASSERT_EQ(::mkdir(path("a").c_str(), 0755), 0);
    ASSERT_EQ(::mkdir(path("b").c_str(), 0755), 0);
    write_plain(path("b/real.vexa"), pattern(50, 14));
    ASSERT_EQ(::symlink("../b/real.vexa", path("a/hop.vexa").c_str()), 0);
    ASSERT_EQ(::symlink((dir_ + "/a/hop.vexa").c_str(), path("first.vexa").c_str()), 0);
    const Bytes b = pattern(70, 15);
    EXPECT_EQ(outcome(path("first.vexa"), b), "ok");
    EXPECT_TRUE(fs::is_symlink(path("first.vexa")));
    EXPECT_TRUE(fs::is_symlink(path("a/hop.vexa")));
    EXPECT_EQ(read_all(path("b/real.vexa")), b);
    EXPECT_EQ(names(path("a")), std::set<std::string>{"hop.vexa"});
    EXPECT_EQ(names(path("b")), std::set<std::string>{"real.vexa"});
}

// As open(O_CREAT) does, a dangling link creates the file it points to.
TEST_F(ProtocolFileTest, DanglingSymlinkCreatesItsTarget) {
    ASSERT_EQ(::symlink("made.vexa", path("dangling.vexa").c_str()), 0);
    const Bytes b = pattern(60, 16);
    EXPECT_EQ(outcome(path("dangling.vexa"), b), "ok");
    EXPECT_TRUE(fs::is_symlink(path("dangling.vexa")));
    EXPECT_EQ(read_all(path("made.vexa")), b);
    EXPECT_EQ(mode_of(path("made.vexa")), 0644u);
}

TEST_F(ProtocolFileTest, DanglingSymlinkIntoMissingDirectoryIsNotFound) {
    ASSERT_EQ(::symlink("nowhere/made.vexa", path("dangling.vexa").c_str()), 0);
    EXPECT_EQ(outcome(path("dangling.vexa"), pattern(60, 16)), NOT_FOUND);
    EXPECT_EQ(names(), std::set<std::string>{"dangling.vexa"});
}

TEST_F(ProtocolFileTest, SymlinkLoopIsFilesystemLoop) {
    ASSERT_EQ(::symlink("loop2.vexa", path("loop1.vexa").c_str()), 0);
    ASSERT_EQ(::symlink("loop1.vexa", path("loop2.vexa").c_str()), 0);
    EXPECT_EQ(
        outcome(path("loop1.vexa"), pattern(5, 1)),
        R"(Os { code: 40, kind: FilesystemLoop, message: "Too many levels of symbolic links" })");
    EXPECT_EQ(names(), (std::set<std::string>{"loop1.vexa", "loop2.vexa"}));
}

// A name as long as a name may be: the temporary's name must still fit.
TEST_F(ProtocolFileTest, LongestFileNameWorks) {
    const std::string name = std::string(250, 'n') + ".vexa"; // 255 bytes
    write_plain(path(name), pattern(10, 1));
    EXPECT_EQ(outcome(path(name), pattern(20, 2)), "ok");
    EXPECT_EQ(read_all(path(name)), pattern(20, 2));
    EXPECT_EQ(names(), std::set<std::string>{name});
}

TEST_F(ProtocolFileTest, TooLongFileNameIsInvalidFilename) {
    const std::string name = std::string(251, 'n') + ".vexa"; // 256 bytes
    EXPECT_EQ(outcome(path(name), pattern(20, 2)),
              R"(Os { code: 36, kind: InvalidFilename, message: "File name too long" })");
    EXPECT_TRUE(names().empty());
}

// ------------------------------------------------------------- the refusals

TEST_F(ProtocolFileTest, MissingDirectoryIsNotFound) {
    EXPECT_EQ(outcome(path("missing/x.vexa"), pattern(200, 1)), NOT_FOUND);
    EXPECT_TRUE(names().empty());
}

TEST_F(ProtocolFileTest, PathNamingDirectoryIsIsADirectory) {
    ASSERT_EQ(::mkdir(path("d.vexa").c_str(), 0755), 0);
    EXPECT_EQ(outcome(path("d.vexa"), pattern(200, 1)), IS_A_DIRECTORY);
    EXPECT_EQ(outcome(path("d.vexa/"), pattern(200, 1)), IS_A_DIRECTORY);
    EXPECT_EQ(outcome(dir_, pattern(200, 1)), IS_A_DIRECTORY);
    EXPECT_TRUE(names(path("d.vexa")).empty());
    EXPECT_EQ(names(), std::set<std::string>{"d.vexa"});
}

TEST_F(ProtocolFileTest, SymlinkToDirectoryIsIsADirectory) {
    ASSERT_EQ(::mkdir(path("d").c_str(), 0755), 0);
    ASSERT_EQ(::symlink("d", path("l.vexa").c_str()), 0);
    EXPECT_EQ(outcome(path("l.vexa"), pattern(200, 1)), IS_A_DIRECTORY);
    EXPECT_TRUE(names(path("d")).empty());
}

// open("new.vexa/", O_CREAT) refuses a missing name with a trailing slash.
TEST_F(ProtocolFileTest, TrailingSlashOnMissingNameIsIsADirectory) {
    EXPECT_EQ(outcome(path("new.vexa/"), pattern(200, 1)), IS_A_DIRECTORY);
    EXPECT_TRUE(names().empty());
}

TEST_F(ProtocolFileTest, FileUsedAsDirectoryIsNotADirectory) {
    write_plain(path("f.vexa"), pattern(10, 1));
    EXPECT_EQ(outcome(path("f.vexa/x.vexa"), pattern(200, 1)), NOT_A_DIRECTORY);
    EXPECT_EQ(read_all(path("f.vexa")), pattern(10, 1));
    EXPECT_EQ(names(), std::set<std::string>{"f.vexa"});
}

TEST_F(ProtocolFileTest, NulInPathRefusedBeforeTouchingFiles) {
    const std::string p = path("a.vexa") + std::string(1, '\0') + "b.vexa";
    auto r = write_file(p, pattern(10, 1));
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().code, 0);
    EXPECT_EQ(r.error().kind, "InvalidInput");
    EXPECT_EQ(r.error().message, "file name contained an unexpected NUL byte");
    EXPECT_EQ(r.error().debug_form(), NUL_BYTE);
    EXPECT_TRUE(names().empty());
    // Also when the part before the NUL names an existing file: unchanged.
    write_plain(path("a.vexa"), pattern(10, 2));
    EXPECT_EQ(outcome(p, pattern(30, 3)), NUL_BYTE);
    EXPECT_EQ(read_all(path("a.vexa")), pattern(10, 2));
    EXPECT_EQ(outcome(std::string_view("\0", 1), pattern(1, 1)), NUL_BYTE);
}

TEST_F(ProtocolFileTest, EmptyPathIsNotFound) {
    EXPECT_EQ(outcome("", pattern(1, 1)), NOT_FOUND);
}

// --------------------------------------------------- targets written in place

TEST_F(ProtocolFileTest, DevNullWrittenDirectly) {
    EXPECT_EQ(outcome("/dev/null", pattern(200, 1)), "ok");
    struct stat st {};
    ASSERT_EQ(::stat("/dev/null", &st), 0);
    EXPECT_TRUE(S_ISCHR(st.st_mode));
}

TEST_F(ProtocolFileTest, DevFullIsStorageFull) {
    EXPECT_EQ(outcome("/dev/full", pattern(200, 1)), STORAGE_FULL);
    struct stat st {};
    ASSERT_EQ(::stat("/dev/full", &st), 0);
    EXPECT_TRUE(S_ISCHR(st.st_mode));
}

TEST_F(ProtocolFileTest, SymlinkToDevNullWrittenThrough) {
    ASSERT_EQ(::symlink("/dev/null", path("null.vexa").c_str()), 0);
    EXPECT_EQ(outcome(path("null.vexa"), pattern(200, 1)), "ok");
    EXPECT_TRUE(fs::is_symlink(path("null.vexa")));
    EXPECT_EQ(names(), std::set<std::string>{"null.vexa"});
}

TEST_F(ProtocolFileTest, FifoWrittenInPlace) {
    ASSERT_EQ(::mkfifo(path("pipe.vexa").c_str(), 0644), 0);
    const Bytes b = pattern(100000, 17); // more than a pipe holds at once
    Bytes received;
    std::thread reader([&] {
        const int fd = ::open(path("pipe.vexa").c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) return;
        char buf[4096];
        for (;;) {
            const ssize_t n = ::read(fd, buf, sizeof buf);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            received.insert(received.end(), buf, buf + n);
        }
        ::close(fd);
    });
    const std::string result = outcome(path("pipe.vexa"), b);
    reader.join();
    EXPECT_EQ(result, "ok");
    EXPECT_EQ(received, b);
    EXPECT_TRUE(fs::is_fifo(path("pipe.vexa")));
    EXPECT_EQ(names(), std::set<std::string>{"pipe.vexa"});
}

// ------------------------------------------------- failures after the temp

// RLIMIT_FSIZE makes the write of the temporary fail with EFBIG (SIGXFSZ
// ignored, as the test must): the old file stays, no temporary is left.
TEST_F(ProtocolFileTest, FileTooLargeLeavesOldFileIntact) {
    const Bytes old_bytes = pattern(100, 18);
    write_plain(path("big.vexa"), old_bytes, 0640);
    const std::string p = path("big.vexa");
    const std::string result = in_child([&] {
        std::signal(SIGXFSZ, SIG_IGN);
        const struct rlimit limit { 1000, 1000 };
        if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) return std::string("setrlimit failed");
        return outcome(p, pattern(5000, 19));
    });
    EXPECT_EQ(result, FILE_TOO_LARGE);
    EXPECT_EQ(read_all(p), old_bytes);
    EXPECT_EQ(mode_of(p), 0640u);
    EXPECT_EQ(names(), std::set<std::string>{"big.vexa"});
}

TEST_F(ProtocolFileTest, FileTooLargeForNewFileLeavesNothing) {
    const std::string p = path("new.vexa");
    const std::string result = in_child([&] {
        std::signal(SIGXFSZ, SIG_IGN);
        const struct rlimit limit { 0, 0 };
        if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) return std::string("setrlimit failed");
        return outcome(p, pattern(10, 19));
    });
    EXPECT_EQ(result, FILE_TOO_LARGE);
    EXPECT_TRUE(names().empty());
}

// Within the limit, a file no bigger than the limit is written.
TEST_F(ProtocolFileTest, FileWithinSizeLimitIsWritten) {
    write_plain(path("fits.vexa"), pattern(3000, 1));
    const std::string p = path("fits.vexa");
    const std::string result = in_child([&] {
        std::signal(SIGXFSZ, SIG_IGN);
        const struct rlimit limit { 1000, 1000 };
        if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) return std::string("setrlimit failed");
        return outcome(p, pattern(1000, 2));
    });
    EXPECT_EQ(result, "ok");
    EXPECT_EQ(read_all(p), pattern(1000, 2));
}

// ------------------------------- file systems without unnamed files

// The named temporary: the same outcomes, and never a name left behind.
TEST_F(ProtocolFileTest, NamedTemporaryReplacesKeepsModeAndLeavesNothing) {
    using protocols::protocol_file::detail::write_file_named;
    const std::string name = std::string(250, 'n') + ".vexa"; // no room for a suffix
    write_plain(path(name), pattern(300, 1), 0640);
    ASSERT_TRUE(write_file_named(path(name), pattern(100, 2)).has_value());
    EXPECT_EQ(read_all(path(name)), pattern(100, 2));
    EXPECT_EQ(mode_of(path(name)), 0640u);
    ASSERT_TRUE(write_file_named(path("new.vexa"), pattern(10, 3)).has_value());
    EXPECT_EQ(mode_of(path("new.vexa")), 0644u);
    const std::string p = path(name);
    const std::string result = in_child([&] {
        std::signal(SIGXFSZ, SIG_IGN);
        const struct rlimit limit { 50, 50 };
        if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) return std::string("setrlimit failed");
        auto r = write_file_named(p, pattern(5000, 4));
        return r ? std::string("ok") : r.error().debug_form();
    });
    EXPECT_EQ(result, FILE_TOO_LARGE);
    EXPECT_EQ(read_all(path(name)), pattern(100, 2));
    EXPECT_EQ(names(), (std::set<std::string>{name, "new.vexa"}));
}

// Dead savers' numbered temporaries go once a save finds the first number
// taken; a live saver's (locked) and any other file stay.
TEST_F(ProtocolFileTest, DeadSaversTemporariesRemovedLiveOnesKept) {
    using protocols::protocol_file::detail::write_file_named;
    const auto temp = [](int n) { return ".t.vexa.tmp-" + std::string(15, '0') + char('0' + n); };
    using Write = std::function<bool(const std::string&, const Bytes&)>;
    for (const Write& write :
         {Write([](auto&p, auto&b) { return write_file_named(p, b).has_value(); }),
          Write([](auto&p, auto&b) { return write_file(p, b).has_value(); })}) {
        write_plain(path("t.vexa"), pattern(30, 1));
        write_plain(path(temp(0)), pattern(5, 2));
        write_plain(path(temp(3)), pattern(5, 3));
        write_plain(path(temp(1)), pattern(5, 4));
        const int live = ::open(path(temp(1)).c_str(), O_RDONLY | O_CLOEXEC);
        ASSERT_EQ(::flock(live, LOCK_EX), 0);
        ASSERT_TRUE(write(path("t.vexa"), pattern(40, 5)));
        ::close(live);
        EXPECT_EQ(read_all(path("t.vexa")), pattern(40, 5));
        EXPECT_EQ(names(), (std::set<std::string>{"t.vexa", temp(1)}));
        fs::remove(path(temp(1)));
    }
}

// ----------------------------------------------- unprivileged (forked child)

class ProtocolFileUnprivilegedTest : public ProtocolFileTest {
  protected:
    void SetUp() override {
        ProtocolFileTest::SetUp();
        // "nobody" must reach the test directory.
        ASSERT_EQ(::chmod(dir_.c_str(), 0755), 0);
    }

    // Runs `body` as "nobody" (if we are root) or as ourselves.
    std::string unprivileged(const std::function<std::string()>& body) {
        return in_child([&] {
            if (::geteuid() == 0) {
                if (std::string why = drop_privileges(); !why.empty()) return "SKIP " + why;
            }
            return body();
        });
    }
};

TEST_F(ProtocolFileUnprivilegedTest, DirectoryWithoutWritePermissionIsPermissionDenied) {
    ASSERT_EQ(::mkdir(path("ro").c_str(), 0755), 0);
    ASSERT_EQ(::chmod(path("ro").c_str(), 0555), 0);
    const std::string p = path("ro/x.vexa");
    const std::string result = unprivileged([&] { return outcome(p, pattern(200, 1)); });
    if (result.rfind("SKIP", 0) == 0) {
        GTEST_SKIP() << result;
    }
    EXPECT_EQ(result, PERMISSION_DENIED);
    EXPECT_TRUE(names(path("ro")).empty());
}

TEST_F(ProtocolFileUnprivilegedTest, ReadOnlyExistingFileIsPermissionDenied) {
    ASSERT_EQ(::mkdir(path("rw").c_str(), 0777), 0);
    ASSERT_EQ(::chmod(path("rw").c_str(), 0777), 0); // writable for nobody
    const Bytes old_bytes = pattern(300, 20);
    write_plain(path("rw/locked.vexa"), old_bytes, 0444);
    const std::string p = path("rw/locked.vexa");
    const std::string result = unprivileged([&] { return outcome(p, pattern(200, 1)); });
    if (result.rfind("SKIP", 0) == 0) {
        GTEST_SKIP() << result;
    }
    EXPECT_EQ(result, PERMISSION_DENIED);
    EXPECT_EQ(read_all(p), old_bytes);
    EXPECT_EQ(mode_of(p), 0444u);
    EXPECT_EQ(names(path("rw")), std::set<std::string>{"locked.vexa"});
}

// A writable file in a directory where we may not create names: it cannot
// be replaced, and writing it in place could lose it half-way, so it is
// refused with the error of the step that failed and stays as it was.
TEST_F(ProtocolFileUnprivilegedTest, WritableFileInReadOnlyDirectoryRefusedAndKept) {
    ASSERT_EQ(::mkdir(path("ro").c_str(), 0755), 0);
    write_plain(path("ro/open.vexa"), pattern(500, 21), 0666);
    ASSERT_EQ(::chmod(path("ro").c_str(), 0555), 0);
    const std::string p = path("ro/open.vexa");
    const std::string result = unprivileged([&] { return outcome(p, pattern(50, 22)); });
    if (result.rfind("SKIP", 0) == 0) {
        GTEST_SKIP() << result;
    }
    EXPECT_EQ(result, PERMISSION_DENIED);
    EXPECT_EQ(read_all(p), pattern(500, 21));
    EXPECT_EQ(names(path("ro")), std::set<std::string>{"open.vexa"});
}

// ------------------------------------------------------------ error forms

struct KindCase {
    int code;
    const char* kind;
};

class ProtocolFileErrorKindTest : public ::testing::TestWithParam<KindCase> {};

TEST_P(ProtocolFileErrorKindTest, NamesErrno) {
    EXPECT_EQ(error_kind(GetParam().code), GetParam().kind) << "errno " << GetParam().code;
}

INSTANTIATE_TEST_SUITE_P(
    ProtocolFile, ProtocolFileErrorKindTest,
    ::testing::Values(
        KindCase{ENOENT, "NotFound"}, KindCase{EACCES, "PermissionDenied"},
        KindCase{EPERM, "PermissionDenied"}, KindCase{EEXIST, "AlreadyExists"},
        KindCase{EISDIR, "IsADirectory"}, KindCase{ENOTDIR, "NotADirectory"},
        KindCase{ENOSPC, "StorageFull"}, KindCase{EFBIG, "FileTooLarge"},
        KindCase{EROFS, "ReadOnlyFilesystem"}, KindCase{EINTR, "Interrupted"},
        KindCase{EINVAL, "InvalidInput"}, KindCase{ENAMETOOLONG, "InvalidFilename"},
        KindCase{ELOOP, "FilesystemLoop"}, KindCase{EMLINK, "TooManyLinks"},
        KindCase{EXDEV, "CrossesDevices"}, KindCase{ETXTBSY, "ExecutableFileBusy"},
        KindCase{EBUSY, "ResourceBusy"}, KindCase{EDQUOT, "FilesystemQuotaExceeded"},
        KindCase{ESPIPE, "NotSeekable"}, KindCase{ENOMEM, "OutOfMemory"},
        KindCase{EAGAIN, "WouldBlock"}, KindCase{EWOULDBLOCK, "WouldBlock"},
        KindCase{ETIMEDOUT, "TimedOut"}, KindCase{ECONNREFUSED, "ConnectionRefused"},
        KindCase{ECONNRESET, "ConnectionReset"}, KindCase{EPIPE, "BrokenPipe"},
        KindCase{EADDRINUSE, "AddrInUse"}, KindCase{ENOTEMPTY, "DirectoryNotEmpty"},
        KindCase{ENOSYS, "Unsupported"}, KindCase{EDEADLK, "Deadlock"},
        KindCase{ENETUNREACH, "NetworkUnreachable"}, KindCase{EHOSTUNREACH, "HostUnreachable"},
        KindCase{ECONNABORTED, "ConnectionAborted"}, KindCase{ENOTCONN, "NotConnected"},
        KindCase{EADDRNOTAVAIL, "AddrNotAvailable"}, KindCase{ENETDOWN, "NetworkDown"},
        KindCase{E2BIG, "ArgumentListTooLong"}, KindCase{ESTALE, "StaleNetworkFileHandle"},
        KindCase{EINPROGRESS, "InProgress"}, KindCase{EIO, "Uncategorized"},
        KindCase{ENXIO, "Uncategorized"}, KindCase{0, "Uncategorized"},
        KindCase{9999, "Uncategorized"}, KindCase{-1, "Uncategorized"}));

struct FormCase {
    IoError error;
    const char* form;
};

class ProtocolFileDebugFormTest : public ::testing::TestWithParam<FormCase> {};

TEST_P(ProtocolFileDebugFormTest, Formats) {
    EXPECT_EQ(GetParam().error.debug_form(), GetParam().form);
}

INSTANTIATE_TEST_SUITE_P(
    ProtocolFile, ProtocolFileDebugFormTest,
    ::testing::Values(
        FormCase{IoError{ENOENT, "NotFound", {}}, NOT_FOUND},
        FormCase{IoError{EACCES, "PermissionDenied", {}}, PERMISSION_DENIED},
        FormCase{IoError{EISDIR, "IsADirectory", {}}, IS_A_DIRECTORY},
        FormCase{IoError{EFBIG, "FileTooLarge", {}}, FILE_TOO_LARGE},
        FormCase{IoError{ENOSPC, "StorageFull", {}}, STORAGE_FULL},
        FormCase{IoError{9999, "Uncategorized", {}},
                 R"(Os { code: 9999, kind: Uncategorized, message: "Unknown error 9999" })"},
        FormCase{IoError{0, "InvalidInput", "file name contained an unexpected NUL byte"},
                 NUL_BYTE},
        FormCase{IoError{0, "WriteZero", "failed to write whole buffer"},
                 R"(Error { kind: WriteZero, message: "failed to write whole buffer" })"},
        FormCase{IoError{0, "Other", "say \"hi\" \\ back\n"},
                 R"(Error { kind: Other, message: "say \"hi\" \\ back\n" })"}));

} // namespace
