// npsigil-testpki: writes test certificates, key files and fuzz seeds into a
// folder it is given, and nowhere else.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <system_error>
#include <vector>

#include "pki/TestPki.h"

namespace {

using testpki::Bytes;

int Usage() {
  std::fputs(
      "usage: npsigil-testpki fixtures <folder>\n"
      "       npsigil-testpki corpus <folder>\n"
      "       npsigil-testpki ca-chain <folder>\n"
      "       npsigil-testpki sm2 <folder> <name> --subject S --serial HEX [--ku 0xC0]\n"
      "                       [--no-skid] [--ca] [--days N] [--password P] [--zero x|y|d]\n"
      "ca-chain writes a demo CA chain (RSA and SM2 roots, intermediates, operational\n"
      "CAs) as DER <name>.cer files, and the obsolete CAs the installer removes under\n"
      "<folder>/obsolete; no private key leaves the process.\n"
      "sm2 writes a self-signed <name>.cer, <name>.pem and <name>.sm2 (password 123456).\n",
      stderr);
  return 2;
}

bool MakeFolder(const std::filesystem::path& folder) {
  std::error_code ec;
  std::filesystem::create_directories(folder, ec);
  if (std::filesystem::is_directory(folder, ec)) return true;
  std::fprintf(stderr, "%s: cannot create folder\n", folder.c_str());
  return false;
}

bool Write(const std::filesystem::path& folder, const std::string& name,
           std::span<const std::uint8_t> bytes) {
  std::string error;
  if (!testpki::WriteFileIn(folder, name, bytes, &error)) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return false;
  }
  std::printf("%s\n", (folder / name).c_str());
  return true;
}

bool Write(const std::filesystem::path& folder, const std::string& name, std::string_view text) {
  return Write(folder, name,
               std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
}

int Fixtures(const std::filesystem::path& folder) {
  std::string error;
  auto f = testpki::MakeStandardFixtures(folder, &error);
  if (!f) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return 1;
  }
  for (const auto& p : f->written) std::printf("%s\n", p.c_str());
  return 0;
}

// Seeds for the SM2_PFX, certificate and Base64 fuzzers, each kind in its
// own subfolder.
int Corpus(const std::filesystem::path& folder) {
  const auto pfxDir = folder / "sm2pfx", certDir = folder / "x509",
             b64Dir = folder / "base64_decode";
  if (!MakeFolder(pfxDir) || !MakeFolder(certDir) || !MakeFolder(b64Dir)) return 1;

  testpki::CertProfile rootProfile{"C=CN,O=Sigil Test,CN=Sigil Test SM2 Root CA", "01",
                                   testpki::kKuKeyCertSign | testpki::kKuCrlSign};
  rootProfile.isCa = true;
  auto root = testpki::MakeSm2Identity(rootProfile, nullptr);
  testpki::CertProfile eeProfile{"C=CN,O=Sigil Test,OU=SM2,CN=Sigil Test SM2 Sign", "1001",
                                 testpki::kKuDigitalSignature};
  auto ee = root ? testpki::MakeSm2Identity(eeProfile, &*root) : std::nullopt;
  eeProfile.keyUsage.reset();
  eeProfile.subjectKeyId = false;
  eeProfile.serialHex = "1003";
  auto bare = root ? testpki::MakeSm2Identity(eeProfile, &*root) : std::nullopt;
  testpki::CertProfile rsaProfile{"C=CN,O=Sigil Test,CN=Sigil Test RSA Sign", "2001",
                                  testpki::kKuDigitalSignature};
  auto rsa = testpki::MakeRsaIdentity(rsaProfile, nullptr);
  if (!root || !ee || !bare || !rsa) {
    std::fputs("making certificates failed\n", stderr);
    return 1;
  }

  const Bytes cert = ee->CertDer();
  const Bytes valid = testpki::MakeSm2SoftCertDer(*ee, testpki::kFixturePassword);
  testpki::SoftCertLayout odd;
  odd.version = 0;
  odd.privateDataId = "1.2.3";
  odd.encryptedAlg = "2.999.1";
  odd.publicDataId = "1.2.840.113549.1.7.1";
  const Bytes oddIds = testpki::MakeSm2SoftCertDer(*ee, testpki::kFixturePassword, odd);
  const Bytes empty = testpki::EncodeSm2Pfx({}, {});
  const Bytes shortKey = testpki::EncodeSm2Pfx(Bytes(15, 0xA5), cert);
  const Bytes longKey = testpki::EncodeSm2Pfx(Bytes(64, 0x5A), cert);
  const Bytes notCert = testpki::EncodeSm2Pfx(Bytes(48, 0x11), Bytes{0x30, 0x03, 0x02, 0x01, 0x01});
  Bytes truncated(valid.begin(), valid.begin() + valid.size() / 2);
  const std::string file = testpki::Base64Encode(valid);

  const bool ok =
      !valid.empty() && Write(pfxDir, "valid", valid) && Write(pfxDir, "odd-ids", oddIds) &&
      Write(pfxDir, "empty-parts", empty) && Write(pfxDir, "short-key", shortKey) &&
      Write(pfxDir, "long-key", longKey) && Write(pfxDir, "not-a-cert", notCert) &&
      Write(pfxDir, "truncated", truncated) && Write(certDir, "sm2-root", root->CertDer()) &&
      Write(certDir, "sm2-ee", cert) && Write(certDir, "sm2-bare", bare->CertDer()) &&
      Write(certDir, "rsa-ee", rsa->CertDer()) && Write(certDir, "sm2-ee-pem", ee->CertPem()) &&
      Write(b64Dir, "sm2pfx-file", file) && Write(b64Dir, "sm2pfx-file-newline", file + "\n") &&
      Write(b64Dir, "cert", testpki::Base64Encode(cert));
  return ok ? 0 : 1;
}

