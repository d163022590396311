// The selection dialog's pieces that do not need a screen: picture
// decoding, the template's pixel layout and sizing rule, text cut at its
// limit, and the certificate details.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <memory>
#include <vector>

#include "foundation/Unique.h"
#include "resources/ModuleResources.h"
#include "ui/select-dialog/CertificateDetails.h"
#include "ui/select-dialog/CertificateList.h"
#include "ui/select-dialog/PngImages.h"
#include "ui/select-dialog/SelectCertificateDlg.h"
#include "ui/select-dialog/TextDrawing.h"

namespace select_dialog {
namespace {

std::vector<BYTE> ResourceBytes(UINT id) {
  HMODULE module = GetSigilModuleHandle();
  HRSRC info = FindResourceW(module, id, u"PNG");
  if (!info) return {};
  const auto* bytes = static_cast<const BYTE*>(LockResource(LoadResource(module, info)));
  return {bytes, bytes + SizeofResource(module, info)};
}

TEST(SelectDialogPictures, ModulePicturesDecodeAtTheirSizes) {
  const struct {
    UINT id;
    int size;
  } pictures[] = {{105, 128}, {106, 128}, {107, 62}};
  for (const auto& picture : pictures) {
    SurfacePtr image;
    const char* failedCall = "unset";
    ASSERT_EQ(LoadImageFromResource(GetSigilModuleHandle(), picture.id, &image, &failedCall), S_OK)
        << picture.id;
    EXPECT_EQ(failedCall, nullptr);
    EXPECT_EQ(cairo_image_surface_get_width(image.get()), picture.size);
    EXPECT_EQ(cairo_image_surface_get_height(image.get()), picture.size);
  }
}

TEST(SelectDialogPictures, MissingResourceAndBadBytesFail) {
  SurfacePtr image;
  const char* failedCall = nullptr;
  EXPECT_EQ(LoadImageFromResource(GetSigilModuleHandle(), 999, &image, &failedCall),
            HRESULT_FROM_WIN32(ERROR_RESOURCE_NAME_NOT_FOUND));
  EXPECT_STREQ(failedCall, "FindResourceW");
  EXPECT_FALSE(image);
  EXPECT_TRUE(FAILED(LoadImageFromResource(nullptr, 105, &image)));

  const BYTE one = 0x89;
  EXPECT_EQ(_LoadImageFromData(nullptr, 10, &image), E_INVALIDARG);
  EXPECT_EQ(_LoadImageFromData(&one, 0, &image), E_INVALIDARG);
  EXPECT_EQ(_LoadImageFromData(&one, 1, &image), E_POINTER);

  std::vector<BYTE> png = ResourceBytes(107);
  ASSERT_GT(png.size(), 64u);
  png.resize(png.size() / 2);  // cut in the middle of the image data
  EXPECT_EQ(_LoadImageFromData(png.data(), static_cast<DWORD>(png.size()), &image), E_POINTER);
  EXPECT_FALSE(image);
}

TEST(SelectDialogLayout, TemplateUnitsAndRowCount) {
  // The list at (13,37) 255x264 and OK at (170,306) 50x14 dialog units.
  EXPECT_EQ(DialogUnitsToPixelsX(13), 20);
  EXPECT_EQ(DialogUnitsToPixelsY(37), 60);
  EXPECT_EQ(DialogUnitsToPixelsX(255), 383);
  EXPECT_EQ(DialogUnitsToPixelsY(264), 429);
  EXPECT_EQ(DialogUnitsToPixelsX(170), 255);
  EXPECT_EQ(DialogUnitsToPixelsY(306), 497);
  EXPECT_EQ(DialogUnitsToPixelsY(14), 23);

  EXPECT_EQ(VisibleRowCount(10, 900), 5);  // (900 - 500) / 80
  EXPECT_EQ(VisibleRowCount(2, 900), 2);
  EXPECT_EQ(VisibleRowCount(10, 1024), 6);
  EXPECT_EQ(VisibleRowCount(3, 400), 1);  // a tiny screen still shows one row
  EXPECT_EQ(VisibleRowCount(0, 1024), 0);
}

// The origin line keeps the page's real name in view: both forms while they
// fit, a smaller size before that, and the ASCII form alone rather than a
// cut one.
TEST(SelectDialogLayout, OriginLineFitsOrFallsBackToTheAsciiForm) {
  // Every character as wide as it is high.
  const MeasureText measure = [](std::u16string_view text, int height) {
    return static_cast<int>(text.size()) * height;
  };
  const ui::OriginForms idn = ui::OriginDisplayForms("https://xn--bcher-kva.example");
  const std::u16string both = u"By https://b\u00FCcher.example (https://xn--bcher-kva.example)";
  const std::u16string ascii = u"By https://xn--bcher-kva.example";
  ASSERT_EQ(both.size(), 57u);

  OriginLine line = FitOriginLine(u"By ", idn, 57 * 14, measure);
  EXPECT_EQ(line.text, both);
  EXPECT_EQ(line.charHeight, 14);
  line = FitOriginLine(u"By ", idn, 57 * 12, measure);
  EXPECT_EQ(line.text, both);
  EXPECT_EQ(line.charHeight, 12);
  const std::u16string shorter = u"By https://b\u00FCcher.example (xn--bcher-kva.example)";
  line = FitOriginLine(u"By ", idn, 57 * 11 - 1, measure);  // too narrow for both at 11
  EXPECT_EQ(line.text, shorter);
  EXPECT_EQ(line.charHeight, 12);
  line = FitOriginLine(u"By ", idn, static_cast<int>(shorter.size()) * 11 - 1, measure);
  EXPECT_EQ(line.text, ascii);
  EXPECT_EQ(line.charHeight, 14);
  line = FitOriginLine(u"By ", idn, 10, measure);  // nothing fits: cut, smallest
  EXPECT_EQ(line.text, ascii);
  EXPECT_EQ(line.charHeight, 11);

  line = FitOriginLine(u"By ", ui::OriginDisplayForms("http://a.example"), 1000, measure);
  EXPECT_EQ(line.text, u"By http://a.example");

  // The real measure grows with the text and the size.
  const int normal = MeasureTextWidth("Microsoft YaHei", ascii, 14);
  EXPECT_GT(normal, 0);
  EXPECT_LT(MeasureTextWidth("Microsoft YaHei", ascii, 11), normal);
  EXPECT_GT(MeasureTextWidth("Microsoft YaHei", both, 14), normal);
  EXPECT_EQ(MeasureTextWidth("Microsoft YaHei", u"", 14), 0);
}

// Columns of an ARGB surface that hold any ink.
std::vector<bool> InkedColumns(cairo_surface_t* surface) {
  cairo_surface_flush(surface);
  const int width = cairo_image_surface_get_width(surface);
  const int height = cairo_image_surface_get_height(surface);
  const int stride = cairo_image_surface_get_stride(surface);
  const unsigned char* data = cairo_image_surface_get_data(surface);
  std::vector<bool> inked(static_cast<std::size_t>(width), false);
  for (int y = 0; y < height; ++y) {
    const auto* row = reinterpret_cast<const uint32_t*>(data + y * stride);
    for (int x = 0; x < width; ++x)
      if (row[x] >> 24) inked[static_cast<std::size_t>(x)] = true;
  }
  return inked;
}

TEST(SelectDialogText, TextIsCutAtTheLimitAndStartsAtItsOrigin) {
  const std::u16string text = u"A display name far wider than the row it is drawn in";
  auto draw = [&](int limit) {
    SurfacePtr surface(cairo_image_surface_create(CAIRO_FORMAT_ARGB32, 400, 40));
    cairo_t* cr = cairo_create(surface.get());
    DrawTextWithFont("Microsoft YaHei", cr, text, 20, 5, limit, 8, 20, Colour{0, 51, 153});
    cairo_destroy(cr);
    return InkedColumns(surface.get());
  };
  const std::vector<bool> cut = draw(100);
  for (int x = 0; x < 20; ++x) EXPECT_FALSE(cut[x]) << x;
  for (int x = 100; x < 400; ++x) EXPECT_FALSE(cut[x]) << x;
  EXPECT_TRUE(std::find(cut.begin() + 20, cut.begin() + 100, true) != cut.begin() + 100);

  const std::vector<bool> whole = draw(0);  // no limit
  EXPECT_TRUE(std::find(whole.begin() + 100, whole.end(), true) != whole.end());
}

struct Pixel {
  int red, green, blue;
  bool operator==(const Pixel&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Pixel& p) {
  return out << "RGB(" << p.red << "," << p.green << "," << p.blue << ")";
}

Pixel PixelAt(cairo_surface_t* surface, int x, int y) {
  cairo_surface_flush(surface);
  const auto* row = reinterpret_cast<const uint32_t*>(cairo_image_surface_get_data(surface) +
                                                      y * cairo_image_surface_get_stride(surface));
  const uint32_t value = row[x];
  return {static_cast<int>((value >> 16) & 0xFF), static_cast<int>((value >> 8) & 0xFF),
          static_cast<int>(value & 0xFF)};
}

class SelectDialogRow : public ::testing::Test {
 protected:
  void SetUp() override {
    for (auto [id, target] : {std::pair{105u, &system_}, {106u, &key_}, {107u, &frame_}})
      ASSERT_EQ(LoadImageFromResource(GetSigilModuleHandle(), id, target), S_OK);
    row_.displayName = u"A display name far wider than the row it is drawn in, and more";
    row_.issuerLine = u"Issuer: Test Org";
    row_.serialLine = u"SN: 0a1b";
    row_.validityLine = u"Valid From: 01/02/2026 to 01/02/2027";
  }

