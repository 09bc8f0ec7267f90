// The Qt window built from a dialog template: one QDialog whose controls
// stand where the template puts them (dialog units converted with the
// dialog font's metrics, as Windows does), wired to the core's handler.
// The handler alone ends the dialog: Enter, Escape and the close button
// only report commands.
#pragma once

#include <QDialog>
#include <QFont>
#include <QPixmap>
#include <QRect>
#include <map>
#include <string>
#include <vector>

#include "platform/dialog.h"

class QEventLoop;
class QMenu;
class QTimer;

namespace ui {

class QtDialogWindow final : public QDialog, public platform::DialogWindow {
public:
    // `dialog` must outlive the window. `parent`: the window that owns this
    // one (it is centred on it and blocked while this one runs), or null.
    QtDialogWindow(const platform::DialogTemplate& dialog, platform::DialogHandler& handler, QWidget* parent);
    ~QtDialogWindow() override;

    // Runs OnInitDialog, then shows the window modally until the handler
    // ends it; returns the result given to EndDialog.
    int Run();

    // The control with `id`, null when the template has none.
    QWidget* Control(int id) const;
    // Every control in template order (unnumbered labels included).
    std::vector<QWidget*> Controls() const;
    // A rectangle in dialog units, in pixels of this window's font.
    QRect DialogUnitsToPixels(int x, int y, int width, int height) const;
    // The window's context menu holding the system-menu commands.
    QMenu* SystemMenu() const { return m_systemMenu; }
    bool Ended() const { return m_ended; }

    // platform::DialogWindow
    void SetText(int id, const std::string& text) override;
    std::string Text(int id) const override;
    void Show(int id, bool shown) override;
    bool IsShown(int id) const override;
    void Enable(int id, bool enabled) override;
    bool IsEnabled(int id) const override;
    void SetFont(int id, platform::FontRole font) override;
    void RefreshColours(int id) override;
    void SetCaption(const std::string& caption) override;
    void ListClear(int id) override;
    int ListAdd(int id, const std::string& text, uint32_t itemData) override;
    int ListCount(int id) const override;
    std::string ListText(int id, int index) const override;
    uint32_t ListItemData(int id, int index) const override;
    void ListSetText(int id, int index, const std::string& text) override;
    void ListSelect(int id, int index) override;
    int ListSelection(int id) const override;
    void ProgressSetRange(int id, int low, int high) override;
    void ProgressSetPos(int id, int pos) override;
    int ProgressPos(int id) const override;
    void ProgressRange(int id, int& low, int& high) const override;
    void LimitText(int id, int characters) override;
    void SetTimer(unsigned timerId, uint32_t intervalMs) override;
    void KillTimer(unsigned timerId) override;
    void AddSystemMenuCommand(unsigned commandId, const std::string& text) override;
    void EnableSystemMenu(bool enabled) override;
    void EndDialog(int result) override;

protected:
    void paintEvent(QPaintEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void reject() override;
    void contextMenuEvent(QContextMenuEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    struct Entry {
        const platform::ControlTemplate* control;
        QWidget* widget;
    };

    void ComputeBaseUnits();
    void Build();
    QWidget* MakeControl(const platform::ControlTemplate& control);
    const Entry* Find(int id) const;
    template <typename Widget>
    Widget* As(int id) const;
    void ApplyColours(const Entry& entry);
    void Command(int id);
    void CentreOnOwner();

    const platform::DialogTemplate& m_template;
    platform::DialogHandler& m_handler;
    QFont m_dialogFont;
    int m_baseX = 6;   // average character width in pixels
    int m_baseY = 13;  // font height in pixels
    QPixmap m_background;
    std::vector<Entry> m_controls;
    std::map<int, size_t> m_byId;
    int m_defaultId = platform::kIdOk;
    std::map<unsigned, QTimer*> m_timers;
    QMenu* m_systemMenu = nullptr;
    QEventLoop* m_loop = nullptr;
    bool m_ended = false;
    int m_result = 0;
};

}  // namespace ui
