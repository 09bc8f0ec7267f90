#include "ui/qt_dialog.h"

#include <QComboBox>
#include <QContextMenuEvent>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QEventLoop>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMimeData>
#include <QPainter>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QRegularExpressionValidator>
#include <QScreen>
#include <QTextLayout>
#include <QTimer>
#include <QUrl>
#include <algorithm>

#include "ui/qt_artwork.h"

namespace ui {

using platform::ControlKind;
using platform::ControlTemplate;

namespace {

// Windows rounds dialog-unit conversions as MulDiv does.
int MulDiv(int value, int numerator, int denominator) {
    const long long product = static_cast<long long>(value) * numerator;
    const long long half = denominator / 2;
    return static_cast<int>(product >= 0 ? (product + half) / denominator : (product - half) / denominator);
}

// Windows never runs a window timer faster than this.
constexpr uint32_t kMinimumTimerMs = 10;
// The icon control shows the icon at its own size, whatever the template says.
constexpr int kIconControlSize = 32;

bool IsText(ControlKind kind) { return kind == ControlKind::Label || kind == ControlKind::Text; }

Qt::Alignment ToQtAlignment(platform::TextAlign align) {
    switch (align) {
    case platform::TextAlign::Left: return Qt::AlignLeft | Qt::AlignTop;
    case platform::TextAlign::Centre: return Qt::AlignHCenter | Qt::AlignTop;
    case platform::TextAlign::Right: return Qt::AlignRight | Qt::AlignTop;
    }
    return Qt::AlignLeft | Qt::AlignTop;
}

bool IsPrintable(const QKeyEvent& key) {
    const QString text = key.text();
    return !text.isEmpty() && text.at(0).isPrint() &&
           (key.modifiers() & (Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier)) == 0;
}

// A static text as Windows draws one: broken at words, lines as far apart
// as the font's Windows cell height, and a line that does not fit the
// control's height left out rather than cut through.
class StaticText final : public QLabel {
public:
    StaticText(const QString& text, QWidget* parent) : QLabel(text, parent) { setTextFormat(Qt::PlainText); }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        painter.setFont(font());
        painter.setPen(palette().color(isEnabled() ? QPalette::Normal : QPalette::Disabled, QPalette::WindowText));
        const int lineHeight = WindowsFontHeight(font());
        const qreal lift = (lineHeight - QFontMetrics(font()).height() + 1) / 2;
        const Qt::Alignment horizontal = alignment() & Qt::AlignHorizontal_Mask;
        QTextOption option;
        option.setWrapMode(QTextOption::WordWrap);
        int y = 0;
        for (const QString& paragraph : text().split('\n')) {
            if (y + lineHeight > height()) return;
            QTextLayout layout(paragraph, font());
            layout.setTextOption(option);
            layout.beginLayout();
            for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
                line.setLineWidth(width());
                line.setPosition(QPointF(0, 0));
            }
            layout.endLayout();
            for (int i = 0; i < layout.lineCount(); ++i) {
                if (y + lineHeight > height()) return;
                const QTextLine line = layout.lineAt(i);
                const qreal spare = width() - line.naturalTextWidth();
                const qreal x = horizontal == Qt::AlignRight ? spare : horizontal == Qt::AlignHCenter ? spare / 2 : 0;
                line.draw(&painter, QPointF(x, y + lift));
                y += lineHeight;
            }
            if (layout.lineCount() == 0) y += lineHeight;
        }
    }
};

}  // namespace

QtDialogWindow::QtDialogWindow(const platform::DialogTemplate& dialog, platform::DialogHandler& handler,
                               QWidget* parent)
    : QDialog(parent), m_template(dialog), m_handler(handler) {
    m_dialogFont = DialogFont(dialog.fontName, dialog.fontPoints);
    setFont(m_dialogFont);
    ComputeBaseUnits();
    m_background = DialogBackground(dialog.id);
    Qt::WindowFlags flags = Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint;
    if (dialog.systemMenu) flags |= Qt::WindowSystemMenuHint;
    setWindowFlags(flags);
    setWindowTitle(QString::fromStdString(dialog.caption));
    setWindowIcon(ProgramIcon());
    setAcceptDrops(dialog.acceptFiles);
    m_systemMenu = new QMenu(this);
    Build();
    const QRect client = DialogUnitsToPixels(0, 0, dialog.width, dialog.height);
    setFixedSize(client.size());
}

