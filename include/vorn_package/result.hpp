// vorn_package/result.hpp
//
// `Result<T, E>`: either a value or an error, with the member names of C++23's std::expected so
// that moving to it later is a one-line alias.
//
//     Result<ProfileReport, ReadError> read = read_profile_json(text);
//     if (!read) { report(read.error()); } else { use(*read); }
#pragma once

#include <utility>
#include <variant>

namespace vorn_package {

/// Wraps an error so that `Result` can be built from it unambiguously.
template <class E>
struct Unexpected {
    E error;
};

template <class T, class E>
class Result {
public:
    Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}  // NOLINT
    Result(Unexpected<E> error)
        : state_(std::in_place_index<1>, std::move(error.error)) {}  // NOLINT

    [[nodiscard]] bool has_value() const { return state_.index() == 0; }
    explicit operator bool() const { return has_value(); }

    T& value() & { return std::get<0>(state_); }
    const T& value() const& { return std::get<0>(state_); }
    T&& value() && { return std::get<0>(std::move(state_)); }
    const E& error() const { return std::get<1>(state_); }

    T& operator*() & { return value(); }
    const T& operator*() const& { return value(); }
    T&& operator*() && { return std::move(*this).value(); }
    T* operator->() { return &value(); }
    const T* operator->() const { return &value(); }

private:
    std::variant<T, E> state_;
};

}  // namespace vorn_package
