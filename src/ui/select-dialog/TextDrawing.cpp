#include "ui/select-dialog/TextDrawing.h"

#include <glib.h>
#include <pango/pangocairo.h>

#include <map>
#include <memory>

#include "foundation/Unique.h"
#include "platform/base/WideString.h"

namespace select_dialog {
namespace {

constexpr const char* kFallbackFaces[] = {"DejaVu Sans", "Liberation Sans", "Noto Sans"};

bool HasFamily(PangoFontMap* map, const char* name) {
  PangoFontFamily** families = nullptr;
  int count = 0;
  pango_font_map_list_families(map, &families, &count);
  bool found = false;
  for (int i = 0; i < count && !found; ++i)
    found = g_ascii_strcasecmp(pango_font_family_get_name(families[i]), name) == 0;
  g_free(families);
  return found;
}

}  // namespace

std::string ResolveFontFace(const char* face) {
  static std::map<std::string, std::string> resolved;
  const std::string wanted = face ? face : "";
  auto it = resolved.find(wanted);
  if (it != resolved.end()) return it->second;
  PangoFontMap* map = pango_cairo_font_map_get_default();
  std::string chosen = "Sans";
  if (!wanted.empty() && HasFamily(map, wanted.c_str())) {
    chosen = wanted;
  } else {
    for (const char* fallback : kFallbackFaces) {
      if (HasFamily(map, fallback)) {
        chosen = fallback;
        break;
      }
    }
  }
  resolved.emplace(wanted, chosen);
  return chosen;
}

namespace {

foundation::Unique<PangoFontDescription, pango_font_description_free> FontOf(const char* face,
                                                                     int charHeight) {
  foundation::Unique<PangoFontDescription, pango_font_description_free> font(pango_font_description_new());
  const std::string family = ResolveFontFace(face);
  pango_font_description_set_family(font.get(), family.c_str());
  pango_font_description_set_weight(font.get(), PANGO_WEIGHT_NORMAL);
  pango_font_description_set_absolute_size(font.get(), charHeight * PANGO_SCALE);
  return font;
}

}  // namespace

int MeasureTextWidth(const char* face, std::u16string_view text, int charHeight) {
  if (text.empty() || charHeight <= 0) return 0;
  foundation::Unique<PangoContext, g_object_unref> context(
      pango_font_map_create_context(pango_cairo_font_map_get_default()));
  foundation::Unique<PangoLayout, g_object_unref> layout(pango_layout_new(context.get()));
  const auto font = FontOf(face, charHeight);
  pango_layout_set_font_description(layout.get(), font.get());
  const std::string utf8 = ToUtf8(text);
  pango_layout_set_text(layout.get(), utf8.data(), static_cast<int>(utf8.size()));
  int width = 0;
  int height = 0;
  pango_layout_get_pixel_size(layout.get(), &width, &height);
  return width;
}

void DrawTextWithFont(const char* face, cairo_t* cr, std::u16string_view text, int x, int y,
                      int rightLimit, int charWidth, int charHeight, Colour colour) {
  if (text.empty() || charHeight <= 0) return;
  foundation::Unique<PangoLayout, g_object_unref> layout(pango_cairo_create_layout(cr));
  const auto font = FontOf(face, charHeight);
  pango_layout_set_font_description(layout.get(), font.get());
  const std::string utf8 = ToUtf8(text);
  pango_layout_set_text(layout.get(), utf8.data(), static_cast<int>(utf8.size()));

  // The character width is the face's average advance; faces differ, so
  // the glyphs are scaled horizontally to the width asked for.
  double scaleX = 1.0;
  if (charWidth > 0) {
    foundation::Unique<PangoFontMetrics, pango_font_metrics_unref> metrics(
        pango_context_get_metrics(pango_layout_get_context(layout.get()), font.get(), nullptr));
    const int average = metrics ? pango_font_metrics_get_approximate_char_width(metrics.get()) : 0;
    if (average > 0) scaleX = static_cast<double>(charWidth) * PANGO_SCALE / average;
  }

  int width = 0;
  int height = 0;
  pango_layout_get_pixel_size(layout.get(), &width, &height);
  double right = x + width * scaleX;
  if (rightLimit > 0 && right > rightLimit) right = rightLimit;
  if (right <= x) return;

  cairo_save(cr);
  cairo_rectangle(cr, x, y, right - x, height);
  cairo_clip(cr);
  cairo_translate(cr, x, y);
  cairo_scale(cr, scaleX, 1.0);
  cairo_set_source_rgb(cr, colour.red / 255.0, colour.green / 255.0, colour.blue / 255.0);
  pango_cairo_show_layout(cr, layout.get());
  cairo_restore(cr);
}

}  // namespace select_dialog
