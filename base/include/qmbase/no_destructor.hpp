// A process-wide object that is built on first use and never destroyed: worker threads, exit
// handlers and callbacks still running at exit may use it after static destructors have run.
//     static NoDestructor<Registry> registry;  // built once, thread-safely
//     registry->add(...);
#pragma once

#include <new>
#include <utility>

namespace qm {

template <typename T>
class NoDestructor {
public:
    template <typename... Args>
    explicit NoDestructor(Args&&... args) {
        new (storage_) T(std::forward<Args>(args)...);
    }
    NoDestructor(const NoDestructor&) = delete;
    NoDestructor& operator=(const NoDestructor&) = delete;
    ~NoDestructor() = default;  // the object is left alive on purpose

    T& operator*() noexcept { return *get(); }
    const T& operator*() const noexcept { return *get(); }
    T* operator->() noexcept { return get(); }
    const T* operator->() const noexcept { return get(); }
    T* get() noexcept { return std::launder(reinterpret_cast<T*>(storage_)); }
    const T* get() const noexcept { return std::launder(reinterpret_cast<const T*>(storage_)); }

private:
    alignas(T) unsigned char storage_[sizeof(T)];
};

}  // namespace qm
