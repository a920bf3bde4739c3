#include "python/persist.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <exception>
#include <string>

#include "python/convert.hpp"
#include "python/fault.hpp"

namespace tessra::py {
namespace {

// Runs pure C++ work with the interpreter lock released; exceptions come back
// out with the lock held again.
template <typename Work>
void without_gil(Work&& work) {
    std::exception_ptr error;
    Py_BEGIN_ALLOW_THREADS
    try {
        work();
    } catch (...) {
        error = std::current_exception();
    }
    Py_END_ALLOW_THREADS
    if (error) std::rethrow_exception(error);
}

// Runs `work`, turning a format error into ValueError and a failed system
// call into OSError naming `path` (may be null). False with the error set.
template <typename Work>
bool translated(PyObject* path, Work&& work) {
    try {
        work();
        return true;
    } catch (const io::FormatError& error) {
        PyErr_SetString(PyExc_ValueError, error.what());
    } catch (const io::SystemError& error) {
        errno = error.error_number;
        if (path != nullptr) PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path);
        else PyErr_SetFromErrno(PyExc_OSError);
    }
    return false;
}

// The path argument as file-system bytes; false with TypeError "argument 'path': ..." on failure.
bool path_bytes(PyObject* path, std::string& out) {
    PyObject* converted = nullptr;
    if (!PyUnicode_FSConverter(path, &converted)) {
        label_argument_error("path");
        return false;
    }
    Ref bytes(converted);
    out.assign(PyBytes_AS_STRING(converted), static_cast<std::size_t>(PyBytes_GET_SIZE(converted)));
    if (out.find('\0') != std::string::npos) {
        PyErr_SetString(PyExc_ValueError, "embedded null byte");
        return false;
    }
    return true;
}

class Descriptor {
public:
    explicit Descriptor(int fd) : fd_(fd) {}
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    ~Descriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    int get() const { return fd_; }
    // Closes now, reporting the error a delayed write may surface only here.
    void close() {
        const int fd = fd_;
        fd_ = -1;
        if (::close(fd) != 0 && errno != EINTR) throw io::SystemError(errno, "close");
    }

private:
    int fd_;
};

// Removes the temporary file unless the save went through.
class TemporaryFile {
public:
    explicit TemporaryFile(std::string path) : path_(std::move(path)) {}
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;
    ~TemporaryFile() {
        if (!kept_) ::unlink(path_.c_str());
    }
    const std::string& path() const { return path_; }
    void keep() { kept_ = true; }

private:
    std::string path_;
    bool kept_ = false;
};

std::atomic<std::uint64_t> temporary_counter{0};

// "<dir>/.tsr-<16 hex digits>.tmp": short whatever the target's name (a name
// the file system takes must stay saveable), in the target's directory (the
// rename stays within one file system), created exclusively so no other file
// is reused.
int create_temporary(const std::string& target, std::string& path) {
    const std::size_t slash = target.rfind('/');
    const std::string dir = slash == std::string::npos ? std::string() : target.substr(0, slash + 1);
    const auto stamp = static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
    for (int attempt = 0;; ++attempt) {
        // Process, time and a per-process count, mixed so that neighbouring values differ in every digit.
        std::uint64_t z = (static_cast<std::uint64_t>(::getpid()) << 40) ^ stamp ^
                          (temporary_counter.fetch_add(1) * 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        z ^= z >> 31;
        char name[32];
        std::snprintf(name, sizeof name, ".tsr-%016llx.tmp", static_cast<unsigned long long>(z));
        path = dir + name;
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0) return fd;
        if (errno != EEXIST || attempt == 100) throw io::SystemError(errno, "open");
    }
}

// Makes the rename itself durable; file systems that cannot sync a directory are left as they are.
void sync_directory(const std::string& target) {
    const std::size_t slash = target.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : target.substr(0, slash);
    const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    (void)::fsync(fd);
    ::close(fd);
}

// The file a save replaces: `path` itself, or, when it is a symbolic link,
// the file the link names, link after link (a relative link is taken from the
// link's own directory; the file need not exist yet). Saving through a link
// so updates the linked file and leaves the link in place.
std::string resolve_links(const std::string& path) {
    constexpr int kMaxLinks = 40;  // as the kernel follows at most
    std::string current = path;
    for (int links = 0;; ++links) {
        struct stat info;
        // Anything but a link (or nothing there) ends the walk; open and rename report the rest.
        if (::lstat(current.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) return current;
        if (links == kMaxLinks) throw io::SystemError(ELOOP, "readlink");
        std::string link(static_cast<std::size_t>(info.st_size > 0 ? info.st_size : 256), '\0');
        for (;;) {
            const ssize_t n = ::readlink(current.c_str(), link.data(), link.size());
            if (n < 0) throw io::SystemError(errno, "readlink");
            if (static_cast<std::size_t>(n) < link.size()) {
                link.resize(static_cast<std::size_t>(n));
                break;
            }
            link.resize(link.size() * 2);  // the link changed underfoot or reports no size
        }
        const std::size_t slash = current.rfind('/');
        if (!link.empty() && link[0] != '/' && slash != std::string::npos) link = current.substr(0, slash + 1) + link;
        current = std::move(link);
    }
}

void save_atomically(const std::string& path, const WriteIndex& write) {
    const std::string target = resolve_links(path);
    std::string temporary_path;
    Descriptor file(create_temporary(target, temporary_path));
    TemporaryFile temporary(temporary_path);
    // A replaced file keeps its permission bits, so a private index stays private.
    struct stat existing;
    if (::stat(target.c_str(), &existing) == 0 && S_ISREG(existing.st_mode) &&
        ::fchmod(file.get(), existing.st_mode & 07777) != 0)
        throw io::SystemError(errno, "fchmod");
    {
        io::FdSink sink(file.get());
        write(sink);
        sink.flush();
    }
    if (::fsync(file.get()) != 0) throw io::SystemError(errno, "fsync");
    file.close();
    if (::rename(temporary.path().c_str(), target.c_str()) != 0) throw io::SystemError(errno, "rename");
    temporary.keep();
    sync_directory(target);
}

// ---------------------------------------------------------------- the pickle loader

// Calls its target (a class's _from_bytes); pickles as that method's name.
struct Loader {
    PyObject_HEAD
    PyObject* target;  // bound classmethod, owned
    PyObject* name;    // "tessra:PyFlat._from_bytes", owned
};

PyTypeObject* loader_type();

void loader_dealloc(PyObject* obj) {
    auto* self = reinterpret_cast<Loader*>(obj);
    PyTypeObject* type = Py_TYPE(obj);
    Py_XDECREF(self->target);
    Py_XDECREF(self->name);
    type->tp_free(obj);
    Py_DECREF(type);
}

// The type cannot be instantiated from Python, so every loader comes from
// reduce_to_loader with both fields set; the methods check them all the same,
// as they may be called unbound on another object.
Loader* filled_loader(PyObject* obj) {
    if (Py_TYPE(obj) != loader_type() || reinterpret_cast<Loader*>(obj)->target == nullptr ||
        reinterpret_cast<Loader*>(obj)->name == nullptr) {
        PyErr_SetString(PyExc_TypeError, "index loader without a target");
        return nullptr;
    }
    return reinterpret_cast<Loader*>(obj);
}

PyObject* loader_call(PyObject* obj, PyObject* args, PyObject* kwargs) {
    Loader* self = filled_loader(obj);
    return self == nullptr ? nullptr : PyObject_Call(self->target, args, kwargs);
}

PyObject* loader_reduce(PyObject* obj, PyObject*) {
    Loader* self = filled_loader(obj);
    if (self == nullptr) return nullptr;
    Ref pkgutil(PyImport_ImportModule("pkgutil"));
    if (!pkgutil) return nullptr;
    Ref resolve(PyObject_GetAttrString(pkgutil.get(), "resolve_name"));
    if (!resolve) return nullptr;
    return Py_BuildValue("(O(O))", resolve.get(), self->name);
}

PyMethodDef loader_methods[] = {
    {"__reduce__", loader_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyTypeObject* loader_type() {
    static PyTypeObject* type = nullptr;  // created once, under the interpreter lock
    if (type == nullptr) {
        PyType_Slot slots[] = {
            {Py_tp_dealloc, reinterpret_cast<void*>(loader_dealloc)},
            {Py_tp_call, reinterpret_cast<void*>(loader_call)},
            {Py_tp_methods, loader_methods},
            {0, nullptr},
        };
        // Not instantiable from Python: an instance is only ever made, filled, by reduce_to_loader.
        PyType_Spec spec = {"tessra._IndexLoader", static_cast<int>(sizeof(Loader)), 0,
                            Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, slots};
        type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
    }
    return type;
}

}  // namespace

PyObject* save_to_path(PyObject* path, const WriteIndex& write) {
    std::string target;
    if (!path_bytes(path, target)) return nullptr;
    if (!translated(path, [&] { without_gil([&] { save_atomically(target, write); }); })) return nullptr;
    Py_RETURN_NONE;
}

bool load_from_path(PyObject* path, const ReadIndex& read) {
    std::string source_path;
    if (!path_bytes(path, source_path)) return false;
    return translated(path, [&] {
        without_gil([&] {
            // Non-blocking, so a FIFO cannot stall the open; regular files ignore the flag.
            const int fd = ::open(source_path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
            if (fd < 0) throw io::SystemError(errno, "open");
            Descriptor file(fd);
            io::FdSource source(file.get());
            read(source);
        });
    });
}

PyObject* write_to_bytes(std::uint64_t size, const WriteIndex& write) {
    if (size > static_cast<std::uint64_t>(PY_SSIZE_T_MAX)) return PyErr_NoMemory();
    Ref bytes(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size)));
    if (!bytes) return nullptr;
    io::MemorySink sink(PyBytes_AS_STRING(bytes.get()), static_cast<std::size_t>(size));
    without_gil([&] { write(sink); });
    if (sink.written() != size) TESSRA_FAULT("Index serialization fell short of its planned size");
    return bytes.release();
}

bool load_from_buffer(PyObject* data, const ReadIndex& read) {
    Py_buffer view;
    if (PyObject_GetBuffer(data, &view, PyBUF_SIMPLE) != 0) return false;
    struct Release {
        Py_buffer* view;
        ~Release() { PyBuffer_Release(view); }
    } release{&view};
    return translated(nullptr, [&] {
        without_gil([&] {
            io::MemorySource source(view.buf, static_cast<std::size_t>(view.len));
            read(source);
        });
    });
}

PyObject* reduce_to_loader(PyTypeObject* cls, const char* class_name, PyObject* data) {
    PyTypeObject* type = loader_type();
    if (type == nullptr) return nullptr;
    Ref target(PyObject_GetAttrString(reinterpret_cast<PyObject*>(cls), "_from_bytes"));
    if (!target) return nullptr;
    Ref name(PyUnicode_FromFormat("tessra:%s._from_bytes", class_name));
    if (!name) return nullptr;
    Ref loader(PyType_GenericAlloc(type, 0));
    if (!loader) return nullptr;
    auto* self = reinterpret_cast<Loader*>(loader.get());
    self->target = target.release();
    self->name = name.release();
    return Py_BuildValue("(O(O))", loader.get(), data);
}

}  // namespace tessra::py
