// Text in a given face, character size and colour, cut at a right limit:
// how the dialog's header and the rows' four lines are drawn.
#pragma once

#include <string>
#include <string_view>

#include "ui/select-dialog/Gtk.h"

namespace select_dialog {

struct Colour {
  unsigned char red, green, blue;
};

// The face when this system has it, otherwise a sans face it has. Looked up
// once per face name.
std::string ResolveFontFace(const char* face);

// Draws `text` with its top-left corner at (x, y). `charHeight` is the
// character height in pixels, `charWidth` the average character width the
// glyphs are narrowed or widened to; a `rightLimit` above 0 cuts the text
// there. Line breaks in the text start new lines; nothing wraps.
void DrawTextWithFont(const char* face, cairo_t* cr, std::u16string_view text, int x, int y,
                      int rightLimit, int charWidth, int charHeight, Colour colour);

// The width in pixels DrawTextWithFont gives `text` without a character
// width (its longest line).
int MeasureTextWidth(const char* face, std::u16string_view text, int charHeight);

}  // namespace select_dialog
