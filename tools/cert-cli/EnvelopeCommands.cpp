// encrypt and decrypt: RSA envelope files (CMS EnvelopedData) streamed
// through the message layer, for recipients named by certificate files and
// for the keys behind the user's MY store.
#include <cstdio>

#include "CliSupport.h"
#include "Commands.h"
#include "platform/msg/CryptMsg.h"
#include "platform/base/WideString.h"
#include "winsvc/CertificateStore.h"
#include "winsvc/CryptoApiEnvelopes.h"

namespace certcli {

namespace {

// The cipher names a user types, by content-algorithm identifier.
const char* CipherOid(const std::string& name) {
  if (name == "3des") return szOID_RSA_DES_EDE3_CBC;
  if (name == "rc4") return szOID_RSA_RC4;
  return nullptr;
}

// Recipient certificates from files, in the order given; empty after a
// message when one cannot be read.
bool LoadRecipients(const std::vector<std::string>& paths, CERTIFICATE_SET& recipients) {
  for (const std::string& path : paths) {
    const auto bytes = ReadWholeFile(path);
    if (!bytes) return false;
    const auto der = OneCertificate(*bytes);
    if (!der) {
      Error(path + ": not one certificate (DER or PEM)");
      return false;
    }
    PCCERT_CONTEXT pCert = CertCreateCertificateContext(
        X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, der->data(), static_cast<DWORD>(der->size()));
    if (pCert == nullptr) {
      ErrorCode(path + ": certificate not accepted", LastFailure());
      return false;
    }
    recipients.push_back(pCert);
  }
  return true;
}

}  // namespace

int RunEncrypt(std::span<const std::string> args) {
  const auto parsed = ParseArgs(args, {.flags = {}, .values = {"--cipher"}, .lists = {"--to"}});
  if (!parsed) return kExitUsage;
  const auto found = parsed->lists.find("--to");
  const std::vector<std::string> recipientPaths =
      found == parsed->lists.end() ? std::vector<std::string>() : found->second;
  if (parsed->positional.size() != 2 || recipientPaths.empty()) {
    Error("encrypt needs --to CERT (one or more), an input and an output file");
    return kExitUsage;
  }
  const std::string* cipherName = parsed->Value("--cipher");
  const char* cipherOid = CipherOid(cipherName ? *cipherName : "3des");
  if (cipherOid == nullptr) {
    Error("unknown cipher \"" + *cipherName + "\" (3des or rc4)");
    return kExitUsage;
  }

  CERTIFICATE_SET recipients;
  CertificateSetReleaser releaser(recipients);
  if (!LoadRecipients(recipientPaths, recipients)) return kExitFailure;
  const std::u16string input = FromUtf8(parsed->positional[0]);
  const std::u16string output = FromUtf8(parsed->positional[1]);
  const HRESULT hResult =
      EncryptPlaintextFiletoEnvelopeFile(input.c_str(), output.c_str(), recipients, cipherOid);
  if (FAILED(hResult)) {
    ErrorCode("cannot encrypt " + parsed->positional[0], hResult);
    return kExitFailure;
  }
  return kExitOk;
}

int RunDecrypt(std::span<const std::string> args) {
  const auto parsed = ParseArgs(args, {.flags = {}, .values = {}});
  if (!parsed) return kExitUsage;
  if (parsed->positional.size() != 2) {
    Error("decrypt needs an envelope file and an output file");
    return kExitUsage;
  }
  CertStorePtr store(
      CertOpenStore(CERT_STORE_PROV_SYSTEM_W, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0,
                    CERT_SYSTEM_STORE_CURRENT_USER | CERT_STORE_READONLY_FLAG, u"MY"));
  if (!store) {
    ErrorCode("cannot open the MY store", LastFailure());
    return kExitFailure;
  }
  const std::u16string input = FromUtf8(parsed->positional[0]);
  const std::u16string output = FromUtf8(parsed->positional[1]);
  const HRESULT hResult =
      DecryptEnvelopeFiletoPlaintextFile(input.c_str(), output.c_str(), {store.get()});
  if (FAILED(hResult)) {
    ErrorCode("cannot decrypt " + parsed->positional[0], hResult);
    return kExitFailure;
  }
  return kExitOk;
}

}  // namespace certcli