// One certificate of the demo CA chain. Issuers come earlier in the table.
struct ChainCert {
  const char* file;     // <file>.cer
  const char* subject;  // most general RDN first
  const char* serial;   // fixed, so the deletion list can name the obsolete ones
  int issuer;           // index into the table; -1: self-signed
  bool sm2;
  int days;
  bool obsolete;  // written under obsolete/, never shipped
};

// The roots, intermediates and operational CAs the plug-in's installer puts
// in place, and the retired CAs its deletion list removes (three matched by
// subject, issuer and serial, one root by thumbprint).
constexpr ChainCert kChain[] = {
    {"rsa-root", "C=CN,O=Sigil Demo,CN=Sigil Demo RSA Root CA", "5D01", -1, false, 7300, false},
    {"sm2-root", "C=CN,O=Sigil Demo,CN=Sigil Demo SM2 Root CA", "5D02", -1, true, 7300, false},
    {"rsa-intermediate", "C=CN,O=Sigil Demo,OU=RSA,CN=Sigil Demo RSA Intermediate CA", "5D11", 0,
     false, 7200, false},
    {"sm2-intermediate", "C=CN,O=Sigil Demo,OU=SM2,CN=Sigil Demo SM2 Intermediate CA", "5D12", 1,
     true, 7200, false},
    {"rsa-operation-ca", "C=CN,O=Sigil Demo,OU=RSA,CN=Sigil Demo RSA Operation CA", "5D21", 2,
     false, 7100, false},
    {"rsa-test-ca", "C=CN,O=Sigil Demo,OU=RSA,CN=Sigil Demo RSA Test CA", "5D22", 2, false, 7100,
     false},
    {"sm2-operation-ca", "C=CN,O=Sigil Demo,OU=SM2,CN=Sigil Demo SM2 Operation CA", "5D23", 3, true,
     7100, false},
    {"sm2-test-ca", "C=CN,O=Sigil Demo,OU=SM2,CN=Sigil Demo SM2 Test CA", "5D24", 3, true, 7100,
     false},
    {"obsolete-root", "C=CN,O=Sigil Obsolete Root CA", "0B01", -1, false, 3650, true},
    {"obsolete-test-ca", "C=CN,O=Sigil Obsolete Test CA", "0B11", 8, false, 3650, true},
    {"obsolete-operation-ca", "C=CN,O=Sigil Obsolete Operation CA", "0B12", 8, false, 3650, true},
    {"obsolete-sm2-ca", "C=CN,O=Sigil Obsolete SM2 CA", "0B13", 1, true, 3650, true},
};

