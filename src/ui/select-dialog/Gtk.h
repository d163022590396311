// GTK for this program. The system's Windows types come first: their TRUE
// and FALSE are constants, which GLib's macros of the same names would
// break if they were defined before.
#pragma once

// clang-format off
#include "platform/base/WinTypes.h"
#include <gtk/gtk.h>
// clang-format on