QtDialogWindow::~QtDialogWindow() = default;

void QtDialogWindow::ComputeBaseUnits() {
    // The dialog base units of Windows: the average width of the alphabet's
    // letters, rounded, and the font's height.
    const QFontMetrics metrics(m_dialogFont);
    const int alphabet = metrics.horizontalAdvance("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz");
    m_baseX = std::max(1, (alphabet / 26 + 1) / 2);
    m_baseY = std::max(1, WindowsFontHeight(m_dialogFont));
}

QRect QtDialogWindow::DialogUnitsToPixels(int x, int y, int width, int height) const {
    return {MulDiv(x, m_baseX, 4), MulDiv(y, m_baseY, 8), MulDiv(width, m_baseX, 4), MulDiv(height, m_baseY, 8)};
}

void QtDialogWindow::Build() {
    m_controls.reserve(m_template.controls.size());
    for (const ControlTemplate& control : m_template.controls) {
        QWidget* widget = MakeControl(control);
        if (control.hidden) widget->hide();
        if (control.id >= 0 && m_byId.count(control.id) == 0) m_byId[control.id] = m_controls.size();
        m_controls.push_back({&control, widget});
    }
}

QWidget* QtDialogWindow::MakeControl(const ControlTemplate& control) {
    const QRect rect = DialogUnitsToPixels(control.x, control.y, control.width, control.height);
    const QString text = QString::fromStdString(control.text);
    const int id = control.id;
    QWidget* widget = nullptr;
    switch (control.kind) {
    case ControlKind::Label:
    case ControlKind::Text: {
        auto* label = new StaticText(text, this);
        label->setAlignment(ToQtAlignment(control.align));
        label->setGeometry(rect);
        widget = label;
        break;
    }
    case ControlKind::Button: {
        auto* button = new QPushButton(text, this);
        // Enter goes to the template's default button (or the focused one),
        // as the dialog manager does; Qt's own default switching stays off.
        button->setAutoDefault(false);
        button->setDefault(control.defaultButton);
        if (control.defaultButton) m_defaultId = id;
        button->setGeometry(rect);
        connect(button, &QPushButton::clicked, this, [this, id] { Command(id); });
        widget = button;
        break;
    }
    case ControlKind::DropDownList: {
        auto* list = new QComboBox(this);
        list->setEditable(false);
        list->setInsertPolicy(QComboBox::NoInsert);
        // The template's height is that of the dropped list.
        list->setGeometry(rect.x(), rect.y(), rect.width(), list->sizeHint().height());
        const int itemHeight = std::max(1, QFontMetrics(m_dialogFont).height());
        list->setMaxVisibleItems(std::max(1, rect.height() / itemHeight - 1));
        connect(list, &QComboBox::activated, this, [this, id](int) {
            if (!m_ended) m_handler.OnSelectionChange(id);
        });
        widget = list;
        break;
    }
    case ControlKind::ProgressBar: {
        auto* bar = new QProgressBar(this);
        bar->setRange(0, 100);
        bar->setValue(0);
        bar->setTextVisible(false);
        bar->setGeometry(rect);
        widget = bar;
        break;
    }
    case ControlKind::Edit: {
        auto* edit = new QLineEdit(text, this);
        edit->setFrame(control.bordered);
        if (control.digitsOnly) {
            edit->setValidator(new QRegularExpressionValidator(QRegularExpression("[0-9]*"), edit));
        }
        edit->setGeometry(rect);
        edit->installEventFilter(this);
        widget = edit;
        break;
    }
    case ControlKind::Icon: {
        auto* icon = new QLabel(this);
        icon->setPixmap(ProgramIcon().pixmap(kIconControlSize, kIconControlSize));
        icon->setGeometry(rect.x(), rect.y(), kIconControlSize, kIconControlSize);
        widget = icon;
        break;
    }
    }
    widget->setProperty("quilControlId", id);
    return widget;
}

