// Puts three test certificates in front of the real selection dialog and
// prints what came back, for the Xvfb test that presses the keys:
//   result 0x<8 hex digits>
//   cn <common name of the chosen certificate>   (only when one was chosen)
// The certificates are inserted in an order the dialog does not show them
// in, so the test can tell sorting from insertion order. An argument, when
// given, is the origin of the page that asks.
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "pki/TestPki.h"
#include "platform/cert/CertContext.h"
#include "platform/base/WideString.h"
#include "ui/CertificateDialogs.h"

namespace {

struct Entry {
  const char* commonName;
  const char* serialHex;
};

// Shown as Alpha Brown, Mike Adams, zulu Carter (case folded).
constexpr Entry kEntries[] = {
    {"zulu Carter", "4101"},
    {"Alpha Brown", "4102"},
    {"Mike Adams", "4103"},
};

}  // namespace

int main(int argc, char** argv) {
  std::vector<testpki::Bytes> ders;
  CERTIFICATE_SET set;
  for (const Entry& entry : kEntries) {
    const std::string subject = std::string("C=CN,O=Sigil Test,CN=") + entry.commonName;
    std::optional<testpki::Identity> id =
        testpki::MakeRsaIdentity({subject, entry.serialHex, 0xC0, true, false}, nullptr, 1024);
    if (!id) {
      std::fprintf(stderr, "cannot make the certificate of %s\n", entry.commonName);
      return 2;
    }
    ders.push_back(id->CertDer());
    PCCERT_CONTEXT context =
        CertCreateCertificateContext(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, ders.back().data(),
                                     static_cast<DWORD>(ders.back().size()));
    if (context == nullptr) {
      std::fprintf(stderr, "cannot decode the certificate of %s\n", entry.commonName);
      return 2;
    }
    set.push_back(context);
  }

  // What the agent sends: mode 0, our own module, no title.
  const std::u16string origin = argc > 1 ? FromUtf8(argv[1]) : std::u16string();
  SELECT_CERTIFICATE_PARA para{0,       nullptr, nullptr,
                               nullptr, nullptr, argc > 1 ? origin.c_str() : nullptr};
  PCCERT_CONTEXT chosen = nullptr;
  const HRESULT result = CustomCryptUIDlgSelectCertificate(&para, set, &chosen);
  std::printf("result 0x%08x\n", static_cast<unsigned>(result));
  if (chosen != nullptr) {
    const testpki::Bytes der(chosen->pbCertEncoded, chosen->pbCertEncoded + chosen->cbCertEncoded);
    for (std::size_t i = 0; i < ders.size(); ++i)
      if (ders[i] == der) std::printf("cn %s\n", kEntries[i].commonName);
    CertFreeCertificateContext(chosen);
  }
  for (PCCERT_CONTEXT context : set) CertFreeCertificateContext(context);
  return 0;
}
