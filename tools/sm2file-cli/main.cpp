// npsigil-sm2file: the SM2 message engine's file operations from a shell, for
// big-file runs and for measuring them as whole processes.
//
//   hash   CERT FILE                   SM3(Z || file) for the certificate's key
//   seal   CERT FILE OUT               SM2 envelope of FILE for CERT
//   open   SOFTCERT PASSWORD ENV OUT   plaintext of an envelope
//   sign   SOFTCERT PASSWORD FILE OUT  detached PKCS#7 (Base64) of FILE
//   verify P7 FILE                     checks a detached PKCS#7 (Base64)
//
// Outputs are created, never overwritten, and removed when the operation
// fails, so no partial envelope or plaintext is left behind.
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "foundation/Unique.h"
#include "smengine/cipher/DataEncryption.h"
#include "smengine/common/EngineResult.h"
#include "smengine/envelope/DataEnvelope.h"
#include "smengine/signing/DataSigning.h"
#include "smengine/softcert/SMFileCertOperations.h"

namespace {

using File = foundation::UniqueFile;

int Usage() {
  std::fputs(
      "usage: npsigil-sm2file hash CERT FILE\n"
      "       npsigil-sm2file seal CERT FILE OUT\n"
      "       npsigil-sm2file open SOFTCERT PASSWORD ENVELOPE OUT\n"
      "       npsigil-sm2file sign SOFTCERT PASSWORD FILE OUT\n"
      "       npsigil-sm2file verify P7 FILE\n",
      stderr);
  return 2;
}

File OpenIn(const char* path) {
  File f(std::fopen(path, "rb"));
  if (!f) std::fprintf(stderr, "%s: %s\n", path, std::strerror(errno));
  return f;
}

// "x": refuse to replace anything that is already there.
File CreateOut(const char* path) {
  File f(std::fopen(path, "wbx"));
  if (!f) std::fprintf(stderr, "%s: %s\n", path, std::strerror(errno));
  return f;
}

bool ReadWhole(const char* path, std::vector<unsigned char>* bytes) {
  File f = OpenIn(path);
  if (!f) return false;
  unsigned char block[16384];
  std::size_t n = 0;
  while ((n = std::fread(block, 1, sizeof block, f.get())) > 0)
    bytes->insert(bytes->end(), block, block + n);
  if (std::ferror(f.get())) {
    std::fprintf(stderr, "%s: read error\n", path);
    return false;
  }
  return true;
}

int Report(int nResult, const char* what) {
  if (nResult == ORLO_OK) return 0;
  std::fprintf(stderr, "%s failed: %d (0x%08x)\n", what, nResult, static_cast<unsigned>(nResult));
  return 1;
}

// Closes the output and keeps it only when everything before succeeded.
int Finish(int nResult, File out, const char* path, const char* what) {
  const bool bClosed = std::fclose(out.release()) == 0;
  if (nResult == ORLO_OK && !bClosed) nResult = ORLO_WRITE_FAULT;
  if (nResult != ORLO_OK) std::remove(path);
  return Report(nResult, what);
}

int Hash(const char* pszCert, const char* pszFile) {
  std::vector<unsigned char> cert;
  if (!ReadWhole(pszCert, &cert)) return 1;
  unsigned char* pbyX = nullptr;
  unsigned char* pbyY = nullptr;
  int nX = 0, nY = 0;
  int nResult = engine::GetPublicKeyXYFromSM2Cert(cert.data(), static_cast<int>(cert.size()), &pbyX,
                                                  &nX, &pbyY, &nY);
  std::unique_ptr<unsigned char[]> x(pbyX), y(pbyY);
  if (nResult != ORLO_OK) return Report(nResult, "GetPublicKeyXYFromSM2Cert");
  File in = OpenIn(pszFile);
  if (!in) return 1;
  unsigned char hash[32];
  nResult = engine::CalculateSM3FileHashEx(x.get(), y.get(), in.get(), hash);
  if (nResult != ORLO_OK) return Report(nResult, "CalculateSM3FileHashEx");
  for (unsigned char b : hash) std::printf("%02x", b);
  std::printf("  %s\n", pszFile);
  return 0;
}

int Seal(const char* pszCert, const char* pszFile, const char* pszOut) {
  std::vector<unsigned char> cert;
  if (!ReadWhole(pszCert, &cert)) return 1;
  File in = OpenIn(pszFile);
  if (!in) return 1;
  File out = CreateOut(pszOut);
  if (!out) return 1;
  const int nResult = engine::EncryptFileToDerCMSEnvelope(out.get(), cert.data(),
                                                          static_cast<int>(cert.size()), in.get());
  return Finish(nResult, std::move(out), pszOut, "EncryptFileToDerCMSEnvelope");
}

int Open(const char* pszSoftCert, const char* pszPassword, const char* pszEnvelope,
         const char* pszOut) {
  File softCert = OpenIn(pszSoftCert);
  File envelope = OpenIn(pszEnvelope);
  if (!softCert || !envelope) return 1;
  File out = CreateOut(pszOut);
  if (!out) return 1;
  const int nResult =
      engine::DecryptDerCMSEnvelopeFile(pszPassword, out.get(), envelope.get(), softCert.get());
  return Finish(nResult, std::move(out), pszOut, "DecryptDerCMSEnvelopeFile");
}

int Sign(const char* pszSoftCert, const char* pszPassword, const char* pszFile,
         const char* pszOut) {
  File softCert = OpenIn(pszSoftCert);
  File in = OpenIn(pszFile);
  if (!softCert || !in) return 1;
  char* pszPKCS7 = nullptr;
  int nPKCS7 = 0;
  int nResult = engine::SignFile_PKCS7Detached_BySM2PFX(pszPassword, &pszPKCS7, in.get(),
                                                        softCert.get(), &nPKCS7);
  std::unique_ptr<char[]> pkcs7(pszPKCS7);
  if (nResult != ORLO_OK) return Report(nResult, "SignFile_PKCS7Detached_BySM2PFX");
  File out = CreateOut(pszOut);
  if (!out) return 1;
  if (std::fwrite(pkcs7.get(), 1, static_cast<std::size_t>(nPKCS7), out.get()) !=
      static_cast<std::size_t>(nPKCS7))
    nResult = ORLO_WRITE_FAULT;
  return Finish(nResult, std::move(out), pszOut, "write");
}

int Verify(const char* pszPKCS7, const char* pszFile) {
  std::vector<unsigned char> pkcs7;
  if (!ReadWhole(pszPKCS7, &pkcs7)) return 1;
  while (!pkcs7.empty() && (pkcs7.back() == '\n' || pkcs7.back() == '\r')) pkcs7.pop_back();
  pkcs7.push_back('\0');
  File in = OpenIn(pszFile);
  if (!in) return 1;
  const int nResult = engine::SM2_VerifyFileSignature_PKCS7Detached(
      reinterpret_cast<const char*>(pkcs7.data()), static_cast<int>(pkcs7.size() - 1), in.get());
  if (nResult == ORLO_OK) std::printf("%s: signature verified\n", pszFile);
  return Report(nResult, "SM2_VerifyFileSignature_PKCS7Detached");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return Usage();
  const std::string command = argv[1];
  if (command == "hash" && argc == 4) return Hash(argv[2], argv[3]);
  if (command == "seal" && argc == 5) return Seal(argv[2], argv[3], argv[4]);
  if (command == "open" && argc == 6) return Open(argv[2], argv[3], argv[4], argv[5]);
  if (command == "sign" && argc == 6) return Sign(argv[2], argv[3], argv[4], argv[5]);
  if (command == "verify" && argc == 4) return Verify(argv[2], argv[3]);
  return Usage();
}
