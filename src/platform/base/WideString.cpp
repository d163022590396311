#include "platform/base/WideString.h"

#include <cerrno>
#include <cstring>

#include "platform/base/LastError.h"

namespace {

constexpr char32_t kReplacement = 0xFFFD;
constexpr std::size_t kTruncate = static_cast<std::size_t>(-1);
constexpr int kStruncate = 80;  // the run-time's STRUNCATE

WCHAR FoldAscii(WCHAR c) { return (c >= u'A' && c <= u'Z') ? static_cast<WCHAR>(c + 32) : c; }

int Sign(int v) { return (v > 0) - (v < 0); }

LPCWSTR OrEmpty(LPCWSTR s) { return s ? s : u""; }

void AppendUtf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

void AppendUtf16(std::u16string& out, char32_t cp) {
  if (cp < 0x10000) {
    out.push_back(static_cast<char16_t>(cp));
  } else {
    cp -= 0x10000;
    out.push_back(static_cast<char16_t>(0xD800 | (cp >> 10)));
    out.push_back(static_cast<char16_t>(0xDC00 | (cp & 0x3FF)));
  }
}

std::string Utf16ToUtf8(std::u16string_view in, bool& invalid) {
  std::string out;
  out.reserve(in.size() * 3);
  for (std::size_t i = 0; i < in.size(); ++i) {
    const char16_t c = in[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < in.size() && in[i + 1] >= 0xDC00 &&
        in[i + 1] <= 0xDFFF) {
      AppendUtf8(out, 0x10000 + ((static_cast<char32_t>(c) - 0xD800) << 10) + (in[i + 1] - 0xDC00));
      ++i;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      invalid = true;
      AppendUtf8(out, kReplacement);
    } else {
      AppendUtf8(out, c);
    }
  }
  return out;
}

// Each maximal ill-formed subsequence becomes one U+FFFD, the way the
// Unicode standard recommends and current Windows does.
std::u16string Utf8ToUtf16(std::string_view in, bool& invalid) {
  std::u16string out;
  out.reserve(in.size());
  std::size_t i = 0;
  while (i < in.size()) {
    const auto b0 = static_cast<unsigned char>(in[i]);
    if (b0 < 0x80) {
      out.push_back(b0);
      ++i;
      continue;
    }
    std::size_t need = 0;
    char32_t cp = 0;
    unsigned char lo = 0x80, hi = 0xBF;
    if (b0 >= 0xC2 && b0 <= 0xDF) {
      need = 1;
      cp = b0 & 0x1F;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
      need = 2;
      cp = b0 & 0x0F;
      if (b0 == 0xE0) lo = 0xA0;
      if (b0 == 0xED) hi = 0x9F;  // no encoded surrogates
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
      need = 3;
      cp = b0 & 0x07;
      if (b0 == 0xF0) lo = 0x90;
      if (b0 == 0xF4) hi = 0x8F;
    } else {
      invalid = true;
      out.push_back(static_cast<char16_t>(kReplacement));
      ++i;
      continue;
    }
    std::size_t j = i + 1;
    bool ok = true;
    for (std::size_t k = 0; k < need; ++k, ++j) {
      if (j >= in.size()) {
        ok = false;
        break;
      }
      const auto b = static_cast<unsigned char>(in[j]);
      const unsigned char min = k == 0 ? lo : 0x80;
      const unsigned char max = k == 0 ? hi : 0xBF;
      if (b < min || b > max) {
        ok = false;
        break;
      }
      cp = (cp << 6) | (b & 0x3F);
    }
    if (ok) {
      AppendUtf16(out, cp);
    } else {
      invalid = true;
      out.push_back(static_cast<char16_t>(kReplacement));
    }
    i = j;
  }
  return out;
}

bool SupportedCodePage(UINT codePage) { return codePage == CP_UTF8 || codePage == CP_ACP; }

// Shared tail of both conversions: size query, room check, copy.
template <typename Out, typename Converted>
int Deliver(const Converted& converted, Out* dest, int destSize) {
  if (converted.size() > static_cast<std::size_t>(INT32_MAX)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  const int needed = static_cast<int>(converted.size());
  if (destSize == 0) return needed;
  if (needed > destSize) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  std::memcpy(dest, converted.data(), converted.size() * sizeof(Out));
  return needed;
}

}  // namespace

std::size_t wcslen(LPCWSTR s) {
  if (!s) return 0;
  std::size_t n = 0;
  while (s[n]) ++n;
  return n;
}

int wcscmp(LPCWSTR a, LPCWSTR b) {
  a = OrEmpty(a);
  b = OrEmpty(b);
  while (*a && *a == *b) ++a, ++b;
  return Sign(static_cast<int>(*a) - static_cast<int>(*b));
}

int _wcsicmp(LPCWSTR a, LPCWSTR b) { return _wcsnicmp(a, b, kTruncate); }

int _wcsnicmp(LPCWSTR a, LPCWSTR b, std::size_t count) {
  a = OrEmpty(a);
  b = OrEmpty(b);
  for (std::size_t i = 0; i < count; ++i) {
    const WCHAR x = FoldAscii(a[i]);
    const WCHAR y = FoldAscii(b[i]);
    if (x != y || x == 0) return Sign(static_cast<int>(x) - static_cast<int>(y));
  }
  return 0;
}

int wcscpy_s(LPWSTR dest, std::size_t destChars, LPCWSTR src) {
  if (!dest || destChars == 0) return EINVAL;
  if (!src) {
    dest[0] = 0;
    return EINVAL;
  }
  const std::size_t n = wcslen(src);
  if (n >= destChars) {
    dest[0] = 0;
    return ERANGE;
  }
  std::memmove(dest, src, (n + 1) * sizeof(WCHAR));
  return 0;
}

int wcscat_s(LPWSTR dest, std::size_t destChars, LPCWSTR src) {
  if (!dest || destChars == 0) return EINVAL;
  if (!src) {
    dest[0] = 0;
    return EINVAL;
  }
  std::size_t used = 0;
  while (used < destChars && dest[used]) ++used;
  if (used == destChars) {  // destination was never terminated
    dest[0] = 0;
    return EINVAL;
  }
  const std::size_t n = wcslen(src);
  if (n >= destChars - used) {
    dest[0] = 0;
    return ERANGE;
  }
  std::memmove(dest + used, src, (n + 1) * sizeof(WCHAR));
  return 0;
}

int wcsncpy_s(LPWSTR dest, std::size_t destChars, LPCWSTR src, std::size_t count) {
  if (!dest || destChars == 0) return EINVAL;
  if (!src) {
    dest[0] = 0;
    return count == 0 ? 0 : EINVAL;
  }
  std::size_t n = 0;
  while (n < count && src[n]) ++n;
  if (n >= destChars) {
    if (count != kTruncate) {
      dest[0] = 0;
      return ERANGE;
    }
    std::memmove(dest, src, (destChars - 1) * sizeof(WCHAR));
    dest[destChars - 1] = 0;
    return kStruncate;
  }
  std::memmove(dest, src, n * sizeof(WCHAR));
  dest[n] = 0;
  return 0;
}

LPCWSTR wcschr(LPCWSTR s, WCHAR c) {
  if (!s) return nullptr;
  for (;; ++s) {
    if (*s == c) return s;
    if (!*s) return nullptr;
  }
}

LPCWSTR wcsrchr(LPCWSTR s, WCHAR c) {
  if (!s) return nullptr;
  LPCWSTR found = nullptr;
  for (;; ++s) {
    if (*s == c) found = s;
    if (!*s) return found;
  }
}

LPCWSTR wcsstr(LPCWSTR text, LPCWSTR pattern) {
  if (!text || !pattern) return nullptr;
  const std::u16string_view hay(text);
  const std::size_t at = hay.find(pattern);
  return at == std::u16string_view::npos ? nullptr : text + at;
}

// Folds ASCII letters only; other characters must match exactly.
LPCWSTR StrStrIW(LPCWSTR text, LPCWSTR pattern) {
  if (!text || !pattern || !*pattern) return nullptr;
  const std::size_t n = wcslen(pattern);
  for (LPCWSTR p = text; *p; ++p)
    if (_wcsnicmp(p, pattern, n) == 0) return p;
  return nullptr;
}

int WideCharToMultiByte(UINT codePage, DWORD dwFlags, LPCWSTR src, int cchSrc, LPSTR dest,
                        int cbDest, LPCSTR defaultChar, BOOL* usedDefaultChar) {
  if (!SupportedCodePage(codePage) || !src || cchSrc == 0 || cchSrc < -1 || cbDest < 0 ||
      (cbDest > 0 && !dest) || defaultChar || usedDefaultChar) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  if ((dwFlags & ~WC_ERR_INVALID_CHARS) != 0) {
    SetLastError(ERROR_INVALID_FLAGS);
    return 0;
  }
  const std::size_t n = cchSrc == -1 ? wcslen(src) + 1 : static_cast<std::size_t>(cchSrc);
  bool invalid = false;
  const std::string converted = Utf16ToUtf8({src, n}, invalid);
  if (invalid && (dwFlags & WC_ERR_INVALID_CHARS)) {
    SetLastError(ERROR_NO_UNICODE_TRANSLATION);
    return 0;
  }
  return Deliver(converted, dest, cbDest);
}

int MultiByteToWideChar(UINT codePage, DWORD dwFlags, LPCSTR src, int cbSrc, LPWSTR dest,
                        int cchDest) {
  if (!SupportedCodePage(codePage) || !src || cbSrc == 0 || cbSrc < -1 || cchDest < 0 ||
      (cchDest > 0 && !dest)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  if ((dwFlags & ~MB_ERR_INVALID_CHARS) != 0) {
    SetLastError(ERROR_INVALID_FLAGS);
    return 0;
  }
  const std::size_t n = cbSrc == -1 ? std::strlen(src) + 1 : static_cast<std::size_t>(cbSrc);
  bool invalid = false;
  const std::u16string converted = Utf8ToUtf16({src, n}, invalid);
  if (invalid && (dwFlags & MB_ERR_INVALID_CHARS)) {
    SetLastError(ERROR_NO_UNICODE_TRANSLATION);
    return 0;
  }
  return Deliver(converted, dest, cchDest);
}

std::string ToUtf8(std::u16string_view text) {
  bool invalid = false;
  return Utf16ToUtf8(text, invalid);
}

std::u16string FromUtf8(std::string_view text) {
  bool invalid = false;
  return Utf8ToUtf16(text, invalid);
}
