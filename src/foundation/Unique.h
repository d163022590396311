// One owner for an object of a C library (OpenSSL's, the platform's own
// handles): std::unique_ptr with the library's free function as deleter,
// so every room spells it the same way, e.g.
//   foundation::Unique<EVP_PKEY, EVP_PKEY_free> key(EVP_PKEY_new());
#pragma once

#include <cstdio>
#include <memory>

namespace foundation {

template <auto Free>
struct FreeWith {
  template <class T>
  void operator()(T* p) const {
    Free(p);
  }
};

template <class T, auto Free>
using Unique = std::unique_ptr<T, FreeWith<Free>>;

// A stream from fopen, closed when its owner goes.
inline void CloseFile(std::FILE* file) { std::fclose(file); }
using UniqueFile = Unique<std::FILE, CloseFile>;

}  // namespace foundation
