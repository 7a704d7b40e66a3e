#pragma once
// Refusals of values that a settings file can give, in the library's own
// words. The constructor that refuses a value knows the key but not where it
// came from; the factory building the instance adds that, so every such
// message names the key, the instance and the settings file.

#include <exception>
#include <string>

#include "format.hpp"

namespace background::detail {

class Refusal {
public:
    virtual ~Refusal() = default;
    // The plain standard exception with `where` added to the message.
    virtual std::exception_ptr in(const std::string& where) const = 0;
};

// An exception of the standard type E that the factory completes. Callers
// outside a factory see an E with the bare message.
template <class E>
class Refused : public E, public Refusal {
public:
    explicit Refused(const std::string& message) : E(message), message(message) {}

    std::exception_ptr in(const std::string& where) const override {
        return std::make_exception_ptr(E(format("{} ({})", message, where)));
    }

private:
    // E's own what() may decorate the text (std::ios_base::failure does).
    std::string message;
};

}  // namespace background::detail
