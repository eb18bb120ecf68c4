// Result type of every fallible step: std::expected where the standard library
// offers it (g++ in C++23 mode), otherwise a small stand-in with the same surface,
// so that the sources also build with clang 14 for the fuzz targets.
#pragma once

#include <utility>

#if __has_include(<expected>)
#include <expected>
#endif

#if defined(__cpp_lib_expected)

namespace velk {
template <class T, class E>
using Expected = std::expected<T, E>;
template <class E>
using Unexpected = std::unexpected<E>;
}  // namespace velk

#else

#include <cassert>
#include <type_traits>
#include <variant>

namespace velk {

template <class E>
class Unexpected {
public:
    explicit Unexpected(E e) : error_(std::move(e)) {}
    E& error() & { return error_; }
    const E& error() const& { return error_; }
    E&& error() && { return std::move(error_); }

private:
    E error_;
};

template <class E>
Unexpected(E) -> Unexpected<E>;

template <class T, class E>
class Expected {
public:
    using value_type = T;
    using error_type = E;

    Expected() requires std::is_default_constructible_v<T> : v_(std::in_place_index<0>) {}
    template <class U = T>
        requires std::is_constructible_v<T, U&&> &&
                 (!std::is_same_v<std::remove_cvref_t<U>, Expected>) &&
                 (!std::is_same_v<std::remove_cvref_t<U>, Unexpected<E>>)
    Expected(U&& u) : v_(std::in_place_index<0>, std::forward<U>(u)) {}
    template <class G>
    Expected(const Unexpected<G>& u) : v_(std::in_place_index<1>, u.error()) {}
    template <class G>
    Expected(Unexpected<G>&& u) : v_(std::in_place_index<1>, std::move(u).error()) {}

    bool has_value() const { return v_.index() == 0; }
    explicit operator bool() const { return has_value(); }

    T& value() & { return std::get<0>(v_); }
    const T& value() const& { return std::get<0>(v_); }
    T&& value() && { return std::get<0>(std::move(v_)); }
    T& operator*() & { return std::get<0>(v_); }
    const T& operator*() const& { return std::get<0>(v_); }
    T&& operator*() && { return std::get<0>(std::move(v_)); }
    T* operator->() { return &std::get<0>(v_); }
    const T* operator->() const { return &std::get<0>(v_); }

    E& error() & { return std::get<1>(v_); }
    const E& error() const& { return std::get<1>(v_); }
    E&& error() && { return std::get<1>(std::move(v_)); }

private:
    std::variant<T, E> v_;
};

template <class E>
class Expected<void, E> {
public:
    using value_type = void;
    using error_type = E;

    Expected() = default;
    template <class G>
    Expected(const Unexpected<G>& u) : err_(u.error()), ok_(false) {}
    template <class G>
    Expected(Unexpected<G>&& u) : err_(std::move(u).error()), ok_(false) {}

    bool has_value() const { return ok_; }
    explicit operator bool() const { return ok_; }
    void value() const { assert(ok_); }
    void operator*() const {}

    E& error() & { return err_; }
    const E& error() const& { return err_; }
    E&& error() && { return std::move(err_); }

private:
    E err_{};
    bool ok_ = true;
};

}  // namespace velk

#endif
