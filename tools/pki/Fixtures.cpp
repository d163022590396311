#include <system_error>
#include <utility>

#include "pki/TestPki.h"

namespace testpki {
namespace {

constexpr const char* kBase = "C=CN,O=Sigil Test,";

CertProfile Profile(const std::string& rest, const char* serial, std::optional<unsigned> ku,
                    bool skid = true) {
  CertProfile p;
  p.subject = kBase + rest;
  p.serialHex = serial;
  p.keyUsage = ku;
  p.subjectKeyId = skid;
  return p;
}

CertProfile RootProfile(const char* cn, const char* serial) {
  CertProfile p = Profile(std::string("CN=") + cn, serial, kKuKeyCertSign | kKuCrlSign);
  p.isCa = true;
  p.notAfterDays = 3650;
  return p;
}

constexpr unsigned kSign = kKuDigitalSignature | kKuNonRepudiation;
constexpr unsigned kEncrypt = kKuKeyEncipherment | kKuDataEncipherment;

}  // namespace

std::filesystem::path Fixtures::Cer(std::string_view name) const {
  return folder / (std::string(name) + ".cer");
}

std::filesystem::path Fixtures::Pem(std::string_view name) const {
  return folder / (std::string(name) + ".pem");
}

std::optional<Fixtures> MakeStandardFixtures(const std::filesystem::path& folder,
                                             std::string* error) {
  auto fail = [&](const std::string& why) -> std::optional<Fixtures> {
    if (error != nullptr) *error = why;
    return std::nullopt;
  };
  Fixtures f;
  f.folder = folder;

  struct Made {
    const char* name;
    Identity* id;
    const char* keyFile;  // ".sm2", ".p12" or nullptr
  };
  const Made made[] = {
      {"sm2-root", &f.sm2Root, nullptr},      {"sm2-sign", &f.sm2Sign, ".sm2"},
      {"sm2-encrypt", &f.sm2Encrypt, ".sm2"}, {"sm2-noku", &f.sm2NoKu, ".sm2"},
      {"sm2-noskid", &f.sm2NoSkid, ".sm2"},   {"rsa-root", &f.rsaRoot, nullptr},
      {"rsa-sign", &f.rsaSign, ".p12"},       {"rsa-encrypt", &f.rsaEncrypt, ".p12"}};

  // Check every name first so a clash leaves the folder as it was.
  std::error_code ec;
  std::filesystem::create_directories(folder, ec);
  if (!std::filesystem::is_directory(folder, ec)) return fail(folder.string() + ": not a folder");
  for (const Made& m : made)
    for (const char* ext : {".cer", ".pem", m.keyFile})
      if (ext != nullptr &&
          std::filesystem::symlink_status(folder / (std::string(m.name) + ext), ec).type() !=
              std::filesystem::file_type::not_found)
        return fail((folder / (std::string(m.name) + ext)).string() + ": already exists");

  auto sm2 = [](CertProfile p, const Identity* issuer, Identity& out) {
    auto id = MakeSm2Identity(p, issuer);
    if (id) out = std::move(*id);
    return id.has_value();
  };
  auto rsa = [](CertProfile p, const Identity* issuer, Identity& out) {
    auto id = MakeRsaIdentity(p, issuer);
    if (id) out = std::move(*id);
    return id.has_value();
  };
  if (!sm2(RootProfile("Sigil Test SM2 Root CA", "01"), nullptr, f.sm2Root) ||
      !sm2(Profile("OU=SM2,CN=Sigil Test SM2 Sign", "1001", kSign), &f.sm2Root, f.sm2Sign) ||
      !sm2(Profile("OU=SM2,CN=Sigil Test SM2 Encrypt", "1002", kEncrypt), &f.sm2Root,
           f.sm2Encrypt) ||
      !sm2(Profile("OU=SM2,CN=Sigil Test SM2 No Key Usage", "1003", std::nullopt), &f.sm2Root,
           f.sm2NoKu) ||
      !sm2(Profile("OU=SM2,CN=Sigil Test SM2 No Key Id", "1004", kSign | kEncrypt, false),
           &f.sm2Root, f.sm2NoSkid) ||
      !rsa(RootProfile("Sigil Test RSA Root CA", "02"), nullptr, f.rsaRoot) ||
      !rsa(Profile("OU=RSA,CN=Sigil Test RSA Sign", "2001", kSign), &f.rsaRoot, f.rsaSign) ||
      !rsa(Profile("OU=RSA,CN=Sigil Test RSA Encrypt", "2002", kEncrypt), &f.rsaRoot, f.rsaEncrypt))
    return fail("making a key or certificate failed");

  std::string why;
  auto write = [&](const std::string& name, auto&& bytes) {
    if (!WriteFileIn(folder, name, bytes, &why)) return false;
    f.written.push_back(folder / name);
    return true;
  };
  for (const Made& m : made) {
    const std::string name = m.name;
    if (!write(name + ".cer", std::span<const std::uint8_t>(m.id->CertDer())) ||
        !write(name + ".pem", std::string_view(m.id->CertPem())))
      return fail(why);
    if (m.keyFile == nullptr) continue;
    const std::string file = name + m.keyFile;
    if (std::string_view(m.keyFile) == ".sm2") {
      const std::string text = MakeSm2SoftCertFile(*m.id, kFixturePassword);
      if (text.empty()) return fail("making " + file + " failed");
      if (!write(file, std::string_view(text))) return fail(why);
    } else {
      const Bytes p12 = MakePkcs12(*m.id, kFixturePassword, {&f.rsaRoot});
      if (p12.empty()) return fail("making " + file + " failed");
      if (!write(file, std::span<const std::uint8_t>(p12))) return fail(why);
    }
  }
  f.sm2SignFile = folder / "sm2-sign.sm2";
  f.sm2EncryptFile = folder / "sm2-encrypt.sm2";
  f.sm2NoKuFile = folder / "sm2-noku.sm2";
  f.sm2NoSkidFile = folder / "sm2-noskid.sm2";
  f.rsaSignP12 = folder / "rsa-sign.p12";
  f.rsaEncryptP12 = folder / "rsa-encrypt.p12";
  return f;
}

}  // namespace testpki
