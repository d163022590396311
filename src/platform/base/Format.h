// printf-style formatting with the C run-time's secure-call contracts. The
// arguments keep their C++ types, so a conversion that does not suit its
// argument prints "?" instead of reading the wrong thing off a va_list.
//
// Format strings are written as for the Microsoft run-time (%ws/%S/%hs/%ls
// and so on); since each argument knows whether it is wide or narrow (UTF-8)
// text, %s and its variants print either kind, converted to the output's
// width. A null text prints "(null)". Without a length modifier an integer
// prints at its own width (at least 32 bits), so %x of a negative int gives
// its 32-bit two's complement. %n is refused.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>

#include "platform/base/WinTypes.h"

inline constexpr std::size_t _TRUNCATE = static_cast<std::size_t>(-1);

namespace platform_format {

enum class ArgKind : std::uint8_t { Signed, Unsigned, Double, NarrowText, WideText, Pointer };

// One argument, type-erased. Texts are borrowed for the length of the call.
struct FormatArg {
  ArgKind kind;
  std::uint8_t bits;  // integer width in bits
  bool isChar;        // a character type (char, char8_t, char16_t, char32_t)
  std::int64_t i;
  std::uint64_t u;
  double d;
  const void* p;
  std::size_t length;  // text length in code units; npos = up to the terminator
};

// The engine. Returns false for a malformed format (unknown conversion,
// dangling '%', %n); the output then holds whatever was produced so far.
bool FormatInto(std::u16string& out, LPCWSTR format, const FormatArg* args, std::size_t count);
bool FormatInto(std::string& out, LPCSTR format, const FormatArg* args, std::size_t count);

// Buffer contracts of _snwprintf_s/_snprintf_s; swprintf_s passes
// count == cch (no truncation allowed).
int FormatToBuffer(LPWSTR buffer, std::size_t cch, std::size_t count, LPCWSTR format,
                   const FormatArg* args, std::size_t n);
int FormatToBuffer(LPSTR buffer, std::size_t cch, std::size_t count, LPCSTR format,
                   const FormatArg* args, std::size_t n);

template <typename T>
inline constexpr bool kAlwaysFalse = false;

template <typename T>
FormatArg MakeArg(const T& value) {
  using U = std::remove_cv_t<T>;
  FormatArg a{};
  a.length = std::string_view::npos;
  if constexpr (std::is_array_v<U>) {
    return MakeArg(static_cast<const std::remove_extent_t<U>*>(value));
  } else if constexpr (std::is_same_v<U, wchar_t> ||
                       std::is_same_v<std::remove_cv_t<std::remove_pointer_t<U>>, wchar_t>) {
    static_assert(kAlwaysFalse<T>, "wide text is char16_t here, never wchar_t");
  } else if constexpr (std::is_same_v<U, bool>) {
    a.kind = ArgKind::Signed;
    a.bits = 32;
    a.i = value ? 1 : 0;
    a.u = static_cast<std::uint64_t>(a.i);
  } else if constexpr (std::is_enum_v<U>) {
    return MakeArg(static_cast<std::underlying_type_t<U>>(value));
  } else if constexpr (std::is_integral_v<U>) {
    a.isChar = std::is_same_v<U, char> || std::is_same_v<U, char8_t> ||
               std::is_same_v<U, char16_t> || std::is_same_v<U, char32_t>;
    a.bits = static_cast<std::uint8_t>(sizeof(U) * 8);
    if constexpr (std::is_signed_v<U>) {
      a.kind = ArgKind::Signed;
      a.i = static_cast<std::int64_t>(value);
      a.u = static_cast<std::uint64_t>(a.i);
    } else {
      a.kind = ArgKind::Unsigned;
      a.u = static_cast<std::uint64_t>(value);
      a.i = static_cast<std::int64_t>(a.u);
    }
  } else if constexpr (std::is_floating_point_v<U>) {
    a.kind = ArgKind::Double;
    a.d = static_cast<double>(value);
  } else if constexpr (std::is_same_v<U, std::nullptr_t>) {
    a.kind = ArgKind::Pointer;
    a.p = nullptr;
  } else if constexpr (std::is_same_v<U, char*> || std::is_same_v<U, const char*> ||
                       std::is_same_v<U, char8_t*> || std::is_same_v<U, const char8_t*>) {
    a.kind = ArgKind::NarrowText;
    a.p = value;
  } else if constexpr (std::is_same_v<U, char16_t*> || std::is_same_v<U, const char16_t*>) {
    a.kind = ArgKind::WideText;
    a.p = value;
  } else if constexpr (std::is_convertible_v<const U&, std::string_view>) {
    const std::string_view v(value);
    a.kind = ArgKind::NarrowText;
    a.p = v.data();
    a.length = v.size();
  } else if constexpr (std::is_convertible_v<const U&, std::u16string_view>) {
    const std::u16string_view v(value);
    a.kind = ArgKind::WideText;
    a.p = v.data();
    a.length = v.size();
  } else if constexpr (std::is_pointer_v<U>) {
    a.kind = ArgKind::Pointer;
    a.p = static_cast<const void*>(value);
  } else {
    static_assert(kAlwaysFalse<T>, "type cannot be formatted");
  }
  return a;
}

}  // namespace platform_format

