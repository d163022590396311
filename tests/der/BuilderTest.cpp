#include <gtest/gtest.h>

#include <vector>

#include "der/Builder.h"
#include "der/CertificateFixture.h"
#include "der/OctetString.h"
#include "der/Oid.h"

namespace der {
namespace {

using Octets = std::vector<std::uint8_t>;

TEST(DerBuilderTest, NestedLengthsAreFilledInShortAndLong) {
  Builder builder;
  builder.Open(Tag(0x30));
  builder.Open(Tag(0x31));
  builder.Null();
  ASSERT_TRUE(builder.Close());
  builder.Open(Tag(0xA0));
  builder.Add(Tag(0x04), Octets(0x80, 0xEE));
  ASSERT_TRUE(builder.Close());
  ASSERT_TRUE(builder.Close());
  EXPECT_FALSE(builder.Close());
  const Octets& out = builder.Encoded();
  const Octets head = {0x30, 0x81, 0x8A, 0x31, 0x02, 0x05, 0x00,
                       0xA0, 0x81, 0x83, 0x04, 0x81, 0x80};
  ASSERT_EQ(out.size(), head.size() + 0x80);
  EXPECT_EQ(Octets(out.begin(), out.begin() + head.size()), head);

  const Octets high = [] {
    Octets bytes;
    AppendHeader(Tag(0xBF, 0x4000), 0x10000, &bytes);
    return bytes;
  }();
  EXPECT_EQ(high, (Octets{0xBF, 0x81, 0x80, 0x00, 0x83, 0x01, 0x00, 0x00}));
  EXPECT_EQ(LengthSize(0x7F), 1u);
  EXPECT_EQ(LengthSize(0x80), 2u);
  EXPECT_EQ(LengthSize(0xFFFFFFFFull + 1), 6u);
}

TEST(DerBuilderTest, CertificateRebuildsByteForByte) {
  const Bytes certificate(der_test::kCertificate);
  Element cert;
  ASSERT_EQ(ReadSingle(certificate, {}, Tag(0x30), &cert), Error::kOk);
  Reader fields(cert.contents);
  Builder builder;
  builder.Open(Tag(0x30));
  while (!fields.AtEnd()) {
    Element field;
    ASSERT_EQ(fields.Read(&field), Error::kOk);
    if (field.tag == Tag(0x03)) {
      builder.Add(field.tag, field.contents);
    } else {
      builder.Raw(field.whole);
    }
  }
  ASSERT_TRUE(builder.Close());
  EXPECT_EQ(builder.Take(), Octets(certificate.begin(), certificate.end()));
}

TEST(DerIntegerTest, MinimalAndFixedWidthForms) {
  struct Case {
    Octets magnitude;
    IntegerForm form;
    std::size_t width;
    bool ok;
    Octets contents;
  };
  const Case cases[] = {
      {{}, IntegerForm::kMinimal, 0, true, {0x00}},
      {{0x00, 0x00}, IntegerForm::kMinimal, 0, true, {0x00}},
      {{0x00, 0x7F}, IntegerForm::kMinimal, 0, true, {0x7F}},
      {{0x80}, IntegerForm::kMinimal, 0, true, {0x00, 0x80}},
      {{0x00, 0x00, 0xFF, 0x01}, IntegerForm::kMinimal, 0, true, {0x00, 0xFF, 0x01}},
      {{0x01, 0x00}, IntegerForm::kMinimal, 0, true, {0x01, 0x00}},
      {{}, IntegerForm::kFixedWidth, 4, true, {0x00, 0x00, 0x00, 0x00}},
      {{0x80}, IntegerForm::kFixedWidth, 4, true, {0x00, 0x00, 0x00, 0x80}},
      {{0xFF, 0xFF, 0xFF, 0xFF}, IntegerForm::kFixedWidth, 4, true, {0xFF, 0xFF, 0xFF, 0xFF}},
      {{0x00, 0x01, 0x02, 0x03, 0x04}, IntegerForm::kFixedWidth, 4, true, {0x01, 0x02, 0x03, 0x04}},
      {{0x01, 0x00, 0x00, 0x00, 0x00}, IntegerForm::kFixedWidth, 4, false, {}},
      {{0x01}, IntegerForm::kFixedWidth, 0, false, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.magnitude) + " width " + std::to_string(c.width));
    Octets contents = {0x55};
    EXPECT_EQ(UnsignedIntegerContents(c.magnitude, c.form, c.width, &contents), c.ok);
    if (c.ok) {
      EXPECT_EQ(contents, c.contents);
    }
  }
  Builder builder;
  EXPECT_FALSE(builder.UnsignedInteger(Octets{0x01, 0x02}, IntegerForm::kFixedWidth, 1));
  EXPECT_TRUE(builder.Encoded().empty());
  EXPECT_TRUE(builder.UnsignedInteger(Octets{0x80}, IntegerForm::kMinimal));
  EXPECT_EQ(builder.Encoded(), (Octets{0x02, 0x02, 0x00, 0x80}));
}

TEST(DerOidTest, KnownAnswersRoundTripAndRefusals) {
  const std::pair<const char*, Octets> known[] = {
      {"1.2.840.113549.1.1.11", {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x01, 0x0B}},
      {"1.2.156.10197.1.301", {0x2A, 0x81, 0x1C, 0xCF, 0x55, 0x01, 0x82, 0x2D}},
      {"2.999.3", {0x88, 0x37, 0x03}},
      {"0.0", {0x00}},
  };
  for (const auto& [text, contents] : known) {
    Octets encoded;
    ASSERT_TRUE(OidFromText(text, &encoded)) << text;
    EXPECT_EQ(encoded, contents) << text;
    std::string dotted;
    ASSERT_EQ(OidToText(contents, &dotted), Error::kOk);
    EXPECT_EQ(dotted, text);
  }
  Octets ignored;
  for (const char* bad :
       {"", "1", "3.1", "1.40", "1..2", "1.2.", ".1.2", "1.2a", "-1.2", "1.18446744073709551616"})
    EXPECT_FALSE(OidFromText(bad, &ignored)) << bad;
  std::string dotted;
  EXPECT_EQ(OidToText(Octets{0x2A, 0x80, 0x01}, &dotted), Error::kNonMinimal);
  EXPECT_EQ(OidToText(Octets{0x2A, 0x86}, &dotted), Error::kCorrupt);
  EXPECT_EQ(OidToText(Octets{}, &dotted), Error::kCorrupt);
  EXPECT_EQ(
      OidToText(Octets{0x2A, 0x81, 0x81, 0x81, 0x81, 0x81, 0x81, 0x81, 0x81, 0x81, 0x01}, &dotted),
      Error::kTooLarge);
}

TEST(DerOctetStringTest, ConstructedPiecesOnlyInBer) {
  const Octets pieces = {0x24, 0x80, 0x04, 0x02, 0xAA, 0xBB, 0x24,
                         0x03, 0x04, 0x01, 0xCC, 0x00, 0x00};
  Options ber;
  ber.mode = Mode::kBer;
  Element element;
  ASSERT_EQ(Reader(pieces, ber).Read(&element), Error::kOk);
  Octets value;
  ASSERT_EQ(OctetStringValue(element, ber, &value), Error::kOk);
  EXPECT_EQ(value, (Octets{0xAA, 0xBB, 0xCC}));
  EXPECT_EQ(OctetStringValue(element, Options{}, &value), Error::kCorrupt);

  const Octets wrongPiece = {0x24, 0x03, 0x02, 0x01, 0x05};
  ASSERT_EQ(Reader(wrongPiece, ber).Read(&element), Error::kOk);
  EXPECT_EQ(OctetStringValue(element, ber, &value), Error::kBadTag);
}

}  // namespace
}  // namespace der
