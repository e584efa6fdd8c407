#pragma once
// Errors are values inside the core: a fallible operation returns Result<T>,
// whose error's text is the message the caller finally sees. Only broken
// invariants (Panic) travel as C++ exceptions, and only the module boundary
// turns either into a Python exception.
#include <stdexcept>
#include <string>
#include <utility>
#include <variant>

namespace velkin {

struct Error {
    std::string message;
};

// An internal fault; the module boundary raises it as PanicException.
struct Panic : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// E is Error unless a caller needs the failure's parts (e.g. a reader error's position).
template <class T, class E = Error>
class Result {
public:
    Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}
    Result(E error) : state_(std::in_place_index<1>, std::move(error)) {}

    bool ok() const { return state_.index() == 0; }
    explicit operator bool() const { return ok(); }

    T& value() & { return std::get<0>(state_); }
    const T& value() const& { return std::get<0>(state_); }
    T&& value() && { return std::get<0>(std::move(state_)); }
    const E& error() const { return std::get<1>(state_); }
    E&& take_error() { return std::get<1>(std::move(state_)); }

private:
    std::variant<T, E> state_;
};

}  // namespace velkin
