// Draws the selection dialog's pictures and writes them as PNG files and as
// a C++ source file that the resources library compiles in:
//   npsigil-artwork <output folder> <source file>
// 105.png: a paper certificate with a gold seal and a blue ribbon;
// 106.png: a smart card with a gold chip; 107.png: the frame laid over
// either picture in every row, transparent inside.
#include <cairo.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

namespace {

constexpr double kPi = 3.14159265358979323846;

struct Rgb {
  double r, g, b;
};

Rgb Hex(unsigned value) {
  return {((value >> 16) & 0xFF) / 255.0, ((value >> 8) & 0xFF) / 255.0, (value & 0xFF) / 255.0};
}

void RoundedRect(cairo_t* cr, double x, double y, double w, double h, double r) {
  cairo_new_sub_path(cr);
  cairo_arc(cr, x + w - r, y + r, r, -kPi / 2, 0);
  cairo_arc(cr, x + w - r, y + h - r, r, 0, kPi / 2);
  cairo_arc(cr, x + r, y + h - r, r, kPi / 2, kPi);
  cairo_arc(cr, x + r, y + r, r, kPi, 3 * kPi / 2);
  cairo_close_path(cr);
}

void FillVertical(cairo_t* cr, double y0, double y1, Rgb top, Rgb bottom, double alpha = 1.0) {
  cairo_pattern_t* p = cairo_pattern_create_linear(0, y0, 0, y1);
  cairo_pattern_add_color_stop_rgba(p, 0, top.r, top.g, top.b, alpha);
  cairo_pattern_add_color_stop_rgba(p, 1, bottom.r, bottom.g, bottom.b, alpha);
  cairo_set_source(cr, p);
  cairo_fill_preserve(cr);
  cairo_pattern_destroy(p);
}

// A soft drop shadow: the rounded shape grown step by step at falling
// opacity, which reads as a blur at these sizes.
void SoftShadow(cairo_t* cr, double x, double y, double w, double h, double r, double dy,
                int spread, double strength) {
  for (int i = spread; i >= 1; --i) {
    const double a = strength * (1.0 - static_cast<double>(i) / (spread + 1)) / spread * 2.2;
    RoundedRect(cr, x - i, y - i + dy, w + 2 * i, h + 2 * i, r + i);
    cairo_set_source_rgba(cr, 0.02, 0.10, 0.25, a);
    cairo_fill(cr);
  }
}

// The blue ground both pictures stand on: a rounded tile with a top light.
void BlueGround(cairo_t* cr, int size) {
  const double m = 4, s = size - 2 * m, r = 22;
  SoftShadow(cr, m, m, s, s, r, 1.5, 3, 0.35);
  RoundedRect(cr, m, m, s, s, r);
  FillVertical(cr, m, m + s, Hex(0x5AA7F0), Hex(0x1B4F9C));
  cairo_set_line_width(cr, 1.5);
  cairo_set_source_rgba(cr, 0.05, 0.20, 0.45, 0.8);
  cairo_stroke(cr);
  // Gloss over the upper half.
  cairo_save(cr);
  RoundedRect(cr, m + 1.5, m + 1.5, s - 3, s * 0.48, r - 1.5);
  cairo_clip(cr);
  cairo_pattern_t* gloss = cairo_pattern_create_linear(0, m, 0, m + s * 0.5);
  cairo_pattern_add_color_stop_rgba(gloss, 0, 1, 1, 1, 0.35);
  cairo_pattern_add_color_stop_rgba(gloss, 1, 1, 1, 1, 0.04);
  cairo_set_source(cr, gloss);
  cairo_paint(cr);
  cairo_pattern_destroy(gloss);
  cairo_restore(cr);
}

void GoldGradient(cairo_t* cr, double cx, double cy, double r) {
  cairo_pattern_t* p = cairo_pattern_create_radial(cx - r * 0.35, cy - r * 0.4, r * 0.1, cx, cy, r);
  cairo_pattern_add_color_stop_rgb(p, 0, 1.0, 0.95, 0.62);
  cairo_pattern_add_color_stop_rgb(p, 0.55, 0.96, 0.76, 0.22);
  cairo_pattern_add_color_stop_rgb(p, 1, 0.72, 0.50, 0.08);
  cairo_set_source(cr, p);
  cairo_fill_preserve(cr);
  cairo_pattern_destroy(p);
}

void Ribbon(cairo_t* cr, double x, double top, double w, double len, double tilt) {
  cairo_move_to(cr, x, top);
  cairo_line_to(cr, x + w, top);
  cairo_line_to(cr, x + w + tilt, top + len);
  cairo_line_to(cr, x + w / 2 + tilt, top + len - 6);
  cairo_line_to(cr, x + tilt, top + len);
  cairo_close_path(cr);
  FillVertical(cr, top, top + len, Hex(0x3F7BE0), Hex(0x15408F));
  cairo_set_line_width(cr, 1);
  cairo_set_source_rgba(cr, 0.05, 0.15, 0.40, 0.9);
  cairo_stroke(cr);
}

void DrawCertificate(cairo_t* cr) {
  BlueGround(cr, 128);
  const double x = 26, y = 20, w = 76, h = 88;
  SoftShadow(cr, x, y, w, h, 5, 3, 5, 0.45);
  RoundedRect(cr, x, y, w, h, 5);
  FillVertical(cr, y, y + h, Hex(0xFFFFFF), Hex(0xE6EDF6));
  cairo_set_line_width(cr, 1);
  cairo_set_source_rgb(cr, 0.62, 0.68, 0.76);
  cairo_stroke(cr);
  // An inner border, as printed certificates have.
  RoundedRect(cr, x + 5, y + 5, w - 10, h - 10, 3);
  cairo_set_line_width(cr, 1.2);
  cairo_set_source_rgba(cr, 0.20, 0.40, 0.70, 0.55);
  cairo_stroke(cr);
  // Heading and text lines.
  cairo_set_line_cap(cr, CAIRO_LINE_CAP_ROUND);
  cairo_set_source_rgb(cr, 0.16, 0.33, 0.62);
  cairo_set_line_width(cr, 4);
  cairo_move_to(cr, x + 20, y + 18);
  cairo_line_to(cr, x + w - 20, y + 18);
  cairo_stroke(cr);
  cairo_set_source_rgba(cr, 0.40, 0.45, 0.52, 0.85);
  cairo_set_line_width(cr, 2);
  const double lengths[] = {52, 44, 50, 30};
  for (int i = 0; i < 4; ++i) {
    cairo_move_to(cr, x + 12, y + 31 + i * 8);
    cairo_line_to(cr, x + 12 + lengths[i], y + 31 + i * 8);
    cairo_stroke(cr);
  }
  // Ribbon tails under the seal, then the seal with a serrated rim.
  const double cx = x + w - 20, cy = y + h - 22, r = 14;
  Ribbon(cr, cx - 11, cy + 2, 9, 24, -4);
  Ribbon(cr, cx + 2, cy + 2, 9, 24, 4);
  cairo_new_path(cr);
  for (int i = 0; i < 48; ++i) {
    const double a = i * kPi / 24;
    const double rr = (i % 2 == 0) ? r + 2.2 : r - 0.6;
    cairo_line_to(cr, cx + rr * std::cos(a), cy + rr * std::sin(a));
  }
  cairo_close_path(cr);
  GoldGradient(cr, cx, cy, r + 2);
  cairo_set_line_width(cr, 0.8);
  cairo_set_source_rgb(cr, 0.60, 0.40, 0.05);
  cairo_stroke(cr);
  cairo_arc(cr, cx, cy, r - 4.5, 0, 2 * kPi);
  cairo_set_line_width(cr, 1.2);
  cairo_set_source_rgba(cr, 0.62, 0.42, 0.06, 0.9);
  cairo_stroke(cr);
  cairo_arc(cr, cx - 3, cy - 4, 3.5, 0, 2 * kPi);
  cairo_set_source_rgba(cr, 1, 1, 1, 0.45);
  cairo_fill(cr);
}

void DrawSmartCard(cairo_t* cr) {
  BlueGround(cr, 128);
  const double x = 16, y = 32, w = 96, h = 64;
  SoftShadow(cr, x, y, w, h, 7, 3, 5, 0.5);
  RoundedRect(cr, x, y, w, h, 7);
  FillVertical(cr, y, y + h, Hex(0xFDFEFF), Hex(0xC9D8EA));
  cairo_set_line_width(cr, 1);
  cairo_set_source_rgb(cr, 0.50, 0.58, 0.70);
  cairo_stroke(cr);
  // A coloured band along the bottom of the card.
  cairo_save(cr);
  RoundedRect(cr, x, y, w, h, 7);
  cairo_clip(cr);
  cairo_rectangle(cr, x, y + h - 15, w, 15);
  FillVertical(cr, y + h - 15, y + h, Hex(0x3C78D8), Hex(0x1A4A9A));
  cairo_new_path(cr);
  cairo_restore(cr);
  // The gold chip with its contact pads.
  const double cx = x + 12, cy = y + 16, cw = 24, ch = 19;
  RoundedRect(cr, cx, cy, cw, ch, 3.5);
  GoldGradient(cr, cx + cw / 2, cy + ch / 2, cw * 0.75);
  cairo_set_line_width(cr, 1);
  cairo_set_source_rgb(cr, 0.58, 0.40, 0.06);
  cairo_stroke(cr);
  cairo_set_line_width(cr, 0.9);
  cairo_set_source_rgba(cr, 0.55, 0.37, 0.05, 0.9);
  cairo_move_to(cr, cx, cy + ch / 3);
  cairo_line_to(cr, cx + cw * 0.35, cy + ch / 3);
  cairo_move_to(cr, cx, cy + 2 * ch / 3);
  cairo_line_to(cr, cx + cw * 0.35, cy + 2 * ch / 3);
  cairo_move_to(cr, cx + cw, cy + ch / 3);
  cairo_line_to(cr, cx + cw * 0.65, cy + ch / 3);
  cairo_move_to(cr, cx + cw, cy + 2 * ch / 3);
  cairo_line_to(cr, cx + cw * 0.65, cy + 2 * ch / 3);
  cairo_rectangle(cr, cx + cw * 0.35, cy + ch * 0.22, cw * 0.30, ch * 0.56);
  cairo_stroke(cr);
  // Embossed number and name lines.
  cairo_set_line_cap(cr, CAIRO_LINE_CAP_ROUND);
  cairo_set_source_rgba(cr, 0.25, 0.32, 0.45, 0.75);
  cairo_set_line_width(cr, 2.5);
  for (int i = 0; i < 4; ++i) {
    cairo_move_to(cr, x + 44 + i * 12, y + 26);
    cairo_line_to(cr, x + 52 + i * 12, y + 26);
  }
  cairo_stroke(cr);
  cairo_set_line_width(cr, 2);
  cairo_move_to(cr, x + 12, y + 42);
  cairo_line_to(cr, x + 56, y + 42);
  cairo_stroke(cr);
}

void DrawFrame(cairo_t* cr) {
  // Outer soft edge, then a light bevelled border; the middle stays clear.
  const double s = 62;
  cairo_set_fill_rule(cr, CAIRO_FILL_RULE_EVEN_ODD);
  for (int i = 2; i >= 1; --i) {
    RoundedRect(cr, 2 - i, 2 - i + 0.5, s - 4 + 2 * i, s - 4 + 2 * i, 7 + i);
    RoundedRect(cr, 5, 5, s - 10, s - 10, 4);
    cairo_set_source_rgba(cr, 0.05, 0.15, 0.30, 0.10 * (3 - i));
    cairo_fill(cr);
  }
  RoundedRect(cr, 2, 2, s - 4, s - 4, 7);
  RoundedRect(cr, 5, 5, s - 10, s - 10, 4);
  FillVertical(cr, 2, s - 2, Hex(0xF4F8FD), Hex(0xA9BCD3));
  cairo_new_path(cr);
  RoundedRect(cr, 2.5, 2.5, s - 5, s - 5, 6.5);
  cairo_set_line_width(cr, 1);
  cairo_set_source_rgb(cr, 0.47, 0.56, 0.68);
  cairo_stroke(cr);
  RoundedRect(cr, 4.5, 4.5, s - 9, s - 9, 4.5);
  cairo_set_source_rgba(cr, 0.35, 0.45, 0.58, 0.8);
  cairo_stroke(cr);
}

struct Picture {
  int id;
  int size;
  std::function<void(cairo_t*)> draw;
};

cairo_status_t Append(void* closure, const unsigned char* data, unsigned int length) {
  auto* out = static_cast<std::vector<unsigned char>*>(closure);
  out->insert(out->end(), data, data + length);
  return CAIRO_STATUS_SUCCESS;
}

bool Render(const Picture& picture, std::vector<unsigned char>* png) {
  cairo_surface_t* surface =
      cairo_image_surface_create(CAIRO_FORMAT_ARGB32, picture.size, picture.size);
  cairo_t* cr = cairo_create(surface);
  cairo_set_antialias(cr, CAIRO_ANTIALIAS_BEST);
  picture.draw(cr);
  const bool drawn = cairo_status(cr) == CAIRO_STATUS_SUCCESS;
  cairo_destroy(cr);
  cairo_surface_flush(surface);
  const bool written =
      drawn && cairo_surface_write_to_png_stream(surface, Append, png) == CAIRO_STATUS_SUCCESS;
  cairo_surface_destroy(surface);
  return written;
}

bool WriteFile(const std::filesystem::path& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(text.data(), static_cast<std::streamsize>(text.size()));
  return static_cast<bool>(out);
}

void AppendArray(std::string& source, const char* name, const std::vector<unsigned char>& bytes) {
  source += "extern const BYTE " + std::string(name) + "[] = {";
  char hex[8];
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    source += (i % 16 == 0) ? "\n    " : " ";
    std::snprintf(hex, sizeof hex, "0x%02x,", bytes[i]);
    source += hex;
  }
  source += "\n};\nextern const DWORD " + std::string(name) +
            "Size = " + std::to_string(bytes.size()) + ";\n\n";
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s <output folder> <source file>\n", argv[0]);
    return 2;
  }
  const std::filesystem::path folder = argv[1];
  const Picture pictures[] = {
      {105, 128, DrawCertificate},
      {106, 128, DrawSmartCard},
      {107, 62, DrawFrame},
  };
  const char* names[] = {"kSystemCertificatePng", "kKeyCertificatePng", "kCertificateFramePng"};

  std::string source =
      "// Written by npsigil-artwork at build time; do not edit.\n"
      "#include \"resources/DialogArtwork.h\"\n\n";
  for (std::size_t i = 0; i < std::size(pictures); ++i) {
    std::vector<unsigned char> png;
    if (!Render(pictures[i], &png)) {
      std::fprintf(stderr, "npsigil-artwork: picture %d could not be drawn\n", pictures[i].id);
      return 1;
    }
    const std::string bytes(png.begin(), png.end());
    if (!WriteFile(folder / (std::to_string(pictures[i].id) + ".png"), bytes)) {
      std::fprintf(stderr, "npsigil-artwork: cannot write %d.png\n", pictures[i].id);
      return 1;
    }
    AppendArray(source, names[i], png);
  }
  if (!WriteFile(argv[2], source)) {
    std::fprintf(stderr, "npsigil-artwork: cannot write %s\n", argv[2]);
    return 1;
  }
  cairo_debug_reset_static_data();
  return 0;
}