int QtDialogWindow::Run() {
    // Placed first, so that boxes shown while the handler initialises are
    // centred where the window will be.
    CentreOnOwner();
    m_handler.OnInitDialog(*this);
    if (m_ended) return m_result;
    for (const Entry& entry : m_controls) {
        if (IsText(entry.control->kind)) ApplyColours(entry);
    }
    CentreOnOwner();
    setWindowModality(Qt::ApplicationModal);
    show();
    CentreOnOwner();  // again, now that the frame is known
    if (!m_ended) {
        QEventLoop loop;
        m_loop = &loop;
        loop.exec(QEventLoop::DialogExec);
        m_loop = nullptr;
    }
    hide();
    return m_result;
}

void QtDialogWindow::CentreOnOwner() {
    QRect area;
    if (parentWidget() != nullptr && parentWidget()->isVisible()) {
        area = parentWidget()->frameGeometry();
    } else {
        QScreen* screen = parentWidget() != nullptr ? parentWidget()->screen() : QGuiApplication::primaryScreen();
        if (screen == nullptr) return;
        area = screen->availableGeometry();
    }
    // move() places the frame; before the window is shown the frame is
    // the client area.
    QRect frame(QPoint(0, 0), frameGeometry().size());
    frame.moveCenter(area.center());
    move(frame.topLeft());
}

const QtDialogWindow::Entry* QtDialogWindow::Find(int id) const {
    const auto it = m_byId.find(id);
    return it == m_byId.end() ? nullptr : &m_controls[it->second];
}

template <typename Widget>
Widget* QtDialogWindow::As(int id) const {
    const Entry* entry = Find(id);
    return entry == nullptr ? nullptr : qobject_cast<Widget*>(entry->widget);
}

QWidget* QtDialogWindow::Control(int id) const {
    const Entry* entry = Find(id);
    return entry == nullptr ? nullptr : entry->widget;
}

std::vector<QWidget*> QtDialogWindow::Controls() const {
    std::vector<QWidget*> widgets;
    widgets.reserve(m_controls.size());
    for (const Entry& entry : m_controls) widgets.push_back(entry.widget);
    return widgets;
}

void QtDialogWindow::Command(int id) {
    if (!m_ended) m_handler.OnCommand(id);
}

void QtDialogWindow::ApplyColours(const Entry& entry) {
    const platform::ControlColours colours = m_handler.OnControlColour(entry.control->id);
    QPalette palette = this->palette();
    if (colours.custom) {
        palette.setColor(QPalette::WindowText, QColor::fromRgb(static_cast<QRgb>(colours.textRgb)));
    }
    entry.widget->setPalette(palette);
    // A transparent text shows the window's background through; any other is
    // drawn on the dialog colour.
    entry.widget->setAutoFillBackground(!colours.transparent);
    entry.widget->update();
}

void QtDialogWindow::SetText(int id, const std::string& text) {
    const QString value = QString::fromStdString(text);
    if (auto* label = As<QLabel>(id)) {
        label->setText(value);
    } else if (auto* button = As<QPushButton>(id)) {
        button->setText(value);
    } else if (auto* edit = As<QLineEdit>(id)) {
        edit->setText(value);
    }
}

std::string QtDialogWindow::Text(int id) const {
    if (auto* label = As<QLabel>(id)) return label->text().toStdString();
    if (auto* button = As<QPushButton>(id)) return button->text().toStdString();
    if (auto* edit = As<QLineEdit>(id)) return edit->text().toStdString();
    if (auto* list = As<QComboBox>(id)) return list->currentText().toStdString();
    return {};
}

void QtDialogWindow::Show(int id, bool shown) {
    const Entry* entry = Find(id);
    if (entry == nullptr) return;
    entry->widget->setVisible(shown);
    if (shown && IsText(entry->control->kind)) ApplyColours(*entry);
}

bool QtDialogWindow::IsShown(int id) const {
    const Entry* entry = Find(id);
    return entry != nullptr && !entry->widget->isHidden();
}

void QtDialogWindow::Enable(int id, bool enabled) {
    if (const Entry* entry = Find(id)) entry->widget->setEnabled(enabled);
}

bool QtDialogWindow::IsEnabled(int id) const {
    const Entry* entry = Find(id);
    return entry != nullptr && entry->widget->isEnabledTo(this);
}

