// npsigil-sm2file given files a web page could have made to cost memory:
// each run is a process of its own whose peak memory is bounded, whether the
// file is refused or, being valid, opens.
#include <gtest/gtest.h>
#include <malloc.h>
#include <unistd.h>

#include <functional>
#include <chrono>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "smengine/Asn1TestBytes.h"
#include "tools/Sm2FileCliSupport.h"

namespace sm2filetest {
namespace {

using asn1test::Bytes;
using asn1test::Hex;
using asn1test::Tlv;

Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

Bytes Repeated(const Bytes& unit, std::size_t times) {
  Bytes out;
  out.reserve(unit.size() * times);
  for (std::size_t i = 0; i < times; ++i) out.insert(out.end(), unit.begin(), unit.end());
  return out;
}

Bytes ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

void WriteFile(const fs::path& path, const Bytes& bytes) {
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

// One definite DER element at `at`: where its contents start and end.
struct Element {
  std::size_t start, contents, end;
};
Element At(const Bytes& der, std::size_t at) {
  std::size_t length = der.at(at + 1), contents = at + 2;
  if (length & 0x80) {
    const std::size_t octets = length & 0x7F;
    length = 0;
    for (std::size_t i = 0; i < octets; ++i) length = (length << 8) | der.at(at + 2 + i);
    contents += octets;
  }
  return {at, contents, contents + length};
}
std::vector<Element> Children(const Bytes& der, const Element& parent) {
  std::vector<Element> out;
  for (std::size_t at = parent.contents; at < parent.end; at = out.back().end)
    out.push_back(At(der, at));
  return out;
}
Bytes Slice(const Bytes& der, std::size_t from, std::size_t to) {
  return Bytes(der.begin() + static_cast<std::ptrdiff_t>(from),
               der.begin() + static_cast<std::ptrdiff_t>(to));
}

// An envelope the tool sealed, rebuilt around other recipients or another
// encryptedContent.
struct Sealed {
  Bytes der;
  Element contentType, version, recipients, innerType, algorithm, content;

  explicit Sealed(Bytes bytes) : der(std::move(bytes)) {
    const auto root = Children(der, At(der, 0));
    const auto enveloped = Children(der, Children(der, root.at(1)).at(0));
    const auto info = Children(der, enveloped.at(2));
    contentType = root.at(0);
    version = enveloped.at(0);
    recipients = enveloped.at(1);
    innerType = info.at(0);
    algorithm = info.at(1);
    content = info.at(2);
  }
  Bytes Whole(const Element& e) const { return Slice(der, e.start, e.end); }
  Bytes Ciphertext() const { return Slice(der, content.contents, content.end); }
  Bytes With(const Bytes& recipientInfos, const Bytes& contentTlv) const {
    const Bytes info = Tlv(0x30, Cat({Whole(innerType), Whole(algorithm), contentTlv}));
    return Tlv(0x30, Cat({Whole(contentType),
                          Tlv(0xA0, Tlv(0x30, Cat({Whole(version), recipientInfos, info})))}));
  }
  Bytes Recipients() const { return Whole(recipients); }
};

// A refused file may have cost a full tree of nodes (under 10 MiB) on top of
// what any run takes: half the 64 MiB any hostile file may cost at most.
constexpr long kHostilePeakLimitKiB = 32 * 1024;

class Sm2FileHostile : public Sm2FileCliTest {
 protected:
  // Seals nBytes of pattern with the tool; the plain file stays as plain.bin.
  Sealed Seal(std::size_t nBytes) {
    Bytes plain(nBytes);
    for (std::size_t i = 0; i < nBytes; ++i) plain[i] = static_cast<BYTE>(i * 37 + (i >> 9));
    WriteFile(folder_ / "plain.bin", plain);
    auto r = Cli({"seal", Path("sm2-encrypt.cer"), Path("plain.bin"), Path("sealed.p7e")});
    EXPECT_EQ(r.exitCode, 0) << r.output;
    return Sealed(ReadFile(folder_ / "sealed.p7e"));
  }

  // `open` of the envelope; removes what it wrote. A child starts with this
  // process's resident memory as its peak, so the envelope is written out
  // and this process's free heap given back before the tool starts.
  testsupport::ProcessResult Open(Bytes envelope, const std::string& softCert,
                                  const char* what) {
    WriteFile(folder_ / "hostile.p7e", envelope);
    Bytes().swap(envelope);
    malloc_trim(0);
    fs::remove(folder_ / "opened.bin");
    const auto started = std::chrono::steady_clock::now();
    auto r = Cli({"open", softCert, "123456", Path("hostile.p7e"), Path("opened.bin")});
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
#ifndef NPSIGIL_SANITIZED
    EXPECT_LT(r.maxRssKiB, kHostilePeakLimitKiB) << what;
#endif
    RecordProperty(std::string(what) + "_peak_kib", std::to_string(r.maxRssKiB));
    EXPECT_LT(seconds, 20.0) << what;
    return r;
  }
};

TEST_F(Sm2FileHostile, ContentInMillionsOfPiecesStreamsOut) {
  Bytes envelope = [&] {
    const Sealed sealed = Seal((std::size_t{6} << 20) - 5);
    const Bytes cipher = sealed.Ciphertext();
    // [0] { 24 80 { 04 02 xx xx ... } }: 12 MiB, three million pieces.
    Bytes pieces = {0xA0, 0x80, 0x24, 0x80};
    pieces.reserve(cipher.size() * 2 + 8);
    for (std::size_t i = 0; i < cipher.size(); i += 2)
      pieces.insert(pieces.end(), {0x04, 0x02, cipher[i], cipher[i + 1]});
    pieces.insert(pieces.end(), {0x00, 0x00, 0x00, 0x00});
    return sealed.With(sealed.Recipients(), pieces);
  }();
  ASSERT_GT(envelope.size(), std::size_t{12} << 20);
  const auto r = Open(std::move(envelope), Path("sm2-encrypt.sm2"), "pieces");
  ASSERT_EQ(r.exitCode, 0) << r.output;
  ExpectBoundedMemory(r, "pieces");
  EXPECT_TRUE(SameContent(folder_ / "plain.bin", folder_ / "opened.bin"));
}

TEST_F(Sm2FileHostile, HostileEnvelopeFilesFailWithNothingLeftBehind) {
  const Sealed sealed = Seal(1000);
  const Bytes content = sealed.Whole(sealed.content);
  // KeyTransRecipientInfo { 2, [0] 01, { 1.2 }, "" } 20000 times after ours.
  const Bytes tinyRecipient = Hex("300D 020102 800101 3003 06012A 0400");
  const Bytes ours = Slice(sealed.der, sealed.recipients.contents, sealed.recipients.end);
  const std::pair<const char*, std::function<Bytes()>> cases[] = {
      {"tiny_elements", [] { return Tlv(0x30, Repeated({0x05, 0x00}, std::size_t{6} << 20)); }},
      {"deep_indefinite", [] { return Repeated({0x30, 0x80}, std::size_t{6} << 20); }},
      {"huge_length",
       [] {
         Bytes der = Hex("30 88 7FFFFFFFFFFFFFFF");
         der.resize(std::size_t{12} << 20);
         return der;
       }},
      {"many_recipients",
       [&] {
         return sealed.With(Tlv(0x31, Cat({ours, Repeated(tinyRecipient, 20000)})), content);
       }},
      {"deep_pieces",
       [&] {
         return sealed.With(sealed.Recipients(),
                            Cat({{0xA0, 0x80}, Repeated({0x24, 0x80}, std::size_t{6} << 20)}));
       }},
      {"huge_key",
       [&] {
         return sealed.With(
             Tlv(0x31, Tlv(0x30, Cat({Hex("020102"), Tlv(0x80, Bytes(20, 1)), Hex("3003 06012A"),
                                      Tlv(0x04, Bytes(12 << 20, 0x42))}))),
             content);
       }},
  };
  for (const auto& [name, make] : cases) {
    const auto r = Open(make(), Path("sm2-encrypt.sm2"), name);
    EXPECT_EQ(r.exitCode, 1) << name << r.output;
    EXPECT_FALSE(fs::exists(folder_ / "opened.bin")) << name;
  }
}

// A soft certificate is a few kilobytes of text; a 1 GiB file named as one
// was read whole before (2 GiB of memory, seconds of work).
TEST_F(Sm2FileHostile, AHugeSoftCertificateFileIsRefusedAtOnce) {
  const Sealed sealed = Seal(1000);
  const fs::path huge = folder_ / "huge.sm2";
  fs::copy_file(folder_ / "sm2-encrypt.sm2", huge);
  ASSERT_EQ(0, ::truncate(huge.c_str(), off_t{1} << 30));
  auto r = Open(sealed.der, huge.string(), "huge_softcert_open");
  EXPECT_EQ(r.exitCode, 1);
  ExpectBoundedMemory(r, "huge_softcert_open");
  EXPECT_NE(r.output.find("0xa0072026"), std::string::npos) << r.output;
  malloc_trim(0);
  r = Cli({"sign", huge.string(), "123456", Path("plain.bin"), Path("sig.p7")});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.output.find("0xa0072026"), std::string::npos) << r.output;
  ExpectBoundedMemory(r, "huge_softcert_sign");
  EXPECT_FALSE(fs::exists(folder_ / "sig.p7"));
}

}  // namespace
}  // namespace sm2filetest
