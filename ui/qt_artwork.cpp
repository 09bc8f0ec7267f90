#include "ui/qt_artwork.h"

#include <QByteArray>
#include <QFile>
#include <QFontDatabase>
#include <QFontMetrics>
#include <QRawFont>
#include <QStringList>
#include <algorithm>
#include <array>

#include "resources/dialog_templates.h"

// The resources sit in a static library: nothing refers to their object
// file, so the linker would drop it without this call.
static void InitArtworkResources() { Q_INIT_RESOURCE(quil_artwork); }

namespace ui {

namespace {

// Where Debian's fonts-wine puts its TrueType files. Its Tahoma Bold is left
// out: at dialog sizes it draws hardly heavier than the regular face, while
// Qt's emboldened regular face reads as bold as Windows' does.
constexpr const char kWineFontDir[] = "/usr/share/wine/fonts/";
constexpr std::array<const char*, 2> kWineFonts = {"tahoma.ttf", "ms_sans_serif.ttf"};
// The value font's height as Windows gives it (a positive LOGFONT height:
// ascent plus descent, not the em).
constexpr int kValueFontCellHeight = 13;
constexpr int kScreenDpi = 96;  // dialog fonts are sized as on a 96 dpi Windows screen

void EnsureArtwork() {
    static const bool loaded = [] {
        InitArtworkResources();
        return true;
    }();
    (void)loaded;
}

bool FamilyExists(const QString& family) { return QFontDatabase::families().contains(family, Qt::CaseInsensitive); }

QString ChooseFamily(const std::string& name) {
    RegisterDialogFonts();
    QString family = QString::fromStdString(name);
    // The logical dialog font of NT-family Windows is Tahoma.
    if (family.compare("MS Shell Dlg", Qt::CaseInsensitive) == 0 ||
        family.compare("MS Shell Dlg 2", Qt::CaseInsensitive) == 0) {
        family = "Tahoma";
    }
    if (FamilyExists(family)) return family;
    if (FamilyExists("Tahoma")) return "Tahoma";
    return QFontDatabase::systemFont(QFontDatabase::GeneralFont).family();
}

int BigEndian16(const QByteArray& table, int offset) {
    return (static_cast<uint8_t>(table[offset]) << 8) | static_cast<uint8_t>(table[offset + 1]);
}

}  // namespace

int WindowsFontHeight(const QFont& font) {
    // Wine's fonts carry bitmap strikes for dialog sizes, whose height Qt
    // reports; their outlines' Windows ascent and descent may give a taller
    // cell (Tahoma) or a shorter one (MS Sans Serif). Windows' cell for both
    // is the taller. unitsPerEm sits at byte 18 of the head table,
    // usWinAscent and usWinDescent at bytes 74 and 76 of the OS/2 table.
    const int qtHeight = QFontMetrics(font).height();
    const QRawFont raw = QRawFont::fromFont(font);
    const QByteArray head = raw.fontTable("head");
    const QByteArray os2 = raw.fontTable("OS/2");
    const int pixels = font.pixelSize();
    if (!raw.isValid() || head.size() < 20 || os2.size() < 78 || pixels <= 0) return qtHeight;
    const int unitsPerEm = BigEndian16(head, 18);
    if (unitsPerEm == 0) return qtHeight;
    const auto scaled = [&](int units) { return (units * pixels + unitsPerEm / 2) / unitsPerEm; };
    return std::max(qtHeight, scaled(BigEndian16(os2, 74)) + scaled(BigEndian16(os2, 76)));
}

bool RegisterDialogFonts() {
    static const bool tahoma = [] {
        for (const char* file : kWineFonts) {
            const QString path = QString(kWineFontDir) + file;
            if (QFile::exists(path)) QFontDatabase::addApplicationFont(path);
        }
        return FamilyExists("Tahoma");
    }();
    return tahoma;
}

QFont DialogFont(const std::string& name, int points) {
    QFont font(ChooseFamily(name));
    // As Windows does: -MulDiv(points, dpi, 72) pixels, rounded.
    font.setPixelSize((points * kScreenDpi + 36) / 72);
    font.setStyleHint(QFont::SansSerif);
    return font;
}

QFont BoldValueFont() {
    QFont font(ChooseFamily("Tahoma"));
    font.setBold(true);
    // The largest em whose cell fits the height (11 pixels for Tahoma).
    int pixels = kValueFontCellHeight;
    for (; pixels > 1; --pixels) {
        font.setPixelSize(pixels);
        if (WindowsFontHeight(font) <= kValueFontCellHeight) break;
    }
    font.setPixelSize(pixels);
    font.setStyleHint(QFont::SansSerif);
    return font;
}

QIcon ProgramIcon() {
    EnsureArtwork();
    QIcon icon;
    for (int size : {16, 32, 48, 64}) icon.addFile(QString(":/quil/icon_128_%1.png").arg(size), QSize(size, size));
    return icon;
}

QPixmap DialogBackground(int templateId) {
    EnsureArtwork();
    if (templateId == resources::kMainDialogId) return QPixmap(":/quil/background_104.png");
    return {};
}

}  // namespace ui
