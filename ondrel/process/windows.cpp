// Windows runner: CreateProcess of the command interpreter, `cmd.exe /c`.

#include "process.h"

#include <windows.h>

#include <exception>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

namespace ondrel::process {

namespace {

// GetLastError() for the call `what` names, as std::system_error.
[[noreturn]] void throw_last_error(const char* what) {
    throw std::system_error(static_cast<int>(GetLastError()), std::system_category(), what);
}

class Handle {
public:
    Handle() = default;
    explicit Handle(HANDLE h) : h_(h) {}
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    ~Handle() { reset(); }

    HANDLE get() const { return h_; }
    HANDLE* out() { return &h_; }
    void reset() {
        if (h_ != nullptr && h_ != INVALID_HANDLE_VALUE) CloseHandle(h_);
        h_ = nullptr;
    }

private:
    HANDLE h_ = nullptr;
};

// Reads until the child's end is closed (ERROR_BROKEN_PIPE ends the loop).
void read_all(HANDLE pipe, std::string& into, codecs::Sink* sink = nullptr) {
    std::vector<char> buffer(64 * 1024);
    DWORD got = 0;
    while (ReadFile(pipe, buffer.data(), static_cast<DWORD>(buffer.size()), &got, nullptr) &&
           got > 0) {
        if (sink)
            sink->put(buffer.data(), got);
        else
            into.append(buffer.data(), got);
    }
}

// Only the child's ends are inheritable; ours must not leak into it.
void make_pipe(Handle& read_end, Handle& write_end) {
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    if (!CreatePipe(read_end.out(), write_end.out(), &inherit, 0)) throw_last_error("CreatePipe");
    if (!SetHandleInformation(read_end.get(), HANDLE_FLAG_INHERIT, 0))
        throw_last_error("SetHandleInformation");
}

}  // namespace

// `check_interrupt` is not called: the pipe reads below block, and anonymous
// pipes offer no wait with a timeout to call it from.
Result run(const std::string& command_line, InterruptCheck, codecs::Sink* out) {
    Handle out_read, out_write, err_read, err_write;
    make_pipe(out_read, out_write);
    make_pipe(err_read, err_write);

    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    Handle null_input(CreateFileA("NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                  &inherit, OPEN_EXISTING, 0, nullptr));
    if (null_input.get() == INVALID_HANDLE_VALUE) throw_last_error("CreateFile(NUL)");

    char interpreter[MAX_PATH];
    DWORD length = GetEnvironmentVariableA("COMSPEC", interpreter, MAX_PATH);
    std::string shell = (length > 0 && length < MAX_PATH) ? interpreter : "cmd.exe";
    // /s with the whole command in one pair of quotes: cmd strips exactly
    // those and leaves any quoting inside the command alone. /d skips AutoRun.
    std::string line = "\"" + shell + "\" /d /s /c \"" + command_line + "\"";
    std::vector<char> mutable_line(line.begin(), line.end());
    mutable_line.push_back('\0');

    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = null_input.get();
    startup.hStdOutput = out_write.get();
    startup.hStdError = err_write.get();
    PROCESS_INFORMATION info = {};
    // No application name: the first token of the line is looked up on the
    // search path, which a bare "cmd.exe" needs.
    if (!CreateProcessA(nullptr, mutable_line.data(), nullptr, nullptr, TRUE,
                        CREATE_NO_WINDOW, nullptr, nullptr, &startup, &info))
        throw_last_error("CreateProcess");
    Handle process(info.hProcess), thread(info.hThread);
    out_write.reset();
    err_write.reset();
    null_input.reset();

    // Anonymous pipes cannot be polled, so a second thread drains stderr.
    Result result;
    std::exception_ptr err_failure, out_failure;
    std::thread err_reader([&] {
        try {
            read_all(err_read.get(), result.err);
        } catch (...) {
            err_failure = std::current_exception();
        }
    });
    try {
        read_all(out_read.get(), result.out, out);
    } catch (...) {
        out_failure = std::current_exception();
        TerminateProcess(process.get(), 1);
    }
    err_reader.join();
    WaitForSingleObject(process.get(), INFINITE);
    if (out_failure) std::rethrow_exception(out_failure);
    if (err_failure) std::rethrow_exception(err_failure);

    DWORD code = 0;
    if (!GetExitCodeProcess(process.get(), &code)) throw_last_error("GetExitCodeProcess");
    result.status = static_cast<int>(code);
    return result;
}

}  // namespace ondrel::process