// ---- wide ------------------------------------------------------------------

// Writes the whole result or nothing: when it does not fit, buffer becomes ""
// and -1 is returned. Otherwise returns the characters written.
template <typename... Args>
int swprintf_s(LPWSTR buffer, std::size_t cch, LPCWSTR format, const Args&... args) {
  const platform_format::FormatArg list[] = {platform_format::MakeArg(args)..., {}};
  return platform_format::FormatToBuffer(buffer, cch, cch, format, list, sizeof...(Args));
}
template <std::size_t N, typename... Args>
int swprintf_s(WCHAR (&buffer)[N], LPCWSTR format, const Args&... args) {
  return swprintf_s(static_cast<LPWSTR>(buffer), N, format, args...);
}

// Writes at most count characters (or, with count == _TRUNCATE, as many as
// fit), always terminated; returns -1 when the result was cut.
template <typename... Args>
int _snwprintf_s(LPWSTR buffer, std::size_t cch, std::size_t count, LPCWSTR format,
                 const Args&... args) {
  const platform_format::FormatArg list[] = {platform_format::MakeArg(args)..., {}};
  return platform_format::FormatToBuffer(buffer, cch, count, format, list, sizeof...(Args));
}
template <std::size_t N, typename... Args>
int _snwprintf_s(WCHAR (&buffer)[N], std::size_t count, LPCWSTR format, const Args&... args) {
  return _snwprintf_s(static_cast<LPWSTR>(buffer), N, count, format, args...);
}

// The formatted text; empty when the format is malformed.
template <typename... Args>
std::u16string FormatW(LPCWSTR format, const Args&... args) {
  const platform_format::FormatArg list[] = {platform_format::MakeArg(args)..., {}};
  std::u16string out;
  if (!platform_format::FormatInto(out, format, list, sizeof...(Args))) out.clear();
  return out;
}

// ---- narrow ----------------------------------------------------------------

template <typename... Args>
int sprintf_s(LPSTR buffer, std::size_t cch, LPCSTR format, const Args&... args) {
  const platform_format::FormatArg list[] = {platform_format::MakeArg(args)..., {}};
  return platform_format::FormatToBuffer(buffer, cch, cch, format, list, sizeof...(Args));
}
template <std::size_t N, typename... Args>
int sprintf_s(char (&buffer)[N], LPCSTR format, const Args&... args) {
  return sprintf_s(static_cast<LPSTR>(buffer), N, format, args...);
}

template <typename... Args>
int _snprintf_s(LPSTR buffer, std::size_t cch, std::size_t count, LPCSTR format,
                const Args&... args) {
  const platform_format::FormatArg list[] = {platform_format::MakeArg(args)..., {}};
  return platform_format::FormatToBuffer(buffer, cch, count, format, list, sizeof...(Args));
}
template <std::size_t N, typename... Args>
int _snprintf_s(char (&buffer)[N], std::size_t count, LPCSTR format, const Args&... args) {
  return _snprintf_s(static_cast<LPSTR>(buffer), N, count, format, args...);
}

template <typename... Args>
std::string FormatA(LPCSTR format, const Args&... args) {
  const platform_format::FormatArg list[] = {platform_format::MakeArg(args)..., {}};
  std::string out;
  if (!platform_format::FormatInto(out, format, list, sizeof...(Args))) out.clear();
  return out;
}