int CaChain(const std::filesystem::path& folder) {
  const auto obsoleteDir = folder / "obsolete";
  if (!MakeFolder(folder) || !MakeFolder(obsoleteDir)) return 1;
  std::vector<testpki::Identity> made;
  for (const ChainCert& c : kChain) {
    testpki::CertProfile profile{c.subject, c.serial,
                                 testpki::kKuKeyCertSign | testpki::kKuCrlSign};
    profile.isCa = true;
    profile.notAfterDays = c.days;
    const testpki::Identity* issuer =
        c.issuer < 0 ? nullptr : &made.at(static_cast<std::size_t>(c.issuer));
    auto id = c.sm2 ? testpki::MakeSm2Identity(profile, issuer)
                    : testpki::MakeRsaIdentity(profile, issuer);
    if (!id) {
      std::fprintf(stderr, "making %s failed\n", c.file);
      return 1;
    }
    if (!Write(c.obsolete ? obsoleteDir : folder, std::string(c.file) + ".cer", id->CertDer()))
      return 1;
    made.push_back(std::move(*id));
  }
  return 0;
}

int Sm2(const std::filesystem::path& folder, const std::string& name, int argc, char** argv) {
  testpki::CertProfile p;
  std::string password(testpki::kFixturePassword);
  for (int i = 0; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool hasValue = i + 1 < argc;
    if (arg == "--subject" && hasValue)
      p.subject = argv[++i];
    else if (arg == "--serial" && hasValue)
      p.serialHex = argv[++i];
    else if (arg == "--ku" && hasValue)
      p.keyUsage = std::strtoul(argv[++i], nullptr, 0);
    else if (arg == "--no-skid")
      p.subjectKeyId = false;
    else if (arg == "--ca")
      p.isCa = true;
    else if (arg == "--days" && hasValue)
      p.notAfterDays = std::atoi(argv[++i]);
    else if (arg == "--password" && hasValue)
      password = argv[++i];
    else if (arg == "--zero" && hasValue) {
      const std::string z = argv[++i];
      p.leadingZero = z == "x"   ? testpki::LeadingZero::PublicX
                      : z == "y" ? testpki::LeadingZero::PublicY
                      : z == "d" ? testpki::LeadingZero::PrivateKey
                                 : testpki::LeadingZero::None;
      if (p.leadingZero == testpki::LeadingZero::None) return Usage();
    } else {
      return Usage();
    }
  }
  if (p.subject.empty() || p.serialHex.empty()) return Usage();
  auto id = testpki::MakeSm2Identity(p, nullptr);
  if (!id) {
    std::fputs("making the certificate failed (subject or serial malformed?)\n", stderr);
    return 1;
  }
  const std::string file = testpki::MakeSm2SoftCertFile(*id, password);
  const bool ok = !file.empty() && MakeFolder(folder) &&
                  Write(folder, name + ".cer", id->CertDer()) &&
                  Write(folder, name + ".pem", id->CertPem()) && Write(folder, name + ".sm2", file);
  return ok ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return Usage();
  const std::string command = argv[1];
  const std::filesystem::path folder = argv[2];
  if (command == "fixtures" && argc == 3) return Fixtures(folder);
  if (command == "corpus" && argc == 3) return Corpus(folder);
  if (command == "ca-chain" && argc == 3) return CaChain(folder);
  if (command == "sm2" && argc >= 4) return Sm2(folder, argv[3], argc - 4, argv + 4);
  return Usage();
}
