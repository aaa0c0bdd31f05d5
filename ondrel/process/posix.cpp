// POSIX runner: posix_spawn of /bin/sh -c, both output pipes drained by poll.

#include "process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>
#include <utility>
#include <vector>

extern char** environ;

namespace ondrel::process {

namespace {

// An errno value (from errno or returned, as posix_spawn does), for the
// call `what` names, as std::system_error.
[[noreturn]] void throw_system_error(int code, const char* what) {
    throw std::system_error(code, std::generic_category(), what);
}

class Fd {
public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    Fd& operator=(Fd&& other) noexcept {
        if (this != &other) {
            reset();
            fd_ = std::exchange(other.fd_, -1);
        }
        return *this;
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() { reset(); }

    int get() const { return fd_; }
    void reset() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

private:
    int fd_ = -1;
};

// Close-on-exec from birth (pipe2, not pipe + fcntl) so a child that another
// thread spawns at the same moment cannot inherit our ends and hold them open.
// Ends landing on 0-2 (the parent closed its own stdio) are moved up, or the
// dup2 of one pipe onto 1 or 2 in the child could clobber the other.
Fd lift(Fd fd) {
    if (fd.get() > 2) return fd;
    int high = fcntl(fd.get(), F_DUPFD_CLOEXEC, 3);
    if (high < 0) throw_system_error(errno, "fcntl");
    return Fd(high);
}

void make_pipe(Fd& read_end, Fd& write_end) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) throw_system_error(errno, "pipe");
    Fd r(fds[0]), w(fds[1]);
    read_end = lift(std::move(r));
    write_end = lift(std::move(w));
}

// The spawned child, reaped whatever happens. If we abandon it halfway
// (a read error, Ctrl-C) it is killed first: nobody drains its pipes any
// more, so it could otherwise block forever and so would waitpid. It leads
// a process group of its own, so what the shell started goes with it
// (`sh -c 'sleep 10; echo'` forks the sleep, which would keep our pipes).
class Child {
public:
    ~Child() {
        if (pid_ <= 0) return;
        kill(-pid_, SIGKILL);
        int status;
        while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
    }
    void set(pid_t pid) { pid_ = pid; }

    int wait() {
        int status;
        pid_t got;
        while ((got = waitpid(pid_, &status, 0)) < 0 && errno == EINTR) {
        }
        if (got < 0) throw_system_error(errno, "waitpid");
        pid_ = -1;
        if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
        return WEXITSTATUS(status);
    }

private:
    pid_t pid_ = -1;
};

class SpawnSetup {
public:
    SpawnSetup() {
        posix_spawn_file_actions_init(&actions);
        posix_spawnattr_init(&attr);
    }
    ~SpawnSetup() {
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attr);
    }
    SpawnSetup(const SpawnSetup&) = delete;
    SpawnSetup& operator=(const SpawnSetup&) = delete;

    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attr;
};

// For the posix_spawn family, which return an error number instead of
// setting errno.
void throw_if_nonzero(int rc, const char* what) {
    if (rc != 0) throw_system_error(rc, what);
}

// Often enough to notice Ctrl-C within ~100 ms while the command is silent.
constexpr int kPollMilliseconds = 20;

void drain(Fd& out, Fd& err, Result& result, InterruptCheck check_interrupt,
           codecs::Sink* out_sink) {
    pollfd fds[2] = {{out.get(), POLLIN, 0}, {err.get(), POLLIN, 0}};
    std::string* targets[2] = {&result.out, &result.err};
    Fd* owners[2] = {&out, &err};
    int open = 2;
    std::vector<char> buffer(64 * 1024);
    while (open > 0) {
        check_interrupt();
        if (poll(fds, 2, kPollMilliseconds) < 0) {
            if (errno == EINTR) continue;
            throw_system_error(errno, "poll");
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) continue;
            ssize_t got = read(fds[i].fd, buffer.data(), buffer.size());
            if (got > 0) {
                if (i == 0 && out_sink)
                    out_sink->put(buffer.data(), static_cast<std::size_t>(got));
                else
                    targets[i]->append(buffer.data(), static_cast<std::size_t>(got));
            } else if (got == 0) {
                owners[i]->reset();
                fds[i].fd = -1;  // poll skips negative descriptors
                --open;
            } else if (errno != EINTR && errno != EAGAIN) {
                throw_system_error(errno, "read");
            }
        }
    }
}

}  // namespace

Result run(const std::string& command_line, InterruptCheck check_interrupt, codecs::Sink* out) {
    // Declared before the pipes so that, when unwinding, our read ends are
    // closed first and a child still writing gets EPIPE rather than blocking.
    Child child;
    Fd out_read, out_write, err_read, err_write;
    make_pipe(out_read, out_write);
    make_pipe(err_read, err_write);

    SpawnSetup setup;
    throw_if_nonzero(posix_spawn_file_actions_addopen(&setup.actions, 0, "/dev/null", O_RDONLY, 0),
                     "posix_spawn_file_actions_addopen");
    throw_if_nonzero(posix_spawn_file_actions_adddup2(&setup.actions, out_write.get(), 1),
                     "posix_spawn_file_actions_adddup2");
    throw_if_nonzero(posix_spawn_file_actions_adddup2(&setup.actions, err_write.get(), 2),
                     "posix_spawn_file_actions_adddup2");

    // Python ignores SIGPIPE (and a thread may block signals); the shell
    // must start with the defaults or `producer | head` pipelines misbehave.
    sigset_t defaults, mask;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    sigaddset(&defaults, SIGXFSZ);
    sigemptyset(&mask);
    throw_if_nonzero(posix_spawnattr_setsigdefault(&setup.attr, &defaults),
                     "posix_spawnattr_setsigdefault");
    throw_if_nonzero(posix_spawnattr_setsigmask(&setup.attr, &mask), "posix_spawnattr_setsigmask");
    throw_if_nonzero(posix_spawnattr_setpgroup(&setup.attr, 0), "posix_spawnattr_setpgroup");
    throw_if_nonzero(posix_spawnattr_setflags(&setup.attr, POSIX_SPAWN_SETSIGDEF |
                                                               POSIX_SPAWN_SETSIGMASK |
                                                               POSIX_SPAWN_SETPGROUP),
                     "posix_spawnattr_setflags");

    char* argv[] = {const_cast<char*>("/bin/sh"), const_cast<char*>("-c"),
                    const_cast<char*>(command_line.c_str()), nullptr};
    pid_t pid;
    throw_if_nonzero(posix_spawn(&pid, "/bin/sh", &setup.actions, &setup.attr, argv, environ),
                     "posix_spawn");
    child.set(pid);

    // Our copies of the write ends must go, or the reads never see EOF.
    out_write.reset();
    err_write.reset();

    Result result;
    drain(out_read, err_read, result, check_interrupt, out);
    result.status = child.wait();
    return result;
}

}  // namespace ondrel::process
