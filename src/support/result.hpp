// Errors as values. Every fallible operation of the core returns a Result;
// the Python layer turns an Error into the exception its kind names.
#pragma once

#include <cassert>
#include <cstdint>
#include <new>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>

namespace vorka {

enum class ErrorKind : uint8_t {
    Value,     // ValueError
    Type,      // TypeError
    Runtime,   // RuntimeError
    Index,     // IndexError
    Memory,    // MemoryError
    Panic,     // a broken internal invariant: PanicException
};

struct Error {
    ErrorKind kind;
    std::string message;

    static Error value(std::string m) { return {ErrorKind::Value, std::move(m)}; }
    static Error type(std::string m) { return {ErrorKind::Type, std::move(m)}; }
    static Error runtime(std::string m) { return {ErrorKind::Runtime, std::move(m)}; }
    static Error index(std::string m) { return {ErrorKind::Index, std::move(m)}; }
    static Error memory(std::string m = "out of memory") { return {ErrorKind::Memory, std::move(m)}; }
    static Error panic(std::string m) { return {ErrorKind::Panic, std::move(m)}; }
};

// Result<T>: either a T or an Error. Result<void> carries only success or an Error.
template <class T>
class [[nodiscard]] Result {
  public:
    Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}
    Result(Error error) : v_(std::in_place_index<1>, std::move(error)) {}

    bool ok() const noexcept { return v_.index() == 0; }
    explicit operator bool() const noexcept { return ok(); }

    T& value() & { assert(ok()); return *std::get_if<0>(&v_); }
    const T& value() const& { assert(ok()); return *std::get_if<0>(&v_); }
    T&& value() && { assert(ok()); return std::move(*std::get_if<0>(&v_)); }
    T& operator*() & { return value(); }
    T&& operator*() && { return std::move(*this).value(); }
    T* operator->() { return &value(); }
    const T* operator->() const { return &value(); }

    Error& error() & { assert(!ok()); return *std::get_if<1>(&v_); }
    const Error& error() const& { assert(!ok()); return *std::get_if<1>(&v_); }
    Error&& error() && { assert(!ok()); return std::move(*std::get_if<1>(&v_)); }

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
    Error& error() & { assert(failed_); return err_; }
    const Error& error() const& { assert(failed_); return err_; }
    Error&& error() && { assert(failed_); return std::move(err_); }

  private:
    Error err_{};
    bool failed_ = false;
};

using Status = Result<void>;

}  // namespace vorka

// Propagate the error of a Result expression, or bind its value.
#define VORKA_CONCAT_(a, b) a##b
#define VORKA_CONCAT(a, b) VORKA_CONCAT_(a, b)
#define VORKA_TRY_IMPL_(tmp, decl, expr)            \
    auto tmp = (expr);                              \
    if (!tmp.ok()) return std::move(tmp).error();   \
    decl = std::move(tmp).value()
#define VORKA_TRY(decl, expr) VORKA_TRY_IMPL_(VORKA_CONCAT(vorka_try_, __LINE__), decl, expr)
#define VORKA_CHECK(expr)                                                 \
    do {                                                                  \
        auto vorka_chk_ = (expr);                                         \
        if (!vorka_chk_.ok()) return std::move(vorka_chk_).error();       \
    } while (0)
