#include "fileio.h"


#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <random>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#ifdef _WIN32
#include <io.h>
#define O_CLOEXEC _O_NOINHERIT
#define O_BINARY_IF_ANY _O_BINARY
using ssize_t = int;
namespace {
int sys_open(const char* path, int flags, bool) { return _open(path, flags, _S_IREAD | _S_IWRITE); }
ssize_t sys_read(int fd, char* data, std::size_t size) {
    return _read(fd, data, static_cast<unsigned>(size > 1u << 30 ? 1u << 30 : size));
}
ssize_t sys_write(int fd, const char* data, std::size_t size) {
    return _write(fd, data, static_cast<unsigned>(size > 1u << 30 ? 1u << 30 : size));
}
int sys_close(int fd) { return _close(fd); }
long current_process() { return 0; }  // no fork()
}  // namespace
#else
#include <stdlib.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/xattr.h>
#endif
#define O_BINARY_IF_ANY 0
namespace {
// `private_file`: 0600 whatever the umask allows, as mkstemp makes it.
int sys_open(const char* path, int flags, bool private_file) {
    return ::open(path, flags, private_file ? 0600 : 0666);
}
ssize_t sys_read(int fd, char* data, std::size_t size) { return ::read(fd, data, size); }
ssize_t sys_write(int fd, const char* data, std::size_t size) { return ::write(fd, data, size); }
int sys_close(int fd) { return ::close(fd); }
long current_process() { return static_cast<long>(::getpid()); }
}  // namespace
#endif

