// Module assembly and the single translation of C++ failures into Python.

#include "common.h"

#include <new>
#include <string>
#include <system_error>

#include "ondrel/codecs/codec.h"

namespace ondrel {

PyObject* StreamError = nullptr;

namespace {

// Codec messages are plain ASCII sentences; replace anything else rather
// than fail while reporting a failure.
[[noreturn]] void raise_codec_error(const codecs::CodecError& error, const ErrorContext& context) {
    const std::string message = error.what();
    Ref text = owned_or_raise(PyUnicode_DecodeUTF8(message.data(), message.size(), "replace"));
    if (context.filename) {
        Ref name = owned_or_raise(pyutil::to_text(context.filename.get()));
        Ref prefix = owned_or_raise(PyUnicode_FromString(": "));
        Ref head = owned_or_raise(PyUnicode_Concat(name.get(), prefix.get()));
        text = owned_or_raise(PyUnicode_Concat(head.get(), text.get()));
    }
    Ref value = owned_or_raise(Py_BuildValue("(iO)", kCorruptData, text.get()));
    raise_error(StreamError, value.get());
}

[[noreturn]] void raise_system_error(const std::system_error& error, const ErrorContext& context) {
    const int code = error.code().value();
    const std::string message = error.code().message();
    if (context.filename) {
        // An exact unicode: EnvironmentError prints the repr of the name.
        Ref name = PyUnicode_Check(context.filename.get())
                       ? plain_unicode(context.filename.get())
                       : context.filename;
        Ref value = owned_or_raise(Py_BuildValue("(isO)", code, message.c_str(), name.get()));
        raise_error(context.os_error, value.get());
    }
    Ref value = owned_or_raise(Py_BuildValue("(is)", code, message.c_str()));
    raise_error(context.os_error, value.get());
}

}  // namespace

void set_error_from_current(const ErrorContext& context) noexcept {
    // Building the exception can itself fail (no memory); then whatever that
    // step raised stands, which is the best that can be reported.
    try {
        try {
            throw;
        } catch (const PythonError&) {
        } catch (const codecs::OutOfMemory&) {
            PyErr_NoMemory();
        } catch (const codecs::CodecError& error) {
            raise_codec_error(error, context);
        } catch (const std::system_error& error) {
            raise_system_error(error, context);
        } catch (const std::bad_alloc&) {
            PyErr_NoMemory();
        } catch (const std::exception& error) {
            PyErr_SetString(PyExc_SystemError, error.what());
        }
    } catch (const PythonError&) {
    } catch (...) {
        PyErr_NoMemory();
    }
}

}  // namespace ondrel

namespace {

const char module_doc[] =
    "Streams over text, bytes, files and commands.\n"
    "\n"
    PYUTIL_PYTHON3_OR_2("ustream  str paths and text, also made from file-system bytes\n",
                        "ustream  unicode paths and text that mix freely with file-system str\n")
    "bstream  " PYUTIL_BYTES " with base64 and zlib transforms\n"
    "fstream  a file read or written whole, optionally through a compression filter\n"
    "pstream  a shell command whose output is collected\n"
    "\n"
    "Failures of the streams themselves raise StreamError (an EnvironmentError):\n"
    "errno 5 for data a codec rejects, 6 for an unknown filter name, and a\n"
    "command's exit status for a failed pstream. A codec short of memory raises\n"
    "MemoryError.";

}  // namespace

PYUTIL_MODULE_INIT(ondrel) {
    using namespace ondrel;
    PyObject* module = pyutil::create_module("ondrel", module_doc);
    if (module == nullptr) PYUTIL_INIT_RETURN(module);
    const int status = guard([&] {
        raise_if_negative(PyModule_AddStringConstant(module, "__version__", "0.1"));
        StreamError = owned_or_raise(PyErr_NewException(const_cast<char*>("ondrel.StreamError"),
                                               PyExc_EnvironmentError, nullptr))
                          .release();  // kept for the life of the process
        Py_INCREF(StreamError);
        raise_if_negative(PyModule_AddObject(module, "StreamError", StreamError));
        add_ustream(module);
        add_bstream(module);
        add_fstream(module);
        add_pstream(module);
        // A codec waiting on its workers checks for Ctrl-C as File does
        // between chunks.
        codecs::set_wait_hook(check_interrupt);
        return 0;
    });
    if (status < 0) Py_CLEAR(module);
    PYUTIL_INIT_RETURN(module);
}
