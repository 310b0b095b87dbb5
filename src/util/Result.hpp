// A value or the error that prevented it: how the token, signing and cipher code "raise" their
// error enumerations without exceptions, so nothing can escape to the host by accident.
//
//   Result<JSONWebToken, JSONWebTokenError> parsed = JSONWebToken::parse(text);
//   if (!parsed) log(parsed.error().description());
//
// A plain value type; thread-safety is that of T and E.
#pragma once

#include <utility>
#include <variant>

namespace velquor::detail {

template <typename T, typename E> class Result {
public:
    Result(T value)
        : storage_(std::in_place_index<0>, std::move(value)) {}
    Result(E error)
        : storage_(std::in_place_index<1>, std::move(error)) {}

    bool ok() const noexcept { return storage_.index() == 0; }
    explicit operator bool() const noexcept { return ok(); }

    // Only when ok().
    T& value() & { return std::get<0>(storage_); }
    const T& value() const& { return std::get<0>(storage_); }
    T&& value() && { return std::get<0>(std::move(storage_)); }
    T* operator->() { return &value(); }
    const T* operator->() const { return &value(); }

    // Only when !ok().
    const E& error() const& { return std::get<1>(storage_); }

private:
    std::variant<T, E> storage_;
};

} // namespace velquor::detail