namespace ondrel {

namespace {

// Large enough that write(2) calls are rare, small enough to not matter.
constexpr std::size_t kBufferSize = 64 * 1024;

// The most one read(2) or write(2) moves between two interrupt checks: a
// few milliseconds of work even on a slow disk.
constexpr std::size_t kChunkSize = 4 * 1024 * 1024;

// The failure errno holds, for the call `what` names, as std::system_error.
[[noreturn]] void throw_errno(const char* what) {
    throw std::system_error(errno, std::generic_category(), what);
}

int open_flags(File::Access access) {
    switch (access) {
        case File::Access::read: return O_RDONLY;
        case File::Access::write:
        case File::Access::replace: return O_WRONLY | O_CREAT | O_TRUNC;
        case File::Access::append: return O_WRONLY | O_CREAT | O_APPEND;
        case File::Access::create: return O_WRONLY | O_CREAT | O_EXCL;
    }
    return O_RDONLY;
}

// Both check for Ctrl-C between system calls unless `interruptible` is
// false, for a copy that must not stop half-way.
void write_all(int fd, const char* data, std::size_t size, bool interruptible = true) {
    while (size > 0) {
        if (interruptible) check_interrupt();
        ssize_t written = sys_write(fd, data, size < kChunkSize ? size : kChunkSize);
        if (written < 0) {
            if (errno != EINTR) throw_errno("write");
            if (interruptible) check_interrupt_now();
            continue;
        }
        data += written;
        size -= static_cast<std::size_t>(written);
    }
}

// One read(2) of at most kChunkSize, retried on EINTR; 0 at end of file.
std::size_t read_some(int fd, char* data, std::size_t size, bool interruptible = true) {
    if (interruptible) check_interrupt();
    for (;;) {
        ssize_t got = sys_read(fd, data, size < kChunkSize ? size : kChunkSize);
        if (got >= 0) return static_cast<std::size_t>(got);
        if (errno != EINTR) throw_errno("read");
        if (interruptible) check_interrupt_now();
    }
}

#ifndef _WIN32
// A descriptor closed on every way out of a scope.
struct Descriptor {
    explicit Descriptor(int fd) : fd(fd) {}
    ~Descriptor() {
        if (fd >= 0) ::close(fd);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int fd;
};

// Where the output goes when the destination's own directory takes no
// temporary: where Python's tempfile and the standard tools look first.
std::string temporary_directory() {
    const char* dir = ::getenv("TMPDIR");
    return std::string(dir != nullptr && *dir != '\0' ? dir : "/tmp") + "/";
}

// A new private (0600) file in `dir` (ending in '/') named after `base`,
// or -1 with errno set. A short fixed prefix plus at most 200 bytes of the
// name keeps it within NAME_MAX however long the original name is; a
// process killed mid-write leaves a recognisable ".name.XXXXXX" behind.
int make_temporary(const std::string& dir, const std::string& base, std::string& name) {
    name = dir + "." + base.substr(0, 200) + ".XXXXXX";
    const int fd = ::mkostemp(&name[0], O_CLOEXEC);
    if (fd < 0) name.clear();
    return fd;
}

// Failures of a temporary beside the destination that say nothing about
// the destination itself: a directory we may not add to, a read-only or
// full file system under a file mounted from elsewhere, a path already so
// near PATH_MAX that the longer name does not fit.
bool no_room_beside(int error) {
    return error == EACCES || error == EPERM || error == EROFS || error == ENAMETOOLONG ||
           error == ENOSPC || error == EDQUOT;
}

// For write and replace mode over an existing regular file (reached
// through any symbolic links, which stay links): a temporary beside it
// (`beside`) or else in the temporary directory, to be committed by
// close(). Answers -1, leaving `target`/`temporary` empty, where the path
// names no regular file or no temporary can be made anywhere.
int open_replacement(const std::string& path, std::string& target, std::string& temporary,
                     bool& beside) {
    struct stat info;
    if (::stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return -1;
    // Opening the original for writing (without truncating) keeps the
    // permission checks and errors exactly those of a direct open: a file
    // we may not write must not become replaceable through its directory.
    int probe;
    while ((probe = ::open(path.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY)) < 0)
        if (errno != EINTR) throw_errno("open");
    const int probed = ::fstat(probe, &info);
    ::close(probe);
    if (probed != 0 || !S_ISREG(info.st_mode)) return -1;

    std::unique_ptr<char, void (*)(void*)> resolved(::realpath(path.c_str(), nullptr), ::free);
    if (!resolved) return -1;
    std::string real = resolved.get();
    const std::size_t slash = real.rfind('/');
    const std::string base = real.substr(slash + 1);
    int fd = make_temporary(real.substr(0, slash + 1), base, temporary);
    beside = fd >= 0;
    if (fd < 0) {
        if (!no_room_beside(errno)) throw_errno("open");
        fd = make_temporary(temporary_directory(), base, temporary);
        if (fd < 0) return -1;
    }
    target = std::move(real);
    return fd;
}

// For replace mode where the path names nothing yet: a temporary beside
// it, made the way the file itself would be (mode 0666 less the umask,
// the directory's group rules), to be renamed onto the path; where only
// the name is too long for that, one in the temporary directory, copied
// into a file created at the path. Anything at the path (even a dangling
// link, which a direct write would follow) or a path that cannot be
// looked at is left to the caller: Declined.
int open_fresh_temporary(const std::string& path, std::string& target, std::string& temporary,
                         bool& beside) {
    struct stat info;
    if (::lstat(path.c_str(), &info) == 0 || errno != ENOENT) throw File::Declined();
    const std::size_t slash = path.rfind('/');
    const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
    const std::string dir = slash == std::string::npos ? "." : path.substr(0, slash + 1);
    if (base.empty()) throw File::Declined();
    // The rename must reach this directory even if the process changes its
    // working directory meanwhile.
    std::unique_ptr<char, void (*)(void*)> resolved(::realpath(dir.c_str(), nullptr), ::free);
    if (!resolved) throw_errno("open");
    std::string real = resolved.get();
    if (real.back() != '/') real += '/';
    thread_local std::mt19937_64 random{std::random_device{}()};
    for (int attempt = 0; attempt < 64; ++attempt) {
        char suffix[8];
        std::snprintf(suffix, sizeof suffix, ".%06llx",
                      static_cast<unsigned long long>(random() & 0xffffff));
        std::string name = real + "." + base.substr(0, 200) + suffix;
        int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0666);
        if (fd >= 0) {
            target = real + base;
            temporary = std::move(name);
            beside = true;
            return fd;
        }
        if (errno == EEXIST || errno == EINTR) continue;
        if (errno == ENAMETOOLONG) {
            fd = make_temporary(temporary_directory(), base, temporary);
            if (fd < 0) throw File::Declined();
            target = real + base;
            beside = false;
            return fd;
        }
        throw_errno("open");
    }
    throw_errno("open");  // EEXIST, 64 times over
}

#ifdef __linux__
// The names of the extended attributes of what `list` (flistxattr or
// listxattr bound to a file) lists, as far as we may list them (a file
// system without any answers none).
template <class List>
bool list_attributes(List&& list_call, std::vector<std::string>& names) {
    std::string list;
    for (;;) {
        const ssize_t size = list_call(nullptr, 0);
        if (size < 0) return errno == ENOTSUP;
        list.resize(static_cast<std::size_t>(size));
        const ssize_t got = size == 0 ? 0 : list_call(&list[0], list.size());
        if (got >= 0) {
            list.resize(static_cast<std::size_t>(got));
            break;
        }
        if (errno != ERANGE) return false;  // ERANGE: one was added meanwhile
    }
    names.clear();
    for (std::size_t at = 0; at < list.size();) {
        const std::size_t end = list.find('\0', at);
        names.push_back(list.substr(at, end - at));
        at = end == std::string::npos ? list.size() : end + 1;
    }
    return true;
}

// Makes `to`'s extended attributes (an ACL among them) those of the file
// `from` names; false where any cannot be read, set or removed. `from` by
// name, so that a rename that needs no copy needs no second descriptor.
bool copy_attributes(const std::string& from, int to) {
    std::vector<std::string> wanted, present;
    if (!list_attributes([&](char* list, std::size_t size) { return ::listxattr(from.c_str(), list, size); },
                         wanted) ||
        !list_attributes([&](char* list, std::size_t size) { return ::flistxattr(to, list, size); },
                         present))
        return false;
    for (const std::string& name : present)
        if (std::find(wanted.begin(), wanted.end(), name) == wanted.end() &&
            ::fremovexattr(to, name.c_str()) != 0)
            return false;
    std::string value;
    for (const std::string& name : wanted) {
        const ssize_t size = ::getxattr(from.c_str(), name.c_str(), nullptr, 0);
        if (size < 0) return false;
        value.resize(static_cast<std::size_t>(size));
        const ssize_t got =
            size == 0 ? 0 : ::getxattr(from.c_str(), name.c_str(), &value[0], value.size());
        if (got != size || ::fsetxattr(to, name.c_str(), value.data(), value.size(), 0) != 0)
            return false;
    }
    return true;
}
#else
bool copy_attributes(const std::string&, int) { return true; }
#endif

// Whether renaming `temporary` over `destination`, which stat(2) has just
// described as `was`, loses nothing the destination has: it is a regular
// file with no other name, and its owner, mode and extended attributes
// could all be given to the temporary.
bool rename_keeps_everything(const std::string& destination, const struct stat& was, int temporary) {
    struct stat now;
    if (!S_ISREG(was.st_mode) || was.st_nlink != 1 || ::fstat(temporary, &now) != 0) return false;
    // chown first: it clears set-id bits that fchmod then restores.
    if ((now.st_uid != was.st_uid || now.st_gid != was.st_gid) &&
        ::fchown(temporary, was.st_uid, was.st_gid) != 0)
        return false;
    if (::fchmod(temporary, was.st_mode & 07777) != 0 || !copy_attributes(destination, temporary))
        return false;
    // A set-group-id bit a non-member may not set is dropped without an error.
    return ::fstat(temporary, &now) == 0 && now.st_uid == was.st_uid && now.st_gid == was.st_gid &&
           (now.st_mode & 07777) == (was.st_mode & 07777);
}

// The old content that a rename drops is freed with its last reference:
// its cached pages truncated, its blocks given back through the journal,
// after any write-back still under way on them. For a file of megabytes
// that is tens of milliseconds, mostly spent waiting, which the caller
// need not sit through once the new content has its name. So a large file
// about to be renamed over is held open (O_PATH: no permission needed, no
// access either way) and let go on a thread of its own.
constexpr off_t kHoldFrom = off_t(1) << 20;

// `info`: what stat(2) of `path` gave just before.
int hold_large(const std::string& path, const struct stat& info) {
#ifdef O_PATH
    if (S_ISREG(info.st_mode) && info.st_size >= kHoldFrom) return ::open(path.c_str(), O_PATH | O_CLOEXEC);
#else
    static_cast<void>(path);
    static_cast<void>(info);
#endif
    return -1;
}

void release_in_background(int fd) {
    if (fd < 0) return;
    try {
        std::thread([fd] { ::close(fd); }).detach();
    } catch (const std::system_error&) {
        ::close(fd);  // no thread to be had: the caller waits after all
    }
}

// Reserves `size` bytes for a regular file of `old` bytes about to be
// overwritten, so that a full disk or the file size limit is met before
// any byte of the old content is.
void reserve(int fd, off_t old, off_t size) {
    if (size == 0) return;
#ifdef __linux__
    if (::fallocate(fd, 0, 0, size) == 0) return;
    const int error = errno;
    if (error != EOPNOTSUPP && error != ENOSYS) {
        // A reservation that failed part-way may have grown the file.
        struct stat now;
        if (::fstat(fd, &now) == 0 && now.st_size != old) {
            // The reservation's error is the one to report.
            const int restored = ::ftruncate(fd, old);
            static_cast<void>(restored);
        }
        errno = error;
        throw_errno("fallocate");
    }
#endif
    // Without fallocate only the size limit can be met beforehand.
    if (size > old && ::ftruncate(fd, size) != 0) throw_errno("ftruncate");
}

// Copies all of `from` over the start of `to` and cuts `to` to that
// length. No interrupt checks: stopping half-way would leave neither the
// old content nor the new.
void copy_in_place(int from, int to) {
    struct stat source, destination;
    if (::fstat(from, &source) != 0 || ::fstat(to, &destination) != 0) throw_errno("fstat");
    const bool regular = S_ISREG(destination.st_mode);
    if (regular) reserve(to, destination.st_size, source.st_size);
    std::vector<char> chunk(kBufferSize * 16);
    off_t copied = 0;
    while (const std::size_t got = read_some(from, chunk.data(), chunk.size(), false)) {
        write_all(to, chunk.data(), got, false);
        copied += static_cast<off_t>(got);
    }
    if (regular && ::ftruncate(to, copied) != 0) throw_errno("ftruncate");
}
#endif

}  // namespace

File::File(const std::string& path, Access access, const codecs::Codec* filter)
    : access_(access), opener_(current_process()), filter_(filter) {
#ifndef _WIN32
    if (access == Access::write || access == Access::replace)
        fd_ = open_replacement(path, target_, temporary_, beside_);
    if (access == Access::replace && fd_ < 0) {
        fd_ = open_fresh_temporary(path, target_, temporary_, beside_);
        fresh_ = true;
    }
#else
    if (access == Access::replace) throw Declined();
#endif
    const int flags = open_flags(access) | O_CLOEXEC | O_BINARY_IF_ANY;
    bool created = access == Access::create;
    if (fd_ < 0 && access == Access::write) {
        // Created exclusively when it can be, so that abort() knows the file
        // is ours to remove; anything found there after all is opened as before.
        while ((fd_ = sys_open(path.c_str(), flags | O_EXCL, false)) < 0 && errno == EINTR)
            check_interrupt_now();
        created = fd_ >= 0;
    }
    if (fd_ < 0)
        while ((fd_ = sys_open(path.c_str(), flags, access == Access::create)) < 0) {
            if (errno != EINTR) throw_errno("open");
            check_interrupt_now();
        }
#ifndef _WIN32
    if (created) {
        std::unique_ptr<char, void (*)(void*)> resolved(::realpath(path.c_str(), nullptr), ::free);
        if (resolved) created_ = resolved.get();
    }
#endif
    try {
#ifndef _WIN32
        // open(2) happily opens a directory for reading; fail here, as
        // Python's open() does, not at the first read.
        struct stat info;
        if (fstat(fd_, &info) == 0 && S_ISDIR(info.st_mode))
            throw std::system_error(EISDIR, std::generic_category(), "open");
#endif
        if (filter_ != nullptr && access_ != Access::read) encoder_ = filter_->encoder(-1);
    } catch (...) {
        sys_close(std::exchange(fd_, -1));
        discard_temporary();
        throw;
    }
}

#ifndef _WIN32
// No fsync on either way: a crash of the whole machine may then leave an
// empty or a half-copied file, but a failing write or a killed process
// never can, and syncing every write costs more than this module's callers
// expect of a file copy (the standard tools do not sync either).
void File::commit() {
    if (fresh_ && beside_) {
        if (::rename(temporary_.c_str(), target_.c_str()) != 0) throw_errno("rename");
        return;
    }
    Descriptor output(::open(temporary_.c_str(), O_RDONLY | O_CLOEXEC));
    if (output.fd < 0) throw_errno("open");
    if (beside_ && !fresh_) {
        // Removed meanwhile: nothing left to keep, so nothing lost by a rename.
        struct stat now;
        const bool seen = ::stat(target_.c_str(), &now) == 0;
        const bool gone = !seen && errno == ENOENT;
        if (gone || (seen && rename_keeps_everything(target_, now, output.fd))) {
            Descriptor old(seen ? hold_large(target_, now) : -1);
            if (::rename(temporary_.c_str(), target_.c_str()) == 0) {
                temporary_.clear();
                release_in_background(std::exchange(old.fd, -1));
                return;
            }
            // A mount point, a sticky directory, a file system that moves no
            // names across: written in place after all.
            if (errno != EBUSY && errno != EPERM && errno != EXDEV && errno != EACCES)
                throw_errno("rename");
        }
    }
    // Only the copy holds two descriptors at once.
    const int flags = O_WRONLY | O_CLOEXEC | O_NOCTTY | (fresh_ ? O_CREAT | O_EXCL : 0);
    Descriptor destination(-1);
    while ((destination.fd = ::open(target_.c_str(), flags, 0666)) < 0)
        if (errno != EINTR) throw_errno("open");
    struct stat made {};
    if (fresh_ && ::fstat(destination.fd, &made) != 0) throw_errno("fstat");
    try {
        copy_in_place(output.fd, destination.fd);
        if (::close(std::exchange(destination.fd, -1)) != 0 && errno != EINTR) throw_errno("close");
    } catch (...) {
        // A file made here goes again, as long as the path still names it.
        struct stat now;
        if (fresh_ && ::lstat(target_.c_str(), &now) == 0 && now.st_dev == made.st_dev &&
            now.st_ino == made.st_ino)
            ::unlink(target_.c_str());
        throw;
    }
    ::unlink(temporary_.c_str());
    temporary_.clear();
}
#endif

bool File::inherited() const { return opener_ != current_process(); }

void File::remove_if_created() {
#ifndef _WIN32
    // Only while the path still names the file we made: someone may have
    // renamed it away and put something else there since.
    struct stat ours, now;
    if (!created_.empty() && fd_ >= 0 && !inherited() && ::fstat(fd_, &ours) == 0 &&
        ::lstat(created_.c_str(), &now) == 0 && ours.st_dev == now.st_dev &&
        ours.st_ino == now.st_ino) {
        ::unlink(created_.c_str());
    }
#endif
    created_.clear();
}

void File::abort() noexcept {
    if (fd_ < 0) return;
    encoder_.reset();
    std::string().swap(buffer_);
    failure_ = nullptr;
    remove_if_created();
    sys_close(std::exchange(fd_, -1));
    discard_temporary();
}

void File::discard_temporary() {
#ifndef _WIN32
    if (!temporary_.empty() && !inherited()) ::unlink(temporary_.c_str());
#endif
    temporary_.clear();
    target_.clear();
}

File::~File() {
    try {
        close();
    } catch (...) {
    }
}

long long File::plain_remaining() const {
#ifndef _WIN32
    struct stat info;
    if (filter_ != nullptr || access_ != Access::read || fstat(fd_, &info) != 0 ||
        !S_ISREG(info.st_mode)) {
        return -1;
    }
    const off_t position = lseek(fd_, 0, SEEK_CUR);
    if (position < 0 || position > info.st_size) return -1;
    return static_cast<long long>(info.st_size - position);
#else
    return -1;
#endif
}

std::size_t File::read_into(char* out, std::size_t size) {
    std::size_t done = 0;
    while (done < size) {
        const std::size_t got = read_some(fd_, out + done, size - done);
        if (got == 0) break;
        done += got;
    }
    return done;
}

void File::read_all(ResultBuffer& out) {
    if (filter_ == nullptr) {
        // A regular file is read straight into room for all of it; the one
        // read(2) at the end that answers nothing confirms its size.
        const long long remaining = plain_remaining();
        std::size_t room = remaining > 0 ? static_cast<std::size_t>(remaining) + 1 : kBufferSize;
        for (;;) {
            const std::size_t used = out.size();
            out.resize(used + room);
            const std::size_t got = read_into(out.data() + used, room);
            out.resize(used + got);
            if (got < room) return;
            room = kBufferSize;
        }
    }
    // A decode that failed part-way (damage, Ctrl-C) has consumed input
    // that cannot be read again: later reads repeat the failure rather
    // than answer an empty, seemingly complete result.
    if (failure_) std::rethrow_exception(failure_);
    if (decoded_) return;
    decoded_ = true;
    // A little input may decode to gigabytes: check on the output side too.
    struct CheckingSink final : codecs::Sink {
        explicit CheckingSink(ResultBuffer& out) : out_(out) {}
        void put(const char* data, std::size_t size) override {
            check_interrupt();
            out_.put(data, size);
        }
        ResultBuffer& out_;
    } sink(out);
    broken_on_failure("read", [&] {
        auto decoder = filter_->decoder();
        // Left unfilled: clearing it cost a small file more than decoding it.
        std::unique_ptr<char[]> chunk(new char[kBufferSize]);
        while (std::size_t got = read_some(fd_, chunk.get(), kBufferSize))
            decoder->update(chunk.get(), got, sink);
        decoder->finish(sink);  // throws on a truncated stream
    });
}

void File::put(const char* data, std::size_t size) {
    // Every encoder hands its output here on the caller's thread.
    check_interrupt();
    if (buffer_.size() + size > kBufferSize) flush();
    if (size >= kBufferSize) {
        write_all(fd_, data, size);
        return;
    }
    if (buffer_.capacity() < kBufferSize) buffer_.reserve(kBufferSize);
    buffer_.append(data, size);
}

void File::flush() {
    // Cleared first: after a failure nobody knows which bytes made it, and
    // the stream counts as broken anyway.
    std::string pending;
    pending.swap(buffer_);
    write_all(fd_, pending.data(), pending.size());
    pending.clear();
    buffer_.swap(pending);  // keep the capacity
}

void File::write(const char* data, std::size_t size) {
    if (failure_) std::rethrow_exception(failure_);
    broken_on_failure("write", [&] {
        if (encoder_)
            encoder_->update(data, size, *this);
        else
            put(data, size);
    });
}

void File::close() {
    if (fd_ < 0) return;
    // A failed read was reported when it happened; closing has nothing to add.
    std::exception_ptr failure = access_ == Access::read ? nullptr : failure_;
    if (!failure && access_ != Access::read) {
        try {
            if (encoder_) encoder_->finish(*this);
            flush();
        } catch (...) {
            failure = std::current_exception();
        }
    }
    encoder_.reset();
    std::string().swap(buffer_);
    // A file this stream made and could not complete goes again, as abort()
    // removes it: a failed write leaves no half file under the new name.
    if (failure) remove_if_created();
    // No retry on EINTR: the descriptor is gone either way (and may already
    // be reused by another thread), as Python itself treats close().
    const int closed = sys_close(std::exchange(fd_, -1));
    const int error = errno;
    if (closed != 0 && error != EINTR && !failure)
        failure = std::make_exception_ptr(std::system_error(error, std::generic_category(), "close"));
    failure_ = nullptr;
#ifndef _WIN32
    if (!temporary_.empty() && !failure) {
        try {
            commit();
        } catch (...) {
            failure = std::current_exception();
        }
    }
    if (failure) discard_temporary();
    temporary_.clear();
    target_.clear();
#endif
    if (failure) std::rethrow_exception(failure);
}

}  // namespace ondrel
