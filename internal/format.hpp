#pragma once
// Messages are built with std::format semantics. This compiler has no
// <format>, so the fmt library stands in; the one difference that matters is
// a double under a bare "{}", which std::format prints in the shortest
// round-trip form ("1e+05") where fmt prints "100000". Doubles are therefore
// routed through std::to_chars when their spec is empty. With a standard
// library that has <format>, this header reduces to `using std::format;`.

#include <algorithm>
#include <charconv>
#include <string>
#include <type_traits>
#include <utility>

#include <fmt/format.h>

namespace background::detail {

struct ShortestDouble {
    double value;
};

template <class T>
constexpr decltype(auto) adapt(const T& value) {
    if constexpr (std::is_same_v<T, double>)
        return ShortestDouble{value};
    else
        return (value);
}

template <class T>
using adapted_t = std::remove_cvref_t<decltype(adapt(std::declval<const std::remove_cvref_t<T>&>()))>;

}  // namespace background::detail

template <>
struct fmt::formatter<background::detail::ShortestDouble> : fmt::formatter<double> {
    bool shortest = false;

    constexpr auto parse(fmt::format_parse_context& ctx) {
        shortest = ctx.begin() == ctx.end() || *ctx.begin() == '}';
        return fmt::formatter<double>::parse(ctx);
    }

    template <class Context>
    auto format(background::detail::ShortestDouble d, Context& ctx) const {
        if (!shortest) return fmt::formatter<double>::format(d.value, ctx);
        char buffer[32];
        auto end = std::to_chars(buffer, buffer + sizeof buffer, d.value).ptr;
        return std::copy(buffer, end, ctx.out());
    }
};

namespace background {

template <class... Args>
std::string format(fmt::format_string<detail::adapted_t<Args>...> text, Args&&... args) {
    return [&](const auto&... adapted) {
        return fmt::vformat(static_cast<fmt::string_view>(text), fmt::make_format_args(adapted...));
    }(detail::adapt(args)...);
}

}  // namespace background
