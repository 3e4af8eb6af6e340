#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <string_view>

namespace corvantile::python {

// A string literal usable as a template argument: forward<"sin">.
template <std::size_t N>
struct FixedString {
    char text[N]{};

    constexpr FixedString(const char (&s)[N]) noexcept { std::copy_n(s, N, text); }
    constexpr std::string_view view() const noexcept { return {text, N - 1}; }
    constexpr const char* c_str() const noexcept { return text; }
};

// The name NumPy is called with: the native name without trailing underscores.
template <FixedString Name>
struct NumpyName {
    static constexpr std::size_t length = [] {
        std::size_t n = Name.view().size();
        while (n > 0 && Name.view()[n - 1] == '_') --n;
        return n;
    }();
    static constexpr auto text = [] {
        std::array<char, length + 1> t{};
        std::copy_n(Name.text, length, t.data());
        return t;
    }();
    static constexpr std::string_view view() noexcept { return {text.data(), length}; }
    static constexpr const char* c_str() noexcept { return text.data(); }
};

}  // namespace corvantile::python
