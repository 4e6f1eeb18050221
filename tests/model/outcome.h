// What a call should do: return, or throw exactly this type with this text.
// The models state their answers this way, and the C++ tests and the fuzz
// targets hold each call against one.
#pragma once

#include <exception>
#include <string>
#include <typeinfo>
#include <utility>

namespace quarnel::model {

struct Outcome {
    const std::type_info* type = nullptr;  // null: it returns
    std::string message;

    static Outcome ok() { return {}; }
    template <typename E>
    static Outcome error(std::string message) {
        return {&typeid(E), std::move(message)};
    }
    bool succeeds() const { return type == nullptr; }
    std::string text() const { return type ? std::string(type->name()) + " \"" + message + "\"" : "success"; }
    // The same type exactly, not a base or a subclass, and the same text.
    bool operator==(const Outcome& other) const {
        const bool same_type = type == other.type || (type && other.type && *type == *other.type);
        return same_type && message == other.message;
    }
};

// What calling f did.
template <typename F>
Outcome outcome_of(F&& f) {
    try {
        std::forward<F>(f)();
    } catch (const std::exception& e) {
        return {&typeid(e), e.what()};
    }
    return Outcome::ok();
}

}  // namespace quarnel::model
