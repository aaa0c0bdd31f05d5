// Platform tools: screen, appdir, magic. Their only platform branches are
// the tests of the module attribute `__system__`.
#include "pyutil/compat.h"

#include <cstring>
#include <vector>

#include "src/module/guard.h"
#include "src/module/table.h"

namespace dorvane {

namespace {

bool system_is(Id name) {
    Ref same = owned_or_raise(PyObject_RichCompare(global(Id::__system__).get(), constant(name), Py_EQ));
    return truth(same);
}

Ref format(Id format_text, const Ref& value) {
    return owned_or_raise(PyNumber_Remainder(constant(format_text), value.get()));
}

Ref replace(const Ref& text, Id old_text, Id new_text) {
    return call(attr(text, Id::replace), old_text, new_text);
}

// One word for cmd and then for the program's C runtime. Between double
// quotes cmd keeps every character but %, which it still expands; so each %
// stands alone between two quoted runs ("a"%"b"). Every name cmd could then
// read between two % begins with a quote, which no variable's name does, and
// on a command line an unknown %name% is kept as it is. A caret would not
// do: cmd keeps it inside quotes, and Wine's cmd keeps it before % outside
// them too. The runtime reads a backslash run before a quote as escapes, so
// a run that meets a closing quote is doubled. A Windows file name holds no
// double quote.
Ref quoted_for_windows(const Ref& text) {
    const Py_ssize_t size = pyutil::text_length(text.get());
    std::vector<Py_UCS4> out;
    out.reserve(static_cast<std::size_t>(size) + 2);
    Py_ssize_t backslashes = 0;
    auto close_quote = [&] {
        out.insert(out.end(), static_cast<std::size_t>(backslashes), '\\');
        out.push_back('"');
        backslashes = 0;
    };
    out.push_back('"');
    for (Py_ssize_t i = 0; i < size; ++i) {
        const Py_UCS4 c = pyutil::text_char(text.get(), i);
        if (c == '%') {
            close_quote();
            out.push_back('%');
            out.push_back('"');
            continue;
        }
        backslashes = c == '\\' ? backslashes + 1 : 0;
        out.push_back(c);
    }
    close_quote();
    return owned_or_raise(pyutil::text_from_chars(out));
}

struct Payload {
    Id file_name;
    Id attribute;
};

// In the order they are joined, written and removed.
constexpr Payload kPayloads[] = {
    {Id::file_exe_name, Id::_FILE_EXE_},   {Id::zlib_lib_name, Id::_ZLIB_LIB_},
    {Id::mime_lib_name, Id::_MIME_LIB_},   {Id::magic_lib_name, Id::_MAGIC_LIB_},
    {Id::regex_lib_name, Id::_REGEX_LIB_},
};
constexpr int kFileExe = 0, kMimeLib = 2, kPayloadCount = 5;

void write_payload(const Ref& path, Id attribute) {
    Ref stream = call(global(Id::fstream), path, Id::mode_binary);
    with_block(stream, [&](const Ref& writer) {
        Ref write = attr(writer, Id::write);
        Ref encoded = call(global(Id::bstream), global(attribute));
        Ref compressed = call(attr(encoded, Id::base64_decode));
        call(write, call(attr(compressed, Id::zlib_decode)));
    });
}

// type "/" subtype, each a token of MIME's grammar: what `file --mime-type`
// prints for an answer. Its complaints ("cannot open `x' (...)", "regular
// file, no read permission") come on the same stream with exit status 0 and
// never have that form.
bool is_mime_type(const Ref& text) {
    if (!PyUnicode_Check(text.get())) return false;
    const Py_ssize_t size = pyutil::text_length(text.get());
    Py_ssize_t slash = -1;
    for (Py_ssize_t i = 0; i < size; ++i) {
        const Py_UCS4 c = pyutil::text_char(text.get(), i);
        if (c == '/') {
            if (slash >= 0) return false;
            slash = i;
        } else if (c <= ' ' || c >= 0x7f || std::strchr("()<>@,;:\\\"[]?=", static_cast<int>(c))) {
            return false;
        }
    }
    return slash > 0 && slash < size - 1;
}

}  // namespace

DORVANE_FUNCTION(screen) {
    Ref path = to_ustream(args[0]);
    if (system_is(Id::linux_name)) {
        // One shell word whatever the text: a quote inside closes the quoted
        // run, adds an escaped quote and reopens it.
        path = to_ustream(format(Id::quoted, replace(path, Id::quote, Id::quote_escaped)));
    } else if (system_is(Id::windows_name)) {
        path = quoted_for_windows(text_of(path));
    }
    return to_ustream(path);
}

DORVANE_FUNCTION(appdir) {
    Ref pid = call(module_function(Id::os, Id::getpid));
    Ref digits = owned_or_raise(PyObject_Str(pid.get()));
    // 2.7's str is bytes, read in the console's encoding; 3.x's is the text.
    Ref pid_text = pyutil::kPython3 ? digits : call(attr(digits, Id::decode), global(Id::__console__));
    Ref result;
    if (system_is(Id::linux_name)) {
        Ref realpath = os_path_function(Id::realpath);
        result = call(realpath, format(Id::proc_exe, pid_text));
    } else if (system_is(Id::windows_name)) {
        // The directory of the running executable, links resolved.
        Ref dirname = os_path_function(Id::dirname);
        Ref realpath = os_path_function(Id::realpath);
        Ref executable = module_function(Id::sys, Id::executable);
        result = call(dirname, call(realpath, executable));
    }
    Ref ustream = global(Id::ustream);
    if (!result) raise_unbound_local("result");
    return call(ustream, result);
}

DORVANE_FUNCTION(magic) {
    Ref path = to_ustream(args[0]);
    require_existing(path);
    Ref options = to_ustream(Ref::borrow(
        constant(truth(args[1]) ? Id::mime_options_z : Id::mime_options)));

    Ref file_exe, directory, payload_paths[kPayloadCount];
    const bool on_linux = system_is(Id::linux_name);
    const bool windows = !on_linux && system_is(Id::windows_name);
    if (on_linux) {
        file_exe = to_ustream(Ref::borrow(constant(Id::file_program)));
    } else if (windows) {
        directory = call(global(Id::tmpdir));
        for (int i = 0; i < kPayloadCount; ++i) {
            payload_paths[i] = call(global(Id::join), directory, kPayloads[i].file_name);
        }
        for (int i = 0; i < kPayloadCount; ++i) {
            write_payload(payload_paths[i], kPayloads[i].attribute);
        }
        file_exe = payload_paths[kFileExe];
        Ref database = to_ustream(
            format(Id::database_option, call(global(Id::screen), payload_paths[kMimeLib])));
        options = owned_or_raise(PyNumber_InPlaceAdd(options.get(), database.get()));
    }

    Ref pstream = global(Id::pstream);
    if (!file_exe) raise_unbound_local("file_exe");
    // A name starting with "-" would be read by `file` as an option.
    Ref shown = path;
    Ref text = text_of(path);
    if (truth(call(attr(text, Id::startswith), Id::dash))) {
        shown = to_ustream(owned_or_raise(PyNumber_Add(constant(Id::dot_slash), text.get())));
    }
    Ref program = call(global(Id::screen), file_exe);
    Ref target = call(global(Id::screen), shown);
    Ref command = owned_or_raise(PyList_New(0));
    append(command, program);
    append(command, options);
    append(command, target);
    Ref process = call(pstream, command);

    Ref ustream = global(Id::ustream);
    Ref result = call(ustream, call(attr(process, Id::execute)));
    result = call(attr(result, Id::remove), Id::cr);
    result = call(attr(result, Id::remove), Id::lf);

    if (windows) {  // only what this call wrote
        for (const Ref& written : payload_paths) call(global(Id::remove), written);
        call(global(Id::rmdir), directory);
    }
    Ref answer = to_ustream(result);
    Ref answer_text = text_of(answer);
    if (!is_mime_type(answer_text)) {
        // Status 1 is what `file -E` exits with for the same complaint.
        Ref status = owned_or_raise(pyutil::int_from(1));
        raise(call(global(Id::StreamError), status, answer_text));
    }
    return answer;
}

}  // namespace dorvane
