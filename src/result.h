// Errors as values: the core never throws across its own boundaries.
//
// `Result<T>` holds either a value or an `Error` (a message text). Only the
// Python layer turns an `Error` into an exception; background threads print
// it as one line on standard error. `Status` is `Result<void>`.
#pragma once

#include <string>
#include <utility>
#include <variant>

namespace ravo {

// What went wrong, as the text the user will read. `kind` lets the Python
// layer pick the exception type without parsing the text.
struct Error {
    enum class Kind { Config, State, Memory, System };
    Kind kind = Kind::State;
    std::string message;

    static Error config(std::string m) { return {Kind::Config, std::move(m)}; }
    static Error state(std::string m) { return {Kind::State, std::move(m)}; }
    static Error memory(std::string m) { return {Kind::Memory, std::move(m)}; }
    static Error system(std::string m) { return {Kind::System, std::move(m)}; }
};

template <typename T>
class [[nodiscard]] Result {
public:
    Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}
    Result(Error error) : v_(std::in_place_index<1>, std::move(error)) {}

    bool ok() const noexcept { return v_.index() == 0; }
    explicit operator bool() const noexcept { return ok(); }

    T& value() & { return std::get<0>(v_); }
    T&& value() && { return std::get<0>(std::move(v_)); }
    const T& value() const& { return std::get<0>(v_); }
    const Error& error() const& { return std::get<1>(v_); }
    Error&& error() && { return std::get<1>(std::move(v_)); }

    T* operator->() { return &value(); }
    T& operator*() & { return value(); }

private:
    std::variant<T, Error> v_;
};

template <>
class [[nodiscard]] Result<void> {
public:
    Result() = default;
    Result(Error error) : err_(std::move(error)), failed_(true) {}

    bool ok() const noexcept { return !failed_; }
    explicit operator bool() const noexcept { return ok(); }
    const Error& error() const& { return err_; }
    Error&& error() && { return std::move(err_); }

private:
    Error err_;
    bool failed_ = false;
};

using Status = Result<void>;

}  // namespace ravo