  SurfacePtr Paint(bool selected, bool hot, bool hardware = false) {
    SurfacePtr surface(cairo_image_surface_create(CAIRO_FORMAT_RGB24, kWidth, kRowHeight));
    cairo_t* cr = cairo_create(surface.get());
    row_.hardware = hardware;
    PaintCertificateRow(cr, row_, {system_.get(), key_.get(), frame_.get()}, selected, hot, kWidth,
                        true);
    cairo_destroy(cr);
    return surface;
  }

  static constexpr int kWidth = 360;
  SurfacePtr system_, key_, frame_;
  ui::DialogRow row_;
};

TEST_F(SelectDialogRow, HighlightColoursByState) {
  const Pixel white{255, 255, 255};
  SurfacePtr plain = Paint(false, false);
  EXPECT_EQ(PixelAt(plain.get(), 1, 1), white);
  EXPECT_EQ(PixelAt(plain.get(), 0, 40), white);
  EXPECT_EQ(PixelAt(plain.get(), kWidth - 5, 70), white);

  // Gradient top and bottom just inside the border, border on the edges.
  SurfacePtr selected = Paint(true, false);
  EXPECT_EQ(PixelAt(selected.get(), kWidth - 5, 1), (Pixel{0xDD, 0xEC, 0xFD}));
  EXPECT_EQ(PixelAt(selected.get(), kWidth - 5, kRowHeight - 2), (Pixel{0xC2, 0xDC, 0xFD}));
  EXPECT_EQ(PixelAt(selected.get(), 0, 40), (Pixel{0x7D, 0xB6, 0xCE}));
  EXPECT_EQ(PixelAt(selected.get(), kWidth / 2, kRowHeight - 1), (Pixel{0x7D, 0xB6, 0xCE}));

  SurfacePtr hot = Paint(false, true);
  EXPECT_EQ(PixelAt(hot.get(), kWidth - 5, 1), (Pixel{0xFD, 0xFE, 0xFF}));
  EXPECT_EQ(PixelAt(hot.get(), kWidth - 5, kRowHeight - 2), (Pixel{0xB9, 0xD7, 0xFC}));
  EXPECT_EQ(PixelAt(hot.get(), kWidth - 1, 40), (Pixel{0xF3, 0xF8, 0xFF}));

  // Selected wins over hover.
  SurfacePtr both = Paint(true, true);
  EXPECT_EQ(PixelAt(both.get(), 0, 40), (Pixel{0x7D, 0xB6, 0xCE}));
}

TEST_F(SelectDialogRow, PictureByHardwareFlagAndTextInItsColumn) {
  SurfacePtr software = Paint(false, false, false);
  SurfacePtr hardware = Paint(false, false, true);
  int differing = 0;
  for (int y = 14; y < 62; ++y)
    for (int x = 14; x < 62; ++x)
      if (!(PixelAt(software.get(), x, y) == PixelAt(hardware.get(), x, y))) ++differing;
  EXPECT_GT(differing, 200);  // the two pictures are not the same
  // Outside the 80-pixel picture square nothing but text: nothing drawn in
  // the picture column's right part nor past the text limit.
  for (int y = 0; y < kRowHeight; ++y) {
    EXPECT_EQ(PixelAt(hardware.get(), 78, y), (Pixel{255, 255, 255})) << y;
    for (int x = kWidth - 15; x < kWidth; ++x)
      ASSERT_EQ(PixelAt(hardware.get(), x, y), (Pixel{255, 255, 255})) << x << "," << y;
  }
  int ink = 0;
  for (int x = 80; x < kWidth - 15; ++x)
    if (PixelAt(hardware.get(), x, 15).red < 128) ++ink;
  EXPECT_GT(ink, 20);  // the display name line
}

std::vector<BYTE> MakeCertificate() {
  std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(
      EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256"), &EVP_PKEY_free);
  foundation::Unique<X509, X509_free> cert(X509_new());
  if (!key || !cert) return {};
  X509_set_version(cert.get(), 2);
  const unsigned char serial[] = {0x01, 0xA2, 0x3F};
  ASN1_INTEGER* number = ASN1_INTEGER_new();
  ASN1_STRING_set(number, serial, sizeof serial);
  X509_set_serialNumber(cert.get(), number);
  ASN1_INTEGER_free(number);
  X509_NAME* name = X509_get_subject_name(cert.get());
  X509_NAME_add_entry_by_txt(name, "O", MBSTRING_UTF8,
                             reinterpret_cast<const unsigned char*>("Test Org"), -1, -1, 0);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8,
                             reinterpret_cast<const unsigned char*>("Alice"), -1, -1, 0);
  X509_set_issuer_name(cert.get(), name);
  X509_gmtime_adj(X509_getm_notBefore(cert.get()), 0);
  X509_gmtime_adj(X509_getm_notAfter(cert.get()), 86400);
  X509_set_pubkey(cert.get(), key.get());
  X509_EXTENSION* usage = X509V3_EXT_conf_nid(nullptr, nullptr, NID_key_usage,
                                              "critical,digitalSignature,keyAgreement");
  X509_add_ext(cert.get(), usage, -1);
  X509_EXTENSION_free(usage);
  if (!X509_sign(cert.get(), key.get(), EVP_sha256())) return {};
  unsigned char* der = nullptr;
  const int size = i2d_X509(cert.get(), &der);
  if (size <= 0) return {};
  std::vector<BYTE> bytes(der, der + size);
  OPENSSL_free(der);
  return bytes;
}

std::string Value(const std::vector<std::pair<std::string, std::string>>& lines,
                  const std::string& label) {
  for (const auto& [name, value] : lines)
    if (name == label) return value;
  return "<missing>";
}

TEST(SelectDialogDetails, CertificateFieldsAndFingerprints) {
  const std::vector<BYTE> der = MakeCertificate();
  ASSERT_FALSE(der.empty());
  const auto lines = DescribeCertificate(der);
  EXPECT_NE(Value(lines, "Subject").find("CN = Alice"), std::string::npos);
  EXPECT_NE(Value(lines, "Issuer").find("O = Test Org"), std::string::npos);
  EXPECT_EQ(Value(lines, "Serial number"), "01 A2 3F");
  EXPECT_EQ(Value(lines, "Key usage"), "Digital Signature, Key Agreement");
  EXPECT_NE(Value(lines, "Valid to"), "");

  // The fingerprints are digests of the whole DER, computed here directly.
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  ASSERT_TRUE(EVP_Digest(der.data(), der.size(), digest, &size, EVP_sha256(), nullptr));
  char first[4];
  std::snprintf(first, sizeof first, "%02X:", digest[0]);
  const std::string sha256 = Value(lines, "SHA-256 fingerprint");
  EXPECT_EQ(sha256.size(), size * 3 - 1);
  EXPECT_EQ(sha256.substr(0, 3), first);
  std::snprintf(first, sizeof first, "%02X", digest[size - 1]);
  EXPECT_EQ(sha256.substr(sha256.size() - 2), std::string(first, 2));
  EXPECT_EQ(Value(lines, "SHA-1 fingerprint").size(), 20u * 3 - 1);

  std::vector<BYTE> broken(der.begin(), der.begin() + static_cast<long>(der.size() / 2));
  EXPECT_TRUE(DescribeCertificate(broken).empty());
  EXPECT_TRUE(DescribeCertificate({}).empty());
}

}  // namespace
}  // namespace select_dialog
