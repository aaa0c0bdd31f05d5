#include "fileio.h"


#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <random>
#include <system_error>
#include <utility>

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
}  // namespace
#else
#include <stdlib.h>
#include <unistd.h>
#define O_BINARY_IF_ANY 0
namespace {
// `private_file`: 0600 whatever the umask allows, as mkstemp makes it.
int sys_open(const char* path, int flags, bool private_file) {
    return ::open(path, flags, private_file ? 0600 : 0666);
}
ssize_t sys_read(int fd, char* data, std::size_t size) { return ::read(fd, data, size); }
ssize_t sys_write(int fd, const char* data, std::size_t size) { return ::write(fd, data, size); }
int sys_close(int fd) { return ::close(fd); }
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

void write_all(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        check_interrupt();
        ssize_t written = sys_write(fd, data, size < kChunkSize ? size : kChunkSize);
        if (written < 0) {
            if (errno != EINTR) throw_errno("write");
            check_interrupt_now();
            continue;
        }
        data += written;
        size -= static_cast<std::size_t>(written);
    }
}

// One read(2) of at most kChunkSize, retried on EINTR; 0 at end of file.
std::size_t read_some(int fd, char* data, std::size_t size) {
    check_interrupt();
    for (;;) {
        ssize_t got = sys_read(fd, data, size < kChunkSize ? size : kChunkSize);
        if (got >= 0) return static_cast<std::size_t>(got);
        if (errno != EINTR) throw_errno("read");
        check_interrupt_now();
    }
}

#ifndef _WIN32
// For write mode over an existing regular file: opens a fresh temporary
// in the same directory (so rename(2) is atomic), with the original's
// permissions and, where allowed, its owner. Answers -1 (and leaves
// `target`/`temporary` empty) when the destination is to be opened
// directly: it does not exist yet, is not a regular file, or no temporary
// can be made beside it although the file itself is writable. A process
// killed mid-write leaves its ".name.XXXXXX" temporary behind, never a
// damaged original.
//
// An owner or mode that cannot be copied (a non-root caller replacing a
// file it may write but does not own) does not stop the write: the
// replacement then belongs to the caller, and `warning` says so.
int open_replacement(const std::string& path, std::string& target, std::string& temporary,
                     std::string& warning) {
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

    // Symbolic links stay links: their final target is what gets replaced.
    std::unique_ptr<char, void (*)(void*)> resolved(::realpath(path.c_str(), nullptr), ::free);
    if (!resolved) return -1;
    std::string real = resolved.get();
    const std::size_t slash = real.rfind('/');
    // A short fixed prefix plus at most 200 bytes of the name keeps the
    // temporary within NAME_MAX however long the original name is.
    std::string name = "." + real.substr(slash + 1, 200) + ".XXXXXX";
    std::string pattern = real.substr(0, slash + 1) + name;
    int fd = ::mkostemp(&pattern[0], O_CLOEXEC);
    if (fd < 0) {
        // A directory we may not add to, or a path already so near PATH_MAX
        // that the longer temporary name cannot be made: written in place,
        // as before, rather than refused.
        if (errno == EACCES || errno == EPERM || errno == ENAMETOOLONG) return -1;
        throw_errno("open");
    }
    // chown first: it clears set-id bits that fchmod then restores.
    if ((info.st_uid != ::geteuid() || info.st_gid != ::getegid()) &&
        ::fchown(fd, info.st_uid, info.st_gid) != 0) {
        warning = "owner " + std::to_string(info.st_uid) + ":" + std::to_string(info.st_gid) +
                  " not kept (" + std::generic_category().message(errno) +
                  "); the new file belongs to " + std::to_string(::geteuid()) + ":" +
                  std::to_string(::getegid());
    }
    if (::fchmod(fd, info.st_mode & 07777) != 0) {
        if (!warning.empty()) warning += "; ";
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(info.st_mode & 07777));
        warning += std::string("mode ") + mode + " not kept (" +
                   std::generic_category().message(errno) + ")";
    }
    target = std::move(real);
    temporary = std::move(pattern);
    return fd;
}

// For replace mode where the path names nothing yet: a temporary beside
// it, made the way the file itself would be (mode 0666 less the umask,
// the directory's group rules), to be renamed onto the path. Anything at
// the path (even a dangling link, which a direct write would follow) or
// a path that cannot be looked at is left to the caller: Declined.
int open_fresh_temporary(const std::string& path, std::string& target, std::string& temporary) {
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
            return fd;
        }
        if (errno == EEXIST || errno == EINTR) continue;
        if (errno == ENAMETOOLONG) throw File::Declined();
        throw_errno("open");
    }
    throw_errno("open");  // EEXIST, 64 times over
}
#endif

}  // namespace

File::File(const std::string& path, Access access, const codecs::Codec* filter)
    : access_(access), filter_(filter) {
#ifndef _WIN32
    if (access == Access::write || access == Access::replace)
        fd_ = open_replacement(path, target_, temporary_, warning_);
    if (access == Access::replace && fd_ < 0) fd_ = open_fresh_temporary(path, target_, temporary_);
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

void File::remove_if_created() {
#ifndef _WIN32
    // Only while the path still names the file we made: someone may have
    // renamed it away and put something else there since.
    struct stat ours, now;
    if (!created_.empty() && fd_ >= 0 && ::fstat(fd_, &ours) == 0 &&
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
    if (!temporary_.empty()) ::unlink(temporary_.c_str());
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
        std::string chunk(kBufferSize, '\0');
        while (std::size_t got = read_some(fd_, &chunk[0], chunk.size()))
            decoder->update(chunk.data(), got, sink);
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
    // No fsync before the rename: a crash of the whole machine may then
    // leave an empty file on some file systems, but a failing write or a
    // killed process never can, and syncing every write costs more than
    // this module's callers expect of a file copy.
    if (!temporary_.empty() && !failure && ::rename(temporary_.c_str(), target_.c_str()) != 0)
        failure = std::make_exception_ptr(std::system_error(errno, std::generic_category(), "rename"));
    if (failure) discard_temporary();
    temporary_.clear();
    target_.clear();
#endif
    if (failure) std::rethrow_exception(failure);
}

}  // namespace ondrel
