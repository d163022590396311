#include <gtest/gtest.h>

#include <vector>

#include "der/CertificateFixture.h"
#include "der/Reader.h"

namespace der {
namespace {

Options InMode(Mode mode) {
  Options options;
  options.mode = mode;
  return options;
}

const Options kDer = InMode(Mode::kDer);
const Options kBer = InMode(Mode::kBer);

struct LengthCase {
  std::vector<std::uint8_t> bytes;
  Error der;             // in DER mode
  Error ber;             // in BER mode
  std::size_t contents;  // contents size when read
};

std::vector<std::uint8_t> LongForm(std::vector<std::uint8_t> header, std::size_t contents) {
  header.resize(header.size() + contents, 0xAB);
  return header;
}

// Lengths of X.690 8.1.3: short, long, indefinite and their strict forms.
TEST(DerReaderTest, LengthsFollowX690InEachMode) {
  const LengthCase cases[] = {
      {{0x04, 0x01, 0xAA}, Error::kOk, Error::kOk, 1},
      {{0x04, 0x00}, Error::kOk, Error::kOk, 0},
      {LongForm({0x04, 0x81, 0x80}, 0x80), Error::kOk, Error::kOk, 0x80},
      {LongForm({0x04, 0x82, 0x01, 0x00}, 0x100), Error::kOk, Error::kOk, 0x100},
      // Long form for a length the short form holds, and a leading zero octet.
      {{0x04, 0x81, 0x01, 0xAA}, Error::kNonMinimal, Error::kOk, 1},
      {LongForm({0x04, 0x82, 0x00, 0x80}, 0x80), Error::kNonMinimal, Error::kOk, 0x80},
      // Indefinite: constructed only, and BER only.
      {{0x30, 0x80, 0x04, 0x01, 0xAA, 0x00, 0x00}, Error::kCorrupt, Error::kOk, 3},
      {{0x04, 0x80, 0x00, 0x00}, Error::kCorrupt, Error::kCorrupt, 0},
      {{0x30, 0x80, 0x04, 0x01, 0xAA}, Error::kCorrupt, Error::kTruncated, 0},
      // End-of-contents is never an element of its own, nor has contents.
      {{0x00, 0x00}, Error::kCorrupt, Error::kCorrupt, 0},
      {{0x30, 0x80, 0x00, 0x01, 0xAA, 0x00, 0x00}, Error::kCorrupt, Error::kCorrupt, 0},
      // Cut short in the length octets or the contents.
      {{0x04}, Error::kTruncated, Error::kTruncated, 0},
      {{0x04, 0x82, 0x01}, Error::kTruncated, Error::kTruncated, 0},
      {{0x04, 0x03, 0xAA, 0xBB}, Error::kTruncated, Error::kTruncated, 0},
      // Nine length octets, and the reserved 0xFF.
      {{0x04, 0x89, 1, 2, 3, 4, 5, 6, 7, 8, 9}, Error::kTooLarge, Error::kTooLarge, 0},
      {{0x04, 0xFF, 0x00}, Error::kTooLarge, Error::kTooLarge, 0},
  };
  for (const LengthCase& c : cases) {
    for (const Options* options : {&kDer, &kBer}) {
      const bool ber = options == &kBer;
      SCOPED_TRACE(testing::Message()
                   << (ber ? "BER " : "DER ") << testing::PrintToString(c.bytes));
      Reader reader(c.bytes, *options);
      Element element;
      const Error expected = ber ? c.ber : c.der;
      ASSERT_EQ(reader.Read(&element), expected);
      if (expected == Error::kOk) {
        EXPECT_EQ(element.contents.size(), c.contents);
        EXPECT_EQ(element.whole.size(), c.bytes.size());
        EXPECT_TRUE(reader.AtEnd());
      } else {
        EXPECT_EQ(reader.Rest().size(), c.bytes.size()) << "a failed read consumes nothing";
      }
    }
  }
}

TEST(DerReaderTest, TagsAreCheckedWithoutConsumingOnMismatch) {
  const std::vector<std::uint8_t> bytes = {0x02, 0x01, 0x05, 0xA0, 0x00};
  Reader reader(bytes);
  Element element;
  bool present = true;
  EXPECT_EQ(reader.Expect(Tag(0x30), &element), Error::kBadTag);
  EXPECT_EQ(reader.Optional(Tag(0xA0), &element, &present), Error::kOk);
  EXPECT_FALSE(present);
  ASSERT_EQ(reader.Expect(Tag(0x02), &element), Error::kOk);
  EXPECT_EQ(element.contents[0], 0x05);
  ASSERT_EQ(reader.Optional(Tag(0xA0), &element, &present), Error::kOk);
  EXPECT_TRUE(present);
  EXPECT_TRUE(element.Constructed());
  EXPECT_EQ(reader.Expect(Tag(0x02), &element), Error::kTruncated);
  EXPECT_EQ(reader.Finish(), Error::kOk);
}

TEST(DerReaderTest, HighTagNumbersAreMinimalOrRefused) {
  // [128] primitive, empty: 9F 81 00 00.
  const std::vector<std::uint8_t> high = {0x9F, 0x81, 0x00, 0x00};
  Element element;
  ASSERT_EQ(ReadSingle(high, kDer, Tag(0x80, 128), &element), Error::kOk);
  EXPECT_EQ(element.tag.number, 128u);
  EXPECT_EQ(ReadSingle(high, kDer, Tag(0x80, 129), &element), Error::kBadTag);
  Options refusing;
  refusing.highTagNumbers = false;
  EXPECT_EQ(ReadSingle(high, refusing, Tag(0x80, 128), &element), Error::kBadTag);
  // Tag number 30 in the high form, a leading zero group, an open last group.
  for (const std::vector<std::uint8_t>& bad :
       {std::vector<std::uint8_t>{0x9F, 0x1E, 0x00}, {0x9F, 0x80, 0x01, 0x00}}) {
    Reader reader(bad, kBer);
    EXPECT_EQ(reader.Read(&element), Error::kNonMinimal);
  }
  const std::vector<std::uint8_t> open = {0x9F, 0x81, 0x82};
  EXPECT_EQ(Reader(open).Read(&element), Error::kTruncated);
}

TEST(DerReaderTest, CertificateReadsWholeAndEveryPrefixIsTruncated) {
  const Bytes certificate(der_test::kCertificate);
  Element cert, tbs, version, serial;
  ASSERT_EQ(ReadSingle(certificate, kDer, Tag(0x30), &cert), Error::kOk);
  Reader fields(cert.contents);
  ASSERT_EQ(fields.Expect(Tag(0x30), &tbs), Error::kOk);
  Reader tbsFields = fields.Inside(tbs);
  bool present = false;
  ASSERT_EQ(tbsFields.Optional(Tag(0xA0), &version, &present), Error::kOk);
  EXPECT_TRUE(present);
  ASSERT_EQ(tbsFields.Expect(Tag(0x02), &serial), Error::kOk);
  EXPECT_EQ(serial.contents.size(), 20u);
  EXPECT_EQ(tbs.whole.data(), certificate.data() + 4);

  for (std::size_t size = 0; size < certificate.size(); ++size) {
    EXPECT_EQ(ReadSingle(certificate.first(size), kDer, Tag(0x30), &cert), Error::kTruncated)
        << size;
  }
  std::vector<std::uint8_t> longer(certificate.begin(), certificate.end());
  longer.push_back(0x00);
  EXPECT_EQ(ReadSingle(longer, kDer, Tag(0x30), &cert), Error::kTrailing);
}

TEST(DerReaderTest, IndefiniteNestingStopsAtTheDepthLimit) {
  auto nested = [](int levels) {
    std::vector<std::uint8_t> bytes;
    for (int i = 0; i < levels; ++i) bytes.insert(bytes.end(), {0x30, 0x80});
    for (int i = 0; i < levels; ++i) bytes.insert(bytes.end(), {0x00, 0x00});
    return bytes;
  };
  Element element;
  EXPECT_EQ(Reader(nested(kBer.maxDepth + 1), kBer).Read(&element), Error::kOk);
  EXPECT_EQ(Reader(nested(kBer.maxDepth + 2), kBer).Read(&element), Error::kTooDeep);
}

TEST(DerReaderTest, LengthOctetLimitIsTheCallers) {
  const std::vector<std::uint8_t> five = {0x04, 0x85, 0x01, 0x00, 0x00, 0x00, 0x00};
  Options four;
  four.maxLengthOctets = 4;
  Element element;
  EXPECT_EQ(Reader(five, four).Read(&element), Error::kTooLarge);
  EXPECT_EQ(Reader(five).Read(&element), Error::kTruncated);
}

}  // namespace
}  // namespace der
