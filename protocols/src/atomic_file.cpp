#include "atomic_file.hpp"

#include "system_calls.hpp"

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <optional>
#include <string>

#include <fcntl.h>
#include <linux/magic.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <time.h>
#include <unistd.h>

namespace protocols::protocol_file {

namespace {

using calls::Fd;
using calls::retrying;

constexpr std::string_view NUL_MESSAGE = "file name contained an unexpected NUL byte";
constexpr std::string_view FORKED_MESSAGE =
    "save abandoned in a process forked during it: the file belongs to the process that began "
    "the save";
// How many symbolic links are followed before giving up (as the kernel).
constexpr int MAX_SYMLINK_HOPS = 40;
// How many temporary names are tried before giving up on EEXIST.
constexpr int MAX_TEMP_ATTEMPTS = 100;

std::unexpected<IoError> fail(int code) {
    return std::unexpected(os_error(code));
}

// The file to write: its directory, open, and its name in there. Every
// call works relative to the directory, so no path is ever longer than
// the one given, and a symbolic link cannot redirect a later step.
struct Place {
    pid_t owner = ::getpid(); // the process that began the write, and owns its temporary
    Fd dir;
    bool dir_readable = false; // opened for reading, so it can be flushed
    std::string name;
    bool exists = false;       // something that is not a symbolic link is there
    bool through_link = false; // `name` is a /proc link to an open object (see resolve)
    struct stat st {};         // its status, when it exists
};

// Whether the link `text` found in `dir` is one of /proc's links to what a
// process holds open (/proc/self/fd/1 -> "pipe:[8]", "socket:[9]", a deleted
// file's old name): on /proc, and its text names nothing.
bool names_an_open_object(int dir, const std::string& text) {
    struct statfs fs {};
    struct stat st {};
    return ::fstatfs(dir, &fs) == 0 && fs.f_type == PROC_SUPER_MAGIC &&
           ::fstatat(dir, text.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 && errno == ENOENT;
}

std::expected<void, IoError> open_dir(const Interrupt& interrupted, int at, const std::string& dir,
                                      Place& place) {
    const char* p = dir.empty() ? "." : dir.c_str();
    auto fd = calls::open_at(interrupted, at, p, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    place.dir_readable = fd.has_value();
    if (!fd && fd.error().code == EACCES) {
        // Search permission without read permission is enough to work in
        // the directory, only not to flush it.
        fd = calls::open_at(interrupted, at, p, O_PATH | O_DIRECTORY | O_CLOEXEC);
    }
    if (!fd) return std::unexpected(fd.error());
    place.dir = std::move(*fd);
    return {};
}

// Follows symbolic links from `path` to the name that a plain open would
// write: the final link target, even if it does not exist yet (a dangling
// link creates the file it points to, as open(O_CREAT) does).
std::expected<Place, IoError> resolve(const Interrupt& interrupted, const std::string& path) {
    Place place;
    auto [dir, name] = calls::split_dir(path);
    if (name.empty()) return fail(EISDIR);
    if (auto opened = open_dir(interrupted, AT_FDCWD, dir, place); !opened) {
        return std::unexpected(opened.error());
    }
    for (int hops = 0;; ++hops) {
        // "missing/" and the like: open(O_CREAT) refuses a name ending in a slash.
        if (name.empty()) return fail(EISDIR);
        if (::fstatat(place.dir.get(), name.c_str(), &place.st, AT_SYMLINK_NOFOLLOW) != 0) {
            if (errno != ENOENT) return fail(errno);
            place.name = std::move(name); // to be created
            return place;
        }
        if (!S_ISLNK(place.st.st_mode)) {
            place.exists = true;
            place.name = std::move(name);
            return place;
        }
        if (hops >= MAX_SYMLINK_HOPS) return fail(ELOOP);
        std::string link(static_cast<std::size_t>(place.st.st_size > 0 ? place.st.st_size : 64),
                         '\0');
        for (;;) {
            const ssize_t n = ::readlinkat(place.dir.get(), name.c_str(), link.data(), link.size());
            if (n < 0) return fail(errno);
            if (static_cast<std::size_t>(n) < link.size()) {
                link.resize(static_cast<std::size_t>(n));
                break;
            }
            link.resize(link.size() * 2); // the link grew meanwhile
        }
        if (link.empty()) return fail(ENOENT);
        if (names_an_open_object(place.dir.get(), link)) {
            // open() follows such a link to the object itself; so does the
            // write, through the link, in place: it has no name to replace.
            if (::fstatat(place.dir.get(), name.c_str(), &place.st, 0) != 0) return fail(errno);
            place.exists = place.through_link = true;
            place.name = std::move(name);
            return place;
        }
        auto [link_dir, link_name] = calls::split_dir(link);
        if (!link_dir.empty()) {
            // Relative to the link's own directory; an absolute one ignores it.
            Place next;
            if (auto opened = open_dir(interrupted, place.dir.get(), link_dir, next); !opened) {
                return std::unexpected(opened.error());
            }
            place.dir = std::move(next.dir);
            place.dir_readable = next.dir_readable;
        }
        name = std::move(link_name);
    }
}

// A target that is not a regular file (a device, a FIFO) cannot be
// replaced; it is written as a plain write would. Opened without blocking:
// a FIFO without a reader is waited for here, where the wait can be given
// up, and a full pipe in write_all. Nothing is created or truncated, so a
// target that turned into a regular file meanwhile is not harmed: the
// caller replaces it instead (`*regular` set). A regular file reached
// through a /proc link has no name to replace: it is rewritten, as
// open(O_TRUNC) would.
std::expected<void, IoError> write_in_place(const Interrupt& interrupted, const Place& place,
                                            const ByteSource& bytes, bool* regular) {
    const int flags = O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
    std::expected<Fd, IoError> fd;
    for (int attempt = 0;; ++attempt) {
        fd = calls::open_at(interrupted, place.dir.get(), place.name.c_str(), flags);
        if (fd || fd.error().code != ENXIO || !S_ISFIFO(place.st.st_mode)) break;
        if (interrupted()) return std::unexpected(calls::abandoned());
        calls::nap(attempt); // no reader yet
    }
    if (!fd) return std::unexpected(fd.error());
    struct stat st {};
    if (::fstat(fd->get(), &st) != 0) return fail(errno);
    if (S_ISREG(st.st_mode)) {
        if (!place.through_link) {
            *regular = true;
            return {};
        }
        if (::ftruncate(fd->get(), 0) != 0) return fail(errno);
    }
    return calls::write_all(interrupted, fd->get(), bytes);
}

// A temporary's name: "." + the target's name, cut to fit + ".tmp-" + 16
// hex digits. The first TEMP_SLOTS tried are numbered, so that a later save
// finds what a killed saver left with a few lookups, not by reading the
// whole directory; beyond them (as many savers of one target at once) the
// digits are random, and such a name is not looked for. A single saver's
// leftover takes the first number, which the next save tries first; one
// left under a higher number (a saver killed while another held the first)
// stays until a save finds the first taken again.
constexpr std::string_view TEMP_MARK = ".tmp-";
constexpr std::size_t TEMP_DIGITS = 16;
constexpr int TEMP_SLOTS = 8;

std::string temp_prefix(const Place& place) {
    long name_max = ::fpathconf(place.dir.get(), _PC_NAME_MAX);
    if (name_max <= 0 || name_max > NAME_MAX) name_max = NAME_MAX;
    const auto used = static_cast<long>(1 + TEMP_MARK.size() + TEMP_DIGITS);
    const auto room = static_cast<std::size_t>(name_max > used ? name_max - used : 0);
    return "." + place.name.substr(0, room) + std::string(TEMP_MARK);
}

// The name of the `attempt`th temporary tried, after `prefix` (temp_prefix).
std::string temp_name(const std::string& prefix, int attempt) {
    static std::atomic<unsigned> counter{0};
    auto x = static_cast<std::uint64_t>(attempt);
    if (attempt >= TEMP_SLOTS) {
        struct timespec ts {};
        ::clock_gettime(CLOCK_MONOTONIC, &ts);
        x = (static_cast<std::uint64_t>(::getpid()) << 32) ^
            counter.fetch_add(1, std::memory_order_relaxed) ^
            static_cast<std::uint64_t>(ts.tv_nsec) * 0x9E3779B97F4A7C15u;
        x ^= x >> 31; // splitmix's finish: every input bit reaches every hex digit
        x *= 0xBF58476D1CE4E5B9u;
        x ^= x >> 27;
    }
    char digits[TEMP_DIGITS + 1];
    std::snprintf(digits, sizeof digits, "%016llx", static_cast<unsigned long long>(x));
    return prefix + digits;
}

// A temporary is locked (flock) by its saver from before it has a name
// until it is renamed or closed, so a lock on it means a live saver.
// Without locks on the file system, nothing is locked, and nothing removed.
void lock_temporary(int fd) {
    (void)::flock(fd, LOCK_EX | LOCK_NB);
}

// Removes the temporaries of this target that savers killed before they
// could rename or remove them left behind (kill -9 between naming and
// renaming, or during a write through a named temporary): the numbered
// names, where they are regular files of this user with no other name that
// no live saver holds locked. Called when a save finds the first numbered
// name taken (TempNames), so that a save with no one beside it and nothing
// left over pays no lookups for it.
//
// Only the holder of a temporary's lock removes or renames its name, and
// it removes the name only while it still names the locked file. A saver
// holds the lock from before its temporary has a name (an unnamed file), or
// from a moment after (named_file, which then waits for a save that locked
// its fresh file here to be done with it, and takes another name if this
// one is gone). So a name that a live saver uses, or has just reused, is
// never removed. Any failure here only leaves a name where it is.
void remove_dead_temporaries(const Place& place, const std::string& prefix) {
    const uid_t me = ::geteuid();
    for (int slot = 0; slot < TEMP_SLOTS; ++slot) {
        const std::string name = temp_name(prefix, slot);
        struct stat named {};
        struct stat st {};
        if (::fstatat(place.dir.get(), name.c_str(), &named, AT_SYMLINK_NOFOLLOW) != 0 ||
            !S_ISREG(named.st_mode)) {
            continue; // mostly: no such name, one lookup
        }
        const int flags = O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
        Fd fd(::openat(place.dir.get(), name.c_str(), O_RDONLY | flags));
        if (fd.get() < 0 && errno == EACCES) {
            fd = Fd(::openat(place.dir.get(), name.c_str(), O_WRONLY | flags));
        }
        if (fd.get() < 0 || ::fstat(fd.get(), &st) != 0 || st.st_nlink != 1 ||
            (st.st_uid != me && me != 0) || ::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
            continue;
        }
        if (::fstatat(place.dir.get(), name.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
            named.st_dev == st.st_dev && named.st_ino == st.st_ino) {
            (void)::unlinkat(place.dir.get(), name.c_str(), 0);
        }
    }
}

// The temporary names a save tries in turn. The first taken is a sign of
// a dead saver's leftover (or of a save beside this one): then, once, the
// numbered names are swept (remove_dead_temporaries) and that name tried
// again.
class TempNames {
  public:
    TempNames(const Place& place, const std::string& prefix) : place_(place), prefix_(prefix) {}
    std::string current() const { return temp_name(prefix_, attempt_); }
    // After the current name was found taken; false once every try is spent.
    bool next() {
        if (!swept_) {
            swept_ = true;
            remove_dead_temporaries(place_, prefix_);
            return true;
        }
        return ++attempt_ < MAX_TEMP_ATTEMPTS;
    }

  private:
    const Place& place_;
    const std::string& prefix_;
    int attempt_ = 0;
    bool swept_ = false;
};

// Blocks every signal the thread can block while it lives: a signal whose
// default action ends the process (SIGTERM, SIGHUP) waits until a temporary
// name is renamed over the target, in a process whose other threads block
// it too (a one-thread script does). Python's handlers only note a signal,
// so they lose nothing by waiting either.
class SignalsHeld {
  public:
    SignalsHeld() noexcept {
        sigset_t all;
        ::sigfillset(&all);
        held_ = ::pthread_sigmask(SIG_BLOCK, &all, &old_) == 0;
    }
    SignalsHeld(const SignalsHeld&) = delete;
    SignalsHeld& operator=(const SignalsHeld&) = delete;
    ~SignalsHeld() {
        if (held_) (void)::pthread_sigmask(SIG_SETMASK, &old_, nullptr);
    }

  private:
    sigset_t old_{};
    bool held_ = false;
};

// A new file in the directory that vanishes with the process until it is
// given a name. Empty (no error) where the file system cannot make one.
std::expected<Fd, IoError> unnamed_file(const Interrupt& interrupted, const Place& place,
                                        mode_t mode) {
    auto fd =
        calls::open_at(interrupted, place.dir.get(), ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, mode);
    if (!fd) {
        const int err = fd.error().code;
        if (err == EOPNOTSUPP || err == EISDIR || err == EINVAL) return Fd();
    } else {
        lock_temporary(fd->get());
    }
    return fd;
}

// A named temporary, for file systems without unnamed files.
std::expected<Fd, IoError> named_file(const Interrupt& interrupted, const Place& place, mode_t mode,
                                      const std::string& prefix, std::string& temp) {
    for (TempNames names(place, prefix);;) {
        temp = names.current();
        auto fd = calls::open_at(interrupted, place.dir.get(), temp.c_str(),
                                 O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
        if (fd) {
            // Named before it could be locked: another save of this target
            // may have taken it for a dead saver's meanwhile (see
            // remove_dead_temporaries). Once that save lets go, the file is
            // ours if it still has its name; if not, another name.
            for (int wait = 0; ::flock(fd->get(), LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
                 ++wait) {
                if (interrupted()) {
                    temp.clear();
                    return std::unexpected(calls::abandoned());
                }
                calls::nap(wait);
            }
            struct stat st {};
            if (::fstat(fd->get(), &st) != 0 || st.st_nlink > 0) return fd;
        }
        if ((!fd && fd.error().code != EEXIST) || !names.next()) {
            temp.clear();
            if (fd) return fail(EEXIST); // taken from under us every time
            return fd;
        }
    }
}

// The error of link_unnamed where no way to name an unnamed file is open to
// the process (no /proc, and no privilege for the direct way).
constexpr int CANNOT_NAME = ENOLINK;

// Gives the unnamed file `fd` the name `name` in the directory; EEXIST if
// the name is taken.
std::expected<void, IoError> link_unnamed(const Interrupt& interrupted, int fd, const Place& place,
                                          const std::string& name) {
    char proc_path[64];
    std::snprintf(proc_path, sizeof proc_path, "/proc/self/fd/%d", fd);
    auto linked = retrying(interrupted, [&] {
        return ::linkat(AT_FDCWD, proc_path, place.dir.get(), name.c_str(), AT_SYMLINK_FOLLOW);
    });
    if (!linked && linked.error().code == ENOENT) {
        // No /proc: the direct way, which needs a privilege.
        linked = retrying(interrupted, [&] {
            return ::linkat(fd, "", place.dir.get(), name.c_str(), AT_EMPTY_PATH);
        });
        if (!linked && (linked.error().code == ENOENT || linked.error().code == EPERM) &&
            ::access("/proc/self/fd", F_OK) != 0) {
            return fail(CANNOT_NAME);
        }
    }
    if (!linked) return std::unexpected(linked.error());
    return {};
}

// Keeps the old file's owner and group where the process may set them
// (root; a group it belongs to), then its permission bits, since a change
// of owner clears the set-id bits.
std::expected<void, IoError> keep_metadata(int fd, const struct stat& old) {
    struct stat now {};
    if (::fstat(fd, &now) == 0 && (now.st_uid != old.st_uid || now.st_gid != old.st_gid)) {
        if (::fchown(fd, old.st_uid, old.st_gid) != 0 && now.st_gid != old.st_gid) {
            (void)::fchown(fd, static_cast<uid_t>(-1), old.st_gid);
        }
    }
    // A file system without Unix permissions (FAT) may refuse: the bits
    // mean nothing there, so that refusal is not a failure.
    if (::fchmod(fd, old.st_mode & 07777) != 0 && errno != EPERM && errno != EOPNOTSUPP) {
        return fail(errno);
    }
    return {};
}

// What rename would refuse for a file that a plain open may write: in a
// sticky directory (like /tmp) only the file's or the directory's owner may
// replace it. Said before anything is written.
bool sticky_refuses(const Place& place) {
    struct stat dst {};
    if (::fstat(place.dir.get(), &dst) != 0 || (dst.st_mode & S_ISVTX) == 0) return false;
    const uid_t me = ::geteuid();
    return me != 0 && place.st.st_uid != me && dst.st_uid != me;
}

std::expected<void, IoError> replace(const Interrupt& interrupted, const Place& place,
                                     const ByteSource& bytes, bool unnamed) {
    const int dir = place.dir.get();
    if (place.exists) {
        // Refuse as the plain open would where we may not write the file
        // (read-only file, read-only file system, running executable...).
        // Opening without O_TRUNC changes nothing.
        auto probe = calls::open_at(interrupted, dir, place.name.c_str(),
                                    O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
        if (!probe) return std::unexpected(probe.error());
        if (sticky_refuses(place)) return fail(EPERM);
    }
    // New files get 0666 less the umask from the kernel, as the plain open
    // would; a replacement gets the old file's bits below.
    const mode_t mode = place.exists ? 0600 : 0666;
    const std::string prefix = temp_prefix(place);
    std::string temp; // the named temporary's name, if there is one
    auto fd = unnamed ? unnamed_file(interrupted, place, mode) : Fd();
    if (fd && fd->get() < 0) fd = named_file(interrupted, place, mode, prefix, temp);
    if (!fd) return std::unexpected(fd.error());
    // Whatever goes wrong from here, the old file stays: an unnamed file
    // vanishes when closed, a named one is removed.
    struct Cleanup {
        int dir;
        std::string& temp;
        pid_t owner;
        ~Cleanup() {
            if (!temp.empty() && ::getpid() == owner) (void)::unlinkat(dir, temp.c_str(), 0);
        }
    } cleanup{dir, temp, place.owner};
    std::optional<SignalsHeld> held; // declared after cleanup: released before it runs

    if (place.exists) {
        if (auto kept = keep_metadata(fd->get(), place.st); !kept) return kept;
    }
    if (auto written = calls::write_all(interrupted, fd->get(), bytes); !written) return written;
    auto synced = retrying(interrupted, [&] { return ::fsync(fd->get()); });
    if (!synced && synced.error().code != EINVAL) return std::unexpected(synced.error());

    if (temp.empty()) {
        // A new file takes its name in one step; one that exists (or
        // appeared meanwhile) is replaced through a temporary name.
        std::expected<void, IoError> linked = fail(EEXIST);
        if (!place.exists) linked = link_unnamed(interrupted, fd->get(), place, place.name);
        if (linked) return linked;
        if (linked.error().code == CANNOT_NAME) {
            // Written for nothing: once more, with a named temporary.
            fd->reset();
            return replace(interrupted, place, bytes, false);
        }
        if (linked.error().code != EEXIST) return linked;
        // From here to the rename, a process that ends leaves the named
        // temporary behind (a later save removes it, see TempNames): two
        // system calls, and no signal's default action in between.
        held.emplace();
        for (TempNames names(place, prefix);;) {
            temp = names.current();
            linked = link_unnamed(interrupted, fd->get(), place, temp);
            if (linked) break;
            temp.clear();
            if (linked.error().code == CANNOT_NAME) {
                held.reset();
                fd->reset();
                return replace(interrupted, place, bytes, false);
            }
            if (linked.error().code != EEXIST || !names.next()) return linked;
        }
    }
    auto renamed = retrying(interrupted,
                            [&] { return ::renameat(dir, temp.c_str(), dir, place.name.c_str()); });
    if (!renamed) return std::unexpected(renamed.error());
    temp.clear(); // it is the target now
    held.reset();
    fd->reset();
    // So that a power cut cannot bring the old file back. The rename has
    // happened: a failure here is not the save's failure.
    if (place.dir_readable) (void)::fsync(dir);
    return {};
}

// write_file, with or without unnamed files.
std::expected<void, IoError> write_as_owner(std::string_view path, const ByteSource& bytes,
                                            const Interrupt& interrupted, bool unnamed) {
    if (path.find('\0') != std::string_view::npos) {
        return std::unexpected(IoError{0, "InvalidInput", NUL_MESSAGE});
    }
    if (path.empty()) return fail(ENOENT); // as open("") fails
    const std::string given(path);

    // What is there, symbolic links followed: the errors a plain open gives
    // for the path as a whole (a file used as a directory, a loop...).
    struct stat st {};
    if (::stat(given.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode)) return fail(EISDIR);
    } else if (errno != ENOENT) {
        return fail(errno);
    }

    auto place = resolve(interrupted, given);
    if (!place) return std::unexpected(place.error());
    if (place->exists && S_ISDIR(place->st.st_mode)) return fail(EISDIR);
    if (place->exists && (!S_ISREG(place->st.st_mode) || place->through_link)) {
        bool regular = false;
        auto written = write_in_place(interrupted, *place, bytes, &regular);
        if (!written || !regular) return written;
        // It became a regular file meanwhile: replace that.
        if (::fstatat(place->dir.get(), place->name.c_str(), &place->st, AT_SYMLINK_NOFOLLOW) != 0)
            return fail(errno);
    }
    return replace(interrupted, *place, bytes, unnamed);
}

// A write belongs to the process that began it. The Interrupt may run code
// that forks (a signal handler), and the child returns into this same write
// with the parent's descriptors: it gives the write up at once, writing,
// naming and removing nothing, and says why.
std::expected<void, IoError> write(std::string_view path, const ByteSource& bytes,
                                   const Interrupt& interrupted, bool unnamed) {
    const pid_t owner = ::getpid();
    auto check = [&] { return interrupted() || ::getpid() != owner; };
    auto written = write_as_owner(path, bytes, Interrupt(check), unnamed);
    if (::getpid() != owner) return std::unexpected(IoError{0, "Other", FORKED_MESSAGE});
    return written;
}

} // namespace

bool is_abandoned(const IoError& e) noexcept {
    return e.code == EINTR;
}

std::expected<void, IoError> write_file(std::string_view path, const ByteSource& bytes,
                                        Interrupt interrupted) {
    return write(path, bytes, interrupted, true);
}

std::expected<void, IoError> write_file(std::string_view path, std::span<const std::uint8_t> bytes,
                                        Interrupt interrupted) {
    return write(path, SpanSource(bytes), interrupted, true);
}

std::expected<void, IoError>
detail::write_file_named(std::string_view path, const ByteSource& bytes, Interrupt interrupted) {
    return write(path, bytes, interrupted, false);
}

std::expected<void, IoError> detail::write_file_named(std::string_view path,
                                                      std::span<const std::uint8_t> bytes,
                                                      Interrupt interrupted) {
    return write(path, SpanSource(bytes), interrupted, false);
}

} // namespace protocols::protocol_file
