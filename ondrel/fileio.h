// The file behind fstream: a descriptor, our own write buffer and an
// optional codec. No Python in here; fstream calls every member with the
// interpreter lock released.
//
// Writes go through write(2) in a loop (short writes continued, EINTR
// retried) rather than stdio, so that every failure, including one that
// only shows when the last buffer is flushed or the descriptor closed,
// reaches the caller as std::system_error.
//
// Writing over an existing regular file never truncates it before the new
// content is complete: the new bytes go to a temporary file, beside it or
// else in the temporary directory, and only a successful close() puts them
// in place. A write that fails half-way (a full disk, a killed process)
// therefore leaves the old content, which may be the only copy, e.g. when
// a file is compressed onto itself.
//
// Putting them in place is a rename(2) only where that keeps everything
// the file had: a temporary beside it that could be given the file's
// owner, mode and extended attributes, for a file with no other name. A
// hard-linked or bind-mounted file, another user's file, one with an
// attribute we cannot copy, or a refused rename gets the new content
// copied into it instead, after reserving the room, so that it keeps its
// inode, names, owner, mode and attributes. That copy is not atomic: a
// crash (not a failure, which is raised) during it leaves a mixture.
//
// Long reads and writes call check_interrupt() (interrupt.h) between
// chunks, so Ctrl-C stops them; an interrupted writer counts as broken.
#pragma once

#include <cerrno>
#include <cstddef>
#include <exception>
#include <memory>
#include <string>
#include <system_error>

#include "ondrel/codecs/codec.h"
#include "ondrel/interrupt.h"
#include "ondrel/result.h"

namespace ondrel {

class File final : private codecs::Sink {
public:
    // `create` is write to a file that must not exist yet: made with
    // O_EXCL (a symbolic link at the path is refused, not followed) and
    // mode 0600, for names chosen in shared directories such as /tmp.
    //
    // `replace` is write for a copy that must leave nothing half-done: a
    // new file too is written to a temporary beside it (made with mode
    // 0666, so the umask and the directory's defaults apply as to the file
    // itself) and renamed into place by close(). Where that cannot be done
    // (the path names something else than a regular file or nothing, a
    // dangling link, a file for which no temporary can be made anywhere)
    // the constructor throws Declined before anything was created, and the
    // caller writes the file some other way.
    enum class Access { read, write, append, create, replace };
    struct Declined {};

    // Opens with close-on-exec; for append creates the file if missing. For
    // write, a missing file is created at once; an existing regular file
    // (reached through any symbolic links) is replaced on a successful
    // close(), or written directly where no temporary can be made
    // anywhere; anything else (a device, a FIFO) is opened and written
    // directly. `filter` may be null for plain bytes.
    File(const std::string& path, Access access, const codecs::Codec* filter);
    ~File() override;  // closes (committing), ignoring errors
    File(const File&) = delete;
    File& operator=(const File&) = delete;

    // Everything from the current position to the end, decoded through the
    // filter, appended to `out`. With a filter a second call adds nothing:
    // the compressed stream has been consumed and checked to its end.
    void read_all(ResultBuffer& out);

    // Up to `size` bytes into `out`; fewer only at the end of the file.
    std::size_t read_into(char* out, std::size_t size);

    // With a filter, successive writes form one compressed stream. After a
    // failure the stream is broken: later writes and close() report it again.
    void write(const char* data, std::size_t size);

    // Ends the compressed stream, flushes, closes and, when replacing a
    // file, puts the temporary in its place. Idempotent. The descriptor is
    // released even when this throws, and a temporary file never survives
    // a failure.
    void close();

    // Closes without committing: nothing more is written, a temporary is
    // removed (the original stays), and a file this object created is
    // removed again if the path still names it. Bytes already written to
    // a file opened directly (append, a device) stay written.
    void abort() noexcept;

    bool closed() const { return fd_ < 0; }

private:
    void put(const char* data, std::size_t size) override;
    void flush();
    void discard_temporary();
    void commit();
    long long plain_remaining() const;
    void remove_if_created();

    int fd_ = -1;
    Access access_;
    std::string target_;     // what the temporary replaces; empty if none
    std::string temporary_;  // written instead of target_ until close()
    bool beside_ = false;    // temporary_ is in target_'s directory
    bool fresh_ = false;     // target_ named nothing when opened
    std::string created_;    // absolute path of a file this object created
    // The process that made temporary_ and created_: after fork() they are
    // the parent's too, and a child that gives the stream up must not take
    // them from under a parent that goes on to finish it.
    long opener_;
    bool inherited() const;
    const codecs::Codec* filter_;
    std::unique_ptr<codecs::Encoder> encoder_;
    std::string buffer_;
    bool decoded_ = false;
    std::exception_ptr failure_;

    // Runs `step`; if it throws, the stream is broken: the failure is kept
    // for every later call. An interruption is kept as EINTR, since the
    // signal's own exception goes to the caller once, now.
    template <class Step>
    void broken_on_failure(const char* what, Step&& step) {
        try {
            step();
        } catch (const PythonError&) {
            failure_ = std::make_exception_ptr(std::system_error(EINTR, std::generic_category(), what));
            throw;
        } catch (...) {
            failure_ = std::current_exception();
            throw;
        }
    }
};

}  // namespace ondrel
