#pragma once

#include <type_traits>
#include <utility>
#include <variant>

namespace tarvo {

// Result of an operation with no value of its own.
struct Ok {};

template <typename E>
class Unexpected {
public:
    explicit Unexpected(E error) : error_(std::move(error)) {}
    E& error() & noexcept { return error_; }
    E&& error() && noexcept { return std::move(error_); }

private:
    E error_;
};

template <typename E>
Unexpected(E) -> Unexpected<E>;

// A value or an error, with the member names of C++23's std::expected.
template <typename T, typename E>
class [[nodiscard]] Expected {
public:
    Expected() requires std::is_default_constructible_v<T> : v_(std::in_place_index<0>) {}
    Expected(T value) : v_(std::in_place_index<0>, std::move(value)) {}  // NOLINT: implicit by design
    template <typename G>
    Expected(Unexpected<G> u)  // NOLINT: implicit by design
        : v_(std::in_place_index<1>, E(std::move(u).error())) {}

    bool has_value() const noexcept { return v_.index() == 0; }
    explicit operator bool() const noexcept { return has_value(); }

    T& value() & { return std::get<0>(v_); }
    const T& value() const& { return std::get<0>(v_); }
    T&& value() && { return std::get<0>(std::move(v_)); }
    E& error() & { return std::get<1>(v_); }
    const E& error() const& { return std::get<1>(v_); }
    E&& error() && { return std::get<1>(std::move(v_)); }

    T& operator*() & { return value(); }
    const T& operator*() const& { return value(); }
    T* operator->() { return &value(); }
    const T* operator->() const { return &value(); }

private:
    std::variant<T, E> v_;
};

}  // namespace tarvo
