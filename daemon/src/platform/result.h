// Platform seam: what every layer may use. Results, not exceptions: a value or
// one error, never both and never neither.
#pragma once

#include <cassert>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>

namespace kavo {

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
        assert(has_value());
        return std::get<0>(state_);
    }
    const T& value() const& {
        assert(has_value());
        return std::get<0>(state_);
    }
    T&& value() && {
        assert(has_value());
        return std::get<0>(std::move(state_));
    }
    T* operator->() { return &value(); }
    const T* operator->() const { return &value(); }
    T& operator*() & { return value(); }
    const T& operator*() const& { return value(); }

    const E& error() const& {
        assert(!has_value());
        return std::get<1>(state_);
    }
    E&& error() && {
        assert(!has_value());
        return std::get<1>(std::move(state_));
    }

  private:
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
        assert(failed_);
        return error_;
    }
    E&& error() && {
        assert(failed_);
        return std::move(error_);
    }

  private:
    bool failed_;
    E error_{};
};

}  // namespace kavo
