#pragma once
// Small text helpers of the INI reader, the debug log and the protocol-string parser:
// ASCII white-space trimming and letter case, strict decimal numbers (optional sign,
// digits only, no overflow of the target type), and file paths held as UTF-8 text.

#include <cstdint>
#include <filesystem>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>

namespace qz121032::text {

constexpr bool is_ascii_space(char c) noexcept {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

constexpr std::string_view trim_ascii(std::string_view s) noexcept {
    while (!s.empty() && is_ascii_space(s.front())) {
        s.remove_prefix(1);
    }
    while (!s.empty() && is_ascii_space(s.back())) {
        s.remove_suffix(1);
    }
    return s;
}

constexpr char to_upper_ascii(char c) noexcept {
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

constexpr bool equals_ignore_case(std::string_view a, std::string_view b) noexcept {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (to_upper_ascii(a[i]) != to_upper_ascii(b[i])) {
            return false;
        }
    }
    return true;
}

// A decimal integer of type T: an optional "+" (and "-" when T is signed), then one or
// more ASCII digits, nothing else. Values outside T are rejected, not wrapped.
template <class T>
constexpr std::optional<T> parse_decimal(std::string_view s) noexcept {
    static_assert(std::is_integral_v<T> && !std::is_same_v<T, bool>);
    bool negative = false;
    if (!s.empty() && (s.front() == '+' || (std::is_signed_v<T> && s.front() == '-'))) {
        negative = s.front() == '-';
        s.remove_prefix(1);
    }
    if (s.empty()) {
        return std::nullopt;
    }
    // Largest magnitude allowed: max() for positive values, max() + 1 for negative ones.
    const std::uint64_t limit =
        static_cast<std::uint64_t>(std::numeric_limits<T>::max()) + (negative ? 1u : 0u);
    std::uint64_t magnitude = 0;
    for (char c : s) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        const auto digit = static_cast<std::uint64_t>(c - '0');
        if (magnitude > (limit - digit) / 10) {
            return std::nullopt;
        }
        magnitude = magnitude * 10 + digit;
    }
    if (negative) {
        // Two's complement: -(magnitude) computed without signed overflow.
        return static_cast<T>(static_cast<T>(-static_cast<std::int64_t>(magnitude - 1)) - 1);
    }
    return static_cast<T>(magnitude);
}

// File paths are UTF-8 text throughout, as the INI file is. On Windows the path is
// converted for the wide-character file API; text that is not valid UTF-8 there throws
// std::filesystem::filesystem_error.
inline std::filesystem::path path_from_utf8(std::string_view s) {
    return std::filesystem::path(std::u8string(s.begin(), s.end()));
}
inline std::string utf8_from_path(const std::filesystem::path& p) {
    const std::u8string u = p.u8string();
    return std::string(u.begin(), u.end());
}

}  // namespace qz121032::text