void QtDialogWindow::SetFont(int id, platform::FontRole font) {
    const Entry* entry = Find(id);
    if (entry == nullptr) return;
    entry->widget->setFont(font == platform::FontRole::Bold ? BoldValueFont() : m_dialogFont);
}

void QtDialogWindow::RefreshColours(int id) {
    const Entry* entry = Find(id);
    if (entry != nullptr && IsText(entry->control->kind)) ApplyColours(*entry);
}

void QtDialogWindow::SetCaption(const std::string& caption) { setWindowTitle(QString::fromStdString(caption)); }

void QtDialogWindow::ListClear(int id) {
    if (auto* list = As<QComboBox>(id)) list->clear();
}

int QtDialogWindow::ListAdd(int id, const std::string& text, uint32_t itemData) {
    auto* list = As<QComboBox>(id);
    if (list == nullptr) return -1;
    list->addItem(QString::fromStdString(text), QVariant::fromValue(itemData));
    return list->count() - 1;
}

int QtDialogWindow::ListCount(int id) const {
    const auto* list = As<QComboBox>(id);
    return list == nullptr ? 0 : list->count();
}

std::string QtDialogWindow::ListText(int id, int index) const {
    const auto* list = As<QComboBox>(id);
    if (list == nullptr || index < 0 || index >= list->count()) return {};
    return list->itemText(index).toStdString();
}

uint32_t QtDialogWindow::ListItemData(int id, int index) const {
    const auto* list = As<QComboBox>(id);
    if (list == nullptr || index < 0 || index >= list->count()) return 0;
    return list->itemData(index).toUInt();
}

void QtDialogWindow::ListSetText(int id, int index, const std::string& text) {
    auto* list = As<QComboBox>(id);
    if (list != nullptr && index >= 0 && index < list->count()) list->setItemText(index, QString::fromStdString(text));
}

void QtDialogWindow::ListSelect(int id, int index) {
    auto* list = As<QComboBox>(id);
    if (list == nullptr) return;
    list->setCurrentIndex(index >= 0 && index < list->count() ? index : -1);
}

int QtDialogWindow::ListSelection(int id) const {
    const auto* list = As<QComboBox>(id);
    return list == nullptr ? -1 : list->currentIndex();
}

void QtDialogWindow::ProgressSetRange(int id, int low, int high) {
    if (auto* bar = As<QProgressBar>(id)) {
        const int value = bar->value();
        bar->setRange(low, high);
        bar->setValue(std::clamp(value, low, std::max(low, high)));
    }
}

void QtDialogWindow::ProgressSetPos(int id, int pos) {
    // A position outside the range is pinned to its nearer end.
    if (auto* bar = As<QProgressBar>(id)) bar->setValue(std::clamp(pos, bar->minimum(), bar->maximum()));
}

int QtDialogWindow::ProgressPos(int id) const {
    const auto* bar = As<QProgressBar>(id);
    return bar == nullptr ? 0 : bar->value();
}

void QtDialogWindow::ProgressRange(int id, int& low, int& high) const {
    const auto* bar = As<QProgressBar>(id);
    low = bar == nullptr ? 0 : bar->minimum();
    high = bar == nullptr ? 0 : bar->maximum();
}

void QtDialogWindow::LimitText(int id, int characters) {
    if (auto* edit = As<QLineEdit>(id)) edit->setMaxLength(characters > 0 ? characters : 32767);
}

void QtDialogWindow::SetTimer(unsigned timerId, uint32_t intervalMs) {
    QTimer*& timer = m_timers[timerId];
    if (timer == nullptr) {
        timer = new QTimer(this);
        connect(timer, &QTimer::timeout, this, [this, timerId] {
            if (!m_ended) m_handler.OnTimer(timerId);
        });
    }
    timer->start(static_cast<int>(std::max(intervalMs, kMinimumTimerMs)));
}

void QtDialogWindow::KillTimer(unsigned timerId) {
    const auto it = m_timers.find(timerId);
    if (it == m_timers.end()) return;
    it->second->stop();
    it->second->deleteLater();
    m_timers.erase(it);
}

