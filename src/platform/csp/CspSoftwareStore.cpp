// The on-disk key store of the software providers. Folders are 0700 and
// files 0600 whatever the umask, because they hold private keys; files are
// replaced by rename so a reader never sees half a key.
#include <fcntl.h>
#include <openssl/rand.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <system_error>

#include "platform/csp/CspInternal.h"
#include "platform/base/LastError.h"
#include "platform/fs/StateFolders.h"
#include "platform/base/LastErrorResult.h"

namespace fs = std::filesystem;

namespace platform::csp::detail {

namespace {

// Folder names are hex of the UTF-8 name, so the name's bytes are limited
// to half of NAME_MAX.
constexpr std::size_t kMaxContainerBytes = 127;

class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }
  int Close() {
    int rc = ::close(fd_);
    fd_ = -1;
    return rc;
  }

 private:
  int fd_;
};

const char* KeyFile(DWORD keySpec) {
  return keySpec == AT_SIGNATURE ? "signature.key" : "exchange.key";
}
const char* CertFile(DWORD keySpec) {
  return keySpec == AT_SIGNATURE ? "signature.cer" : "exchange.cer";
}

std::string HexName(std::string_view name) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  out.reserve(name.size() * 2);
  for (unsigned char c : name) {
    out.push_back(kDigits[c >> 4]);
    out.push_back(kDigits[c & 0x0F]);
  }
  return out;
}

std::optional<std::string> NameFromHex(std::string_view hex) {
  if (hex.empty() || hex.size() % 2 != 0) return std::nullopt;
  auto digit = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
  };
  std::string out;
  for (std::size_t i = 0; i < hex.size(); i += 2) {
    int high = digit(hex[i]);
    int low = digit(hex[i + 1]);
    if (high < 0 || low < 0) return std::nullopt;
    out.push_back(static_cast<char>(high << 4 | low));
  }
  return out;
}

fs::path StoreFolder(const KeyAlgorithm& algorithm) {
  fs::path root = UserStateRoot();
  if (root.empty()) return {};
  return root / "keys" / algorithm.store;
}

HRESULT ContainerFolder(const KeyAlgorithm& algorithm, std::string_view container, fs::path* out) {
  if (container.empty() || container.size() > kMaxContainerBytes) return NTE_BAD_KEYSET_PARAM;
  fs::path store = StoreFolder(algorithm);
  if (store.empty()) return HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND);
  *out = store / HexName(container);
  return S_OK;
}

bool IsFolder(const fs::path& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// mkdir with an exact mode; EEXIST is left for the caller to judge.
int MakePrivateFolder(const fs::path& path) {
  if (::mkdir(path.c_str(), 0700) != 0) return errno;
  if (::chmod(path.c_str(), 0700) != 0) return errno;
  return 0;
}

HRESULT EnsureStoreFolder(const KeyAlgorithm& algorithm) {
  fs::path store = StoreFolder(algorithm);
  if (store.empty()) return HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND);
  std::error_code ec;
  fs::create_directories(store.parent_path().parent_path(), ec);
  if (ec) return ResultFromErrno(ec.value());
  for (const fs::path& folder : {store.parent_path(), store}) {
    int err = MakePrivateFolder(folder);
    if (err != 0 && err != EEXIST) return ResultFromErrno(err);
  }
  return S_OK;
}

HRESULT WriteFileAtomically(const fs::path& folder, const char* name, std::span<const BYTE> bytes) {
  unsigned char random[8];
  if (RAND_bytes(random, sizeof random) != 1) return NTE_FAIL;
  fs::path temp = folder / ("." + std::string(name) + ".tmp-" +
                            HexName({reinterpret_cast<const char*>(random), sizeof random}));
  Fd fd(::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600));
  if (fd.get() < 0) return ResultFromErrno(errno);
  int err = ::fchmod(fd.get(), 0600) == 0 ? 0 : errno;
  std::size_t done = 0;
  while (err == 0 && done < bytes.size()) {
    ssize_t n = ::write(fd.get(), bytes.data() + done, bytes.size() - done);
    if (n < 0) {
      if (errno != EINTR) err = errno;
      continue;
    }
    done += static_cast<std::size_t>(n);
  }
  if (err == 0 && ::fsync(fd.get()) != 0) err = errno;
  if (fd.Close() != 0 && err == 0) err = errno;
  if (err == 0 && ::rename(temp.c_str(), (folder / name).c_str()) != 0) err = errno;
  if (err != 0) {
    ::unlink(temp.c_str());
    return ResultFromErrno(err);
  }
  return S_OK;
}

// ENOENT gives S_FALSE so callers can tell "absent" from "unreadable".
HRESULT ReadWholeFile(const fs::path& path, SecretBytes* out) {
  Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
  if (fd.get() < 0) return errno == ENOENT ? S_FALSE : ResultFromErrno(errno);
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) return ResultFromErrno(errno);
  if (!S_ISREG(st.st_mode) || st.st_size > (16 << 20)) return NTE_BAD_DATA;
  SecretBytes buffer(static_cast<std::size_t>(st.st_size));
  std::size_t done = 0;
  while (done < buffer.size()) {
    ssize_t n = ::read(fd.get(), buffer.data() + done, buffer.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return ResultFromErrno(errno);
    if (n == 0) break;
    done += static_cast<std::size_t>(n);
  }
  buffer.Truncate(done);
  out->Swap(buffer);
  return S_OK;
}

HRESULT RemoveFile(const fs::path& path) {
  if (::unlink(path.c_str()) != 0 && errno != ENOENT) return ResultFromErrno(errno);
  return S_OK;
}

