// The Qt view's program resources and fonts: the window icon (128), the
// main window's background bitmap (104), and the dialog fonts with Wine's
// metric-compatible Tahoma registered so that dialog units come out as they
// do on Windows.
#pragma once

#include <QFont>
#include <QIcon>
#include <QPixmap>
#include <QString>
#include <string>

namespace ui {

// Registers Tahoma and MS Sans Serif from Debian's
// fonts-wine with the application, once; later calls do nothing. Needs the
// QApplication. Returns true when Tahoma is there to use.
bool RegisterDialogFonts();

// The template's font at its size in points (as at 96 dots per inch), by a
// family that is there: the named one, Tahoma for "MS Shell Dlg", else the
// system's sans.
QFont DialogFont(const std::string& name, int points);
// The value font: Tahoma, bold, 13 pixels high as Windows measures a font
// (ascent plus descent).
QFont BoldValueFont();
// The font's cell height as Windows measures it (ascent plus descent in
// pixels), which sets the vertical dialog unit.
int WindowsFontHeight(const QFont& font);

// Icon 128 in all its sizes.
QIcon ProgramIcon();
// The background bitmap of a dialog template; null for templates without one.
QPixmap DialogBackground(int templateId);

}  // namespace ui