void QtDialogWindow::AddSystemMenuCommand(unsigned commandId, const std::string& text) {
    QAction* action = m_systemMenu->addAction(QString::fromStdString(text));
    connect(action, &QAction::triggered, this, [this, commandId] {
        if (!m_ended) m_handler.OnSystemCommand(commandId);
    });
}

void QtDialogWindow::EnableSystemMenu(bool enabled) {
    m_systemMenu->setEnabled(enabled);
    if (!enabled) m_systemMenu->close();
}

void QtDialogWindow::EndDialog(int result) {
    m_result = result;
    m_ended = true;
    for (auto& [id, timer] : m_timers) timer->stop();
    hide();
    if (m_loop != nullptr) m_loop->exit(result);
}

void QtDialogWindow::paintEvent(QPaintEvent* event) {
    if (m_background.isNull()) {
        QDialog::paintEvent(event);
        return;
    }
    // Bitmap 104 tiled from the top-left corner at its natural size.
    QPainter painter(this);
    painter.drawTiledPixmap(rect(), m_background, QPoint(0, 0));
}

void QtDialogWindow::keyPressEvent(QKeyEvent* event) {
    if (event->modifiers() != Qt::NoModifier && event->modifiers() != Qt::KeypadModifier) {
        QDialog::keyPressEvent(event);
        return;
    }
    switch (event->key()) {
    case Qt::Key_Return:
    case Qt::Key_Enter: {
        // A focused push button takes Enter; otherwise the default button,
        // or OK when the template names none.
        int id = m_defaultId;
        if (auto* focused = qobject_cast<QPushButton*>(focusWidget())) id = focused->property("quilControlId").toInt();
        const Entry* entry = Find(id);
        if (entry == nullptr || entry->widget->isEnabled()) Command(id);
        event->accept();
        return;
    }
    case Qt::Key_Escape:
        Command(platform::kIdCancel);
        event->accept();
        return;
    default: QDialog::keyPressEvent(event);
    }
}

void QtDialogWindow::closeEvent(QCloseEvent* event) {
    event->ignore();
    Command(platform::kIdCancel);
}

void QtDialogWindow::reject() { Command(platform::kIdCancel); }

void QtDialogWindow::contextMenuEvent(QContextMenuEvent* event) {
    if (m_systemMenu->isEmpty()) {
        QDialog::contextMenuEvent(event);
        return;
    }
    // A disabled menu is not offered: its loop would hold up the update's
    // waits while it is open.
    if (!m_systemMenu->isEnabled()) {
        event->accept();
        return;
    }
    m_systemMenu->exec(event->globalPos());
}

void QtDialogWindow::dragEnterEvent(QDragEnterEvent* event) {
    const QMimeData* mime = event->mimeData();
    if (mime == nullptr || !mime->hasUrls()) return;
    const QList<QUrl> urls = mime->urls();
    if (std::any_of(urls.begin(), urls.end(), [](const QUrl& url) { return url.isLocalFile(); })) {
        event->acceptProposedAction();
    }
}

void QtDialogWindow::dropEvent(QDropEvent* event) {
    const QMimeData* mime = event->mimeData();
    if (mime == nullptr) return;
    std::vector<std::string> paths;
    for (const QUrl& url : mime->urls()) {
        if (url.isLocalFile()) paths.push_back(url.toLocalFile().toStdString());
    }
    if (paths.empty()) return;
    event->acceptProposedAction();
    if (!m_ended) m_handler.OnDropFiles(paths);
}

bool QtDialogWindow::eventFilter(QObject* watched, QEvent* event) {
    auto* edit = qobject_cast<QLineEdit*>(watched);
    if (edit == nullptr || event->type() != QEvent::KeyPress) return QDialog::eventFilter(watched, event);
    const auto* key = static_cast<QKeyEvent*>(event);
    if (!IsPrintable(*key) || edit->hasSelectedText() || edit->text().size() < edit->maxLength()) return false;
    // The edit is full and the user typed on: the character is refused and
    // the handler told (a digits-only edit refuses other characters anyway).
    const int id = edit->property("quilControlId").toInt();
    const Entry* entry = Find(id);
    if (entry != nullptr && entry->control->digitsOnly && !key->text().at(0).isDigit()) return true;
    if (!m_ended) m_handler.OnEditFull(id);
    return true;
}

}  // namespace ui