HRESULT OpenFolder(const KeyAlgorithm& algorithm, std::string_view container, fs::path* folder) {
  HRESULT hr = ContainerFolder(algorithm, container, folder);
  if (FAILED(hr)) return hr;
  return IsFolder(*folder) ? S_OK : NTE_BAD_KEYSET;
}

HRESULT LoadKey(const KeyAlgorithm& algorithm, const fs::path& folder, DWORD keySpec,
                UniquePkey* key) {
  SecretBytes der;
  HRESULT hr = ReadWholeFile(folder / KeyFile(keySpec), &der);
  if (hr == S_FALSE) return NTE_NO_KEY;
  if (FAILED(hr)) return hr;
  UniquePkey decoded = DecodePrivateKey({der.data(), der.size()});
  UniquePkey adopted = decoded ? algorithm.adopt(decoded.get()) : nullptr;
  if (!adopted) return NTE_BAD_KEY;
  *key = std::move(adopted);
  return S_OK;
}

}  // namespace

std::vector<std::string> SoftwareProvider::EnumContainers() {
  std::vector<std::string> names;
  fs::path store = StoreFolder(algorithm_);
  std::error_code ec;
  if (store.empty() || !fs::is_directory(store, ec)) return names;
  for (fs::directory_iterator it(store, ec), end; !ec && it != end; it.increment(ec)) {
    if (!it->is_directory(ec) || it->is_symlink(ec)) continue;
    if (auto name = NameFromHex(it->path().filename().string())) names.push_back(std::move(*name));
  }
  std::sort(names.begin(), names.end());
  return names;
}

HRESULT SoftwareProvider::OpenContainer(std::string_view container) {
  fs::path folder;
  return OpenFolder(algorithm_, container, &folder);
}

HRESULT SoftwareProvider::CreateContainer(std::string_view container) {
  fs::path folder;
  HRESULT hr = ContainerFolder(algorithm_, container, &folder);
  if (FAILED(hr)) return hr;
  hr = EnsureStoreFolder(algorithm_);
  if (FAILED(hr)) return hr;
  int err = MakePrivateFolder(folder);
  if (err == EEXIST) return NTE_EXISTS;
  return err == 0 ? S_OK : ResultFromErrno(err);
}

HRESULT SoftwareProvider::DeleteContainer(std::string_view container) {
  fs::path folder;
  HRESULT hr = OpenFolder(algorithm_, container, &folder);
  if (FAILED(hr)) return hr;
  std::error_code ec;
  fs::remove_all(folder, ec);
  return ec ? ResultFromErrno(ec.value()) : S_OK;
}

HRESULT SoftwareProvider::GetKeyPair(std::string_view container, DWORD keySpec,
                                     std::shared_ptr<const KeyPair>* keyPair) {
  if (!IsKeySpec(keySpec)) return NTE_BAD_KEY;
  fs::path folder;
  HRESULT hr = OpenFolder(algorithm_, container, &folder);
  if (FAILED(hr)) return hr;
  UniquePkey key;
  hr = LoadKey(algorithm_, folder, keySpec, &key);
  if (FAILED(hr)) return hr;
  SecretBytes certificate;
  hr = ReadWholeFile(folder / CertFile(keySpec), &certificate);
  if (FAILED(hr)) return hr;
  auto pair = std::make_shared<KeyPair>();
  pair->keySpec = keySpec;
  pair->algId = algorithm_.AlgFor(keySpec);
  pair->key = key.release();
  pair->certificate.assign(certificate.data(), certificate.data() + certificate.size());
  *keyPair = std::move(pair);
  return S_OK;
}

HRESULT SoftwareProvider::PutKeyPair(std::string_view container, DWORD keySpec, EVP_PKEY* key,
                                     std::span<const BYTE> certificate) {
  std::shared_ptr<const KeyPair> pair;
  HRESULT hr = MakeKeyPair(algorithm_, keySpec, key, certificate, &pair);
  if (FAILED(hr)) return hr;
  SecretBytes der;
  if (!EncodePrivateKey(pair->key, &der)) return NTE_BAD_KEY;
  fs::path folder;
  hr = ContainerFolder(algorithm_, container, &folder);
  if (FAILED(hr)) return hr;
  if (!IsFolder(folder)) {
    hr = CreateContainer(container);
    if (FAILED(hr) && hr != NTE_EXISTS) return hr;
  }
  // The old certificate goes first: it must never sit beside the new key.
  hr = RemoveFile(folder / CertFile(keySpec));
  if (FAILED(hr)) return hr;
  hr = WriteFileAtomically(folder, KeyFile(keySpec), {der.data(), der.size()});
  if (FAILED(hr) || certificate.empty()) return hr;
  return WriteFileAtomically(folder, CertFile(keySpec), certificate);
}

HRESULT SoftwareProvider::SetCertificate(std::string_view container, DWORD keySpec,
                                         std::span<const BYTE> certificate) {
  if (!IsKeySpec(keySpec)) return NTE_BAD_KEY;
  fs::path folder;
  HRESULT hr = OpenFolder(algorithm_, container, &folder);
  if (FAILED(hr)) return hr;
  UniquePkey key;
  hr = LoadKey(algorithm_, folder, keySpec, &key);
  if (FAILED(hr)) return hr;
  if (certificate.empty()) return RemoveFile(folder / CertFile(keySpec));
  UniquePkey certKey = CertificatePublicKey(certificate);
  if (!PublicKeysMatch(certKey.get(), key.get())) return NTE_BAD_DATA;
  return WriteFileAtomically(folder, CertFile(keySpec), certificate);
}

}  // namespace platform::csp::detail
