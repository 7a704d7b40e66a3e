#pragma once

#include <functional>
#include <map>
#include <memory>
#include <stdexcept>
#include <typeinfo>
#include <utility>

#include "background/export.h"

namespace background {

// Process-wide registry of callbacks by int id, so that objects built far
// apart can meet through an id taken from the settings. Not thread-safe.
class BACKGROUND_EXPORT Hook {
public:
    virtual ~Hook() = default;

    template <class F>
    class Impl;

    // Owns one registration by id; removes whatever is registered under that
    // id when destroyed or assigned over.
    class Handle {
    public:
        explicit Handle(int id) noexcept : id(id) {}
        Handle(const Handle&) = delete;
        Handle& operator=(const Handle&) = delete;
        Handle(Handle&& other) noexcept : id(std::exchange(other.id, 0)) {}
        Handle& operator=(Handle&& other) noexcept {
            Hook::remove(id);
            id = std::exchange(other.id, 0);
            return *this;
        }
        ~Handle() { Hook::remove(id); }

        // Detaches the handle: the registration stays until removed by id.
        void leak() noexcept { id = 0; }

    private:
        int id;
    };

    template <class F>
    static Handle set(int id, F f);

    template <class F>
    static F& get(int id);

    static void remove(int id) noexcept;

    static std::map<int, std::unique_ptr<Hook>> hooks;
};

template <class F>
class BACKGROUND_EXPORT Hook::Impl : public Hook {
public:
    explicit Impl(F f) : callable(std::move(f)) {}
    F callable;
};

template <class F>
Hook::Handle Hook::set(int id, F f) {
    if (id == 0) throw std::invalid_argument("ID 0 is invalid!");
    if (hooks.contains(id)) throw std::invalid_argument("ID is already registered!");
    hooks.emplace(id, std::make_unique<Impl<F>>(std::move(f)));
    return Handle(id);
}

template <class F>
F& Hook::get(int id) {
    return dynamic_cast<Impl<F>&>(*hooks.at(id)).callable;
}

}  // namespace background
