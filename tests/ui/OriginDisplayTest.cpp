// The punycode decoder against the samples of RFC 3492 section 7.1, and
// what the prompt shows for an origin: both forms for an IDN, the ASCII
// form alone for anything that does not decode to a plain name.
#include <gtest/gtest.h>

#include <string>

#include "ui/OriginDisplay.h"

namespace ui {
namespace {

struct Sample {
  const char* name;
  const char32_t* decoded;
  const char* encoded;  // as the RFC writes it: mixed case where it keeps case
};

// RFC 3492 section 7.1, (A) to (S).
constexpr Sample kSamples[] = {
    {"A",
     U"\u0644\u064A\u0647\u0645\u0627\u0628\u062A\u0643\u0644\u0645\u0648\u0634\u0639\u0631\u0628"
     U"\u064A\u061F",
     "egbpdaj6bu4bxfgehfvwxn"},
    {"B", U"\u4ED6\u4EEC\u4E3A\u4EC0\u4E48\u4E0D\u8BF4\u4E2D\u6587", "ihqwcrb4cv8a8dqg056pqjye"},
    {"C", U"\u4ED6\u5011\u7232\u4EC0\u9EBD\u4E0D\u8AAA\u4E2D\u6587", "ihqwctvzc91f659drss3x8bo0yb"},
    {"D", U"Pro\u010Dprost\u011Bnemluv\u00ED\u010Desky", "Proprostnemluvesky-uyb24dma41a"},
    {"E",
     U"\u05DC\u05DE\u05D4\u05D4\u05DD\u05E4\u05E9\u05D5\u05D8\u05DC\u05D0\u05DE\u05D3\u05D1\u05E8"
     U"\u05D9\u05DD\u05E2\u05D1\u05E8\u05D9\u05EA",
     "4dbcagdahymbxekheh6e0a7fei0b"},
    {"F",
     U"\u092F\u0939\u0932\u094B\u0917\u0939\u093F\u0928\u094D\u0926\u0940\u0915\u094D\u092F\u094B"
     U"\u0902\u0928\u0939\u0940\u0902\u092C\u094B\u0932\u0938\u0915\u0924\u0947\u0939\u0948\u0902",
     "i1baa7eci9glrd9b2ae1bj0hfcgg6iyaf8o0a1dig0cd"},
    {"G",
     U"\u306A\u305C\u307F\u3093\u306A\u65E5\u672C\u8A9E\u3092\u8A71\u3057\u3066\u304F\u308C\u306A"
     U"\u3044\u306E\u304B",
     "n8jok5ay5dzabd5bym9f0cm5685rrjetr6pdxa"},
    {"H",
     U"\uC138\uACC4\uC758\uBAA8\uB4E0\uC0AC\uB78C\uB4E4\uC774\uD55C\uAD6D\uC5B4\uB97C\uC774\uD574"
     U"\uD55C\uB2E4\uBA74\uC5BC\uB9C8\uB098\uC88B\uC744\uAE4C",
     "989aomsvi5e83db1d2a355cv1e0vak1dwrv93d5xbh15a0dt30a5jpsd879ccm6fea98c"},
    {"I",
     U"\u043F\u043E\u0447\u0435\u043C\u0443\u0436\u0435\u043E\u043D\u0438\u043D\u0435\u0433\u043E"
     U"\u0432\u043E\u0440\u044F\u0442\u043F\u043E\u0440\u0443\u0441\u0441\u043A\u0438",
     "b1abfaaepdrnnbgefbaDotcwatmq2g4l"},
    {"J", U"Porqu\u00E9nopuedensimplementehablarenEspa\u00F1ol",
     "PorqunopuedensimplementehablarenEspaol-fmd56a"},
    {"K", U"T\u1EA1isaoh\u1ECDkh\u00F4ngth\u1EC3ch\u1EC9n\u00F3iti\u1EBFngVi\u1EC7t",
     "TisaohkhngthchnitingVit-kjcr8268qyxafd2f1b9g"},
    {"L", U"3\u5E74B\u7D44\u91D1\u516B\u5148\u751F", "3B-ww4c5e180e575a65lsy2b"},
    {"M", U"\u5B89\u5BA4\u5948\u7F8E\u6075-with-SUPER-MONKEYS",
     "-with-SUPER-MONKEYS-pc58ag80a8qai00g7n9n"},
    {"N", U"Hello-Another-Way-\u305D\u308C\u305E\u308C\u306E\u5834\u6240",
     "Hello-Another-Way--fc4qua05auwb3674vfr0b"},
    {"O", U"\u3072\u3068\u3064\u5C4B\u6839\u306E\u4E0B2", "2-u9tlzr9756bt3uc0v"},
    {"P", U"Maji\u3067Koi\u3059\u308B5\u79D2\u524D", "MajiKoi5-783gue6qz075azm5e"},
    {"Q", U"\u30D1\u30D5\u30A3\u30FCde\u30EB\u30F3\u30D0", "de-jg4avhby1noc0d"},
    {"R", U"\u305D\u306E\u30B9\u30D4\u30FC\u30C9\u3067", "d9juau41awczczp"},
    {"S", U"-> $1.00 <-", "-> $1.00 <--"},
};

std::string Lower(std::string text) {
  for (char& c : text)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return text;
}

TEST(Punycode, RfcSamplesDecodeAndEncode) {
  for (const Sample& sample : kSamples) {
    std::u32string decoded;
    ASSERT_TRUE(PunycodeDecode(sample.encoded, &decoded)) << sample.name;
    EXPECT_EQ(decoded, std::u32string(sample.decoded)) << sample.name;
    // Digits read the same in either case: (I) has an upper-case one.
    ASSERT_TRUE(PunycodeDecode(Lower(sample.encoded), &decoded)) << sample.name;

    std::string encoded;
    ASSERT_TRUE(PunycodeEncode(sample.decoded, &encoded)) << sample.name;
    // The encoder writes lower-case digits; the basic letters keep their case.
    EXPECT_EQ(Lower(encoded), Lower(sample.encoded)) << sample.name;
    if (std::string(sample.name) != "I") {
      EXPECT_EQ(encoded, sample.encoded) << sample.name;
    }
  }
}

TEST(Punycode, BadInputFailsAndLeavesNothing) {
  const struct {
    const char* what;
    std::string encoded;
  } cases[] = {
      // Each of these would decode to a valid-looking name if the
      // arithmetic were allowed to wrap.
      {"number that overflows", "299971996999999u"},
      {"later number that overflows", "9x9y9z9999999e"},
      {"digit run that overflows the weight", "9999999999"},
      {"truncated number", "bcher-kv"},
      {"truncated at once", "bcher-k"},
      {"lone delimiter is not a digit", "-"},
      {"non-ASCII in the basic part", "\xC3\xBC-tda"},
      {"character that is no digit", "bcher-kv!"},
      {"blank among the digits", "bcher-k va"},
      {"code point past U+10FFFF", "en32g"},
      {"high surrogate", "ib9b"},
      {"low surrogate", "zy0c"},
      {"far past Unicode", "8016146o"},
      {"longer than allowed", std::string(kMaxPunycodeLength + 1, 'a') + "-"},
  };
  for (const auto& c : cases) {
    std::u32string decoded = U"left over";
    EXPECT_FALSE(PunycodeDecode(c.encoded, &decoded)) << c.what;
    EXPECT_TRUE(decoded.empty()) << c.what;
  }

  std::u32string decoded;
  ASSERT_TRUE(PunycodeDecode("dn32g", &decoded));  // U+10FFFF is the last one there is
  EXPECT_EQ(decoded, std::u32string(1, U'\U0010FFFF'));
  ASSERT_TRUE(PunycodeDecode("abc-", &decoded));  // basic part only
  EXPECT_EQ(decoded, U"abc");
  ASSERT_TRUE(PunycodeDecode("a", &decoded));  // the smallest number: U+0080
  EXPECT_EQ(decoded, std::u32string(1, U'\u0080'));
  ASSERT_TRUE(PunycodeDecode("", &decoded));
  EXPECT_TRUE(decoded.empty());

  std::string encoded = "left over";
  EXPECT_FALSE(PunycodeEncode(std::u32string(1, char32_t{0xD800}), &encoded));
  EXPECT_FALSE(PunycodeEncode(std::u32string(1, char32_t{0x110000}), &encoded));
  EXPECT_TRUE(encoded.empty());
}

TEST(OriginDisplay, UnicodeBesideAsciiWithSchemeAndPortKept) {
  EXPECT_EQ(OriginDisplayText("https://xn--bcher-kva.example"),
            "https://b\xC3\xBC"
            "cher.example (https://xn--bcher-kva.example)");
  EXPECT_EQ(OriginDisplayText("http://shop.xn--bcher-kva.example:8080"),
            "http://shop.b\xC3\xBC"
            "cher.example:8080 (http://shop.xn--bcher-kva.example:8080)");
  // (B) of the samples as a label of its own, beside an ASCII one.
  const OriginForms forms = OriginDisplayForms("https://xn--ihqwcrb4cv8a8dqg056pqjye.cn");
  EXPECT_EQ(forms.ascii, "https://xn--ihqwcrb4cv8a8dqg056pqjye.cn");
  EXPECT_EQ(forms.unicode,
            "https://\xE4\xBB\x96\xE4\xBB\xAC\xE4\xB8\xBA\xE4\xBB\x80\xE4\xB9\x88\xE4\xB8\x8D"
            "\xE8\xAF\xB4\xE4\xB8\xAD\xE6\x96\x87.cn");
  // The prefix is matched in either case.
  EXPECT_EQ(OriginDisplayForms("https://XN--bcher-kva.example").unicode,
            "https://b\xC3\xBC"
            "cher.example");
}

TEST(OriginDisplay, PlainOriginsStayAsTheyAre) {
  for (const char* origin : {"https://a.example", "http://127.0.0.1:8080", "https://[::1]:8443",
                             "file://", "http://localhost", "opaque", ""}) {
    const OriginForms forms = OriginDisplayForms(origin);
    EXPECT_EQ(forms.ascii, origin);
    EXPECT_EQ(forms.unicode, origin);
    EXPECT_EQ(OriginDisplayText(origin), origin);
  }
}

// A label that does not decode to a plain name shows the whole origin in
// ASCII only: no half-decoded host, nothing that reads as other structure.
TEST(OriginDisplay, LabelsThatAreNoPlainNameShowAsciiOnly) {
  const struct {
    const char* what;
    const char* origin;
  } cases[] = {
      {"bad punycode", "https://xn--bcher-kv.example"},
      {"good label beside a bad one", "https://xn--bcher-kva.xn--9999999999.example"},
      {"decodes to ASCII only", "https://xn--abc-.example"},
      {"nothing after the prefix", "https://xn--.example"},
      {"right-to-left override", "https://xn--example-676c.com"},  // U+202E
      {"fraction slash", "https://xn--ab-c6t.example"},            // a U+2044 b
      {"ideographic full stop", "https://xn--ab-r13a.example"},    // U+3002
      {"fullwidth full stop", "https://xn--ab-yu3n.example"},      // U+FF0E
      {"zero-width joiner", "https://xn--ab-m1t.example"},         // U+200D
      {"upper case", "https://xn--Bcher-kva.example"},             // decodes to "Bücher"
  };
  for (const auto& c : cases) {
    const OriginForms forms = OriginDisplayForms(c.origin);
    EXPECT_EQ(forms.unicode, c.origin) << c.what;
    EXPECT_EQ(OriginDisplayText(c.origin), c.origin) << c.what;
  }
}

TEST(OriginDisplay, RightToLeftNamesAreIsolatedAndControlsMasked) {
  // (E) of the samples: Hebrew. Wrapped in U+2066 ... U+2069.
  const OriginForms forms = OriginDisplayForms("https://xn--4dbcagdahymbxekheh6e0a7fei0b.example");
  ASSERT_GE(forms.unicode.size(), 6u);
  EXPECT_EQ(forms.unicode.substr(0, 3), "\xE2\x81\xA6");
  EXPECT_EQ(forms.unicode.substr(forms.unicode.size() - 3), "\xE2\x81\xA9");
  EXPECT_NE(forms.unicode.find("https://\xD7\x9C"), std::string::npos);

  // Text that is no origin still shows, its controls as '?'.
  EXPECT_EQ(OriginDisplayText("https://a.example\n\x1B[2J\xC3\xBC"), "https://a.example??[2J??");
}

}  // namespace
}  // namespace ui
