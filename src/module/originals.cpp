#include "src/module/originals.h"

#include <vector>

#include "src/module/state.h"

namespace dorvane {

namespace {

// `where[key] is value` for a namespace; for a function (key null), that
// its code is still `value`: assigning __code__ rewrites a function in place.
struct Binding {
    PyObject* where;
    PyObject* key;
    PyObject* value;

    bool holds() const {
        if (!key) return PyFunction_GET_CODE(where) == value;
        return pyutil::dict_item(where, key) == value;
    }
};

// The os.path functions with a fast path, and os.listdir.
constexpr Id kRecorded[] = {Id::exists, Id::lexists, Id::isfile, Id::isdir,   Id::islink,
                            Id::getsize, Id::abspath, Id::join,  Id::listdir};

std::vector<Binding> g_chains[static_cast<int>(Id::count_)];

class Recorder {
public:
    explicit Recorder(std::vector<Binding>& out) : out_(out) {}

    void add(PyObject* where, PyObject* key, PyObject* value) {
        for (const Binding& b : out_)
            if (b.where == where && b.key == key) return;
        // Kept for the life of the process, as the module itself is.
        Py_INCREF(where);
        Py_XINCREF(key);
        Py_INCREF(value);
        out_.push_back({where, key, value});
    }

    void function(PyObject* f, Here at) {
        if (!PyFunction_Check(f)) return;
        for (PyObject* seen : functions_)
            if (seen == f) return;
        functions_.push_back(f);
        add(f, nullptr, PyFunction_GET_CODE(f));
        read_names(PyFunction_GET_CODE(f), PyFunction_GET_GLOBALS(f), at);
    }

private:
    // What the code reads by name: globals, and attributes of the modules
    // among them; nested code (comprehensions) reads the same globals.
    void read_names(PyObject* code, PyObject* globals, Here at) {
        Ref names = owned_or_raise(PyObject_GetAttrString(code, "co_names"), at);
        Ref consts = owned_or_raise(PyObject_GetAttrString(code, "co_consts"), at);
        std::vector<PyObject*> modules, called;
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(names.get()); ++i) {
            PyObject* name = PyTuple_GET_ITEM(names.get(), i);
            PyObject* value = pyutil::dict_item(globals, name);
            if (!value) continue;
            add(globals, name, value);
            if (PyModule_Check(value)) modules.push_back(value);
            called.push_back(value);
        }
        for (PyObject* module : modules) {
            PyObject* dict = PyModule_GetDict(module);
            for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(names.get()); ++i) {
                PyObject* name = PyTuple_GET_ITEM(names.get(), i);
                PyObject* value = pyutil::dict_item(dict, name);
                if (!value) continue;
                add(dict, name, value);
                called.push_back(value);
            }
        }
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(consts.get()); ++i) {
            PyObject* c = PyTuple_GET_ITEM(consts.get(), i);
            if (PyCode_Check(c)) read_names(c, globals, at);
        }
        for (PyObject* f : called) function(f, at);
    }

    std::vector<Binding>& out_;
    std::vector<PyObject*> functions_;
};

void forget(std::vector<Binding>& chain) {
    for (const Binding& b : chain) {
        Py_DECREF(b.where);
        Py_XDECREF(b.key);
        Py_DECREF(b.value);
    }
    chain.clear();
}

}  // namespace

void capture_originals(Here at) {
    PyObject* module_dict = PyModule_GetDict(state().module);
    PyObject* os = pyutil::dict_item(module_dict, constant(Id::os));
    for (std::vector<Binding>& chain : g_chains) forget(chain);
    if (!os || !PyModule_Check(os)) return;
    PyObject* os_dict = PyModule_GetDict(os);
    PyObject* os_path = pyutil::dict_item(os_dict, constant(Id::path));
    if (!os_path || !PyModule_Check(os_path)) return;
    for (Id name : kRecorded) {
        PyObject* home = name == Id::listdir ? os_dict : PyModule_GetDict(os_path);
        PyObject* function = pyutil::dict_item(home, constant(name));
        if (!function) continue;
        std::vector<Binding>& chain = g_chains[static_cast<int>(name)];
        Recorder record(chain);
        record.add(module_dict, constant(Id::os), os);
        record.add(os_dict, constant(Id::path), os_path);
        record.add(home, constant(name), function);
        record.function(function, at);
    }
}

bool standard_intact(Id name) {
    const std::vector<Binding>& chain = g_chains[static_cast<int>(name)];
    if (chain.empty()) return false;
    for (const Binding& b : chain)
        if (!b.holds()) return false;
    return true;
}

}  // namespace dorvane
