// A shared library loaded at run time and closed when the object goes. The
// two ways to open one are the two the program needs: a library of its own by
// full path (never through a search that a planted copy could win), and a
// library of the operating system by file name.
#pragma once
#include <string>

namespace tarvex {

class DynamicLibrary {
public:
    DynamicLibrary() = default;
    DynamicLibrary(const DynamicLibrary&) = delete;
    DynamicLibrary& operator=(const DynamicLibrary&) = delete;
    DynamicLibrary(DynamicLibrary&& other) noexcept : handle_(other.handle_) { other.handle_ = nullptr; }
    DynamicLibrary& operator=(DynamicLibrary&& other) noexcept
    {
        if (this != &other) {
            close();
            handle_ = other.handle_;
            other.handle_ = nullptr;
        }
        return *this;
    }
    ~DynamicLibrary() { close(); }

    // The library at `path`, which must be a full path (Linux: names a
    // folder; Windows: drive-letter or UNC path); anything else opens
    // nothing. On Windows its own dependencies are looked up beside it.
    static DynamicLibrary openFullPath(const std::string& path);
    // A library of the operating system by file name: on Windows from the
    // system folder only, on Linux through the loader's usual search.
    static DynamicLibrary openSystem(const char* fileName);

    bool isOpen() const { return handle_ != nullptr; }
    // The address of the export `name`; null when missing or nothing is open.
    void* symbol(const char* name) const;
    // Binds the export `name` as a function of type F; false when missing.
    template <typename F> bool bind(const char* name, F& out) const
    {
        out = reinterpret_cast<F>(symbol(name));
        return out != nullptr;
    }

private:
    explicit DynamicLibrary(void* handle) : handle_(handle) { }
    void close();

    void* handle_ = nullptr;
};

} // namespace tarvex
