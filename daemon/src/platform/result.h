// Platform seam: what every layer may use. Results, not exceptions: a value or
// one error, never both and never neither.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>

namespace kavo {

namespace result_detail {

// Reading the alternative a Result does not hold is a bug in the caller. It
// ends the process on every build, Release included, rather than reading
// garbage or throwing through code that expects no exceptions.
[[noreturn]] inline void misuse(const char* what) noexcept {
    std::fputs(what, stderr);
    std::fputc('\n', stderr);
    std::fflush(stderr);
    std::abort();
}

inline constexpr const char* VALUE_OF_FAILURE = "Result: value() of a failed result";
inline constexpr const char* ERROR_OF_SUCCESS = "Result: error() of a successful result";

}  // namespace result_detail

// Carries an error into a Result; built by fail().
template <class E>
struct Failure {
    E error;
};

inline Failure<std::string> fail(std::string message) {
    return {std::move(message)};
}
inline Failure<std::string> fail(const char* message) {
    return {std::string(message)};
}
template <class E>
Failure<std::decay_t<E>> fail(E&& error) requires(!std::is_convertible_v<E, std::string>) {
    return {std::forward<E>(error)};
}

// The success of a Result<void>, spelled out so that it is never implied.
struct Success {};
// A message constant and the text that follows it: "Failed to ...: " and
// what failed.
inline std::string with_text(std::string_view message, std::string_view text) {
    std::string line(message);
    line.append(text);
    return line;
}

inline Success ok() {
    return {};
}

template <class T, class E = std::string>
class [[nodiscard]] Result {
  public:
    Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}
    template <class F>
    Result(Failure<F> failure) : state_(std::in_place_index<1>, std::move(failure.error)) {}

    bool has_value() const { return state_.index() == 0; }
    explicit operator bool() const { return has_value(); }

    T& value() & {
        check_value();
        return *std::get_if<0>(&state_);
    }
    const T& value() const& {
        check_value();
        return *std::get_if<0>(&state_);
    }
    T&& value() && {
        check_value();
        return std::move(*std::get_if<0>(&state_));
    }
    T* operator->() { return &value(); }
    const T* operator->() const { return &value(); }
    T& operator*() & { return value(); }
    const T& operator*() const& { return value(); }

    const E& error() const& {
        check_error();
        return *std::get_if<1>(&state_);
    }
    E&& error() && {
        check_error();
        return std::move(*std::get_if<1>(&state_));
    }

  private:
    void check_value() const {
        if (state_.index() != 0) {
            result_detail::misuse(result_detail::VALUE_OF_FAILURE);
        }
    }
    void check_error() const {
        if (state_.index() != 1) {
            result_detail::misuse(result_detail::ERROR_OF_SUCCESS);
        }
    }

    std::variant<T, E> state_;
};

template <class E>
class [[nodiscard]] Result<void, E> {
  public:
    Result(Success) : failed_(false) {}
    template <class F>
    Result(Failure<F> failure) : failed_(true), error_(std::move(failure.error)) {}

    bool has_value() const { return !failed_; }
    explicit operator bool() const { return has_value(); }

    const E& error() const& {
        if (!failed_) {
            result_detail::misuse(result_detail::ERROR_OF_SUCCESS);
        }
        return error_;
    }
    E&& error() && {
        if (!failed_) {
            result_detail::misuse(result_detail::ERROR_OF_SUCCESS);
        }
        return std::move(error_);
    }

  private:
    bool failed_;
    E error_{};
};

}  // namespace kavo

// Propagation. Each evaluates a Result once; on failure the enclosing function
// returns its error, otherwise the value is moved into the declaration:
//
//     KAVO_TRY(auto staged, stage_runtime(source, lease_id));
//     KAVO_TRY_OK(protect_service_tree(path));
//
// The KAVO_CO_ forms do the same with co_return inside a coroutine.
#define KAVO_RESULT_CONCAT_INNER(a, b) a##b
#define KAVO_RESULT_CONCAT(a, b) KAVO_RESULT_CONCAT_INNER(a, b)
#define KAVO_RESULT_TEMP KAVO_RESULT_CONCAT(kavo_result_, __LINE__)

#define KAVO_TRY(declaration, expression)                         \
    auto KAVO_RESULT_TEMP = (expression);                         \
    if (!KAVO_RESULT_TEMP) {                                      \
        return ::kavo::fail(std::move(KAVO_RESULT_TEMP).error()); \
    }                                                             \
    declaration = std::move(KAVO_RESULT_TEMP).value()

#define KAVO_TRY_OK(expression)                                     \
    do {                                                            \
        auto kavo_result_ok = (expression);                         \
        if (!kavo_result_ok) {                                      \
            return ::kavo::fail(std::move(kavo_result_ok).error()); \
        }                                                           \
    } while (false)

#define KAVO_CO_TRY(declaration, expression)                         \
    auto KAVO_RESULT_TEMP = (expression);                            \
    if (!KAVO_RESULT_TEMP) {                                         \
        co_return ::kavo::fail(std::move(KAVO_RESULT_TEMP).error()); \
    }                                                                \
    declaration = std::move(KAVO_RESULT_TEMP).value()

#define KAVO_CO_TRY_OK(expression)                                     \
    do {                                                               \
        auto kavo_result_ok = (expression);                            \
        if (!kavo_result_ok) {                                         \
            co_return ::kavo::fail(std::move(kavo_result_ok).error()); \
        }                                                              \
    } while (false)
