// The Qt window built from the dialog templates: controls where the template
// puts them, the calls of the window seam, the keys and the close button that
// only report commands, drops, timers, colours, the context menu, boxes owned
// by the running dialog, and the real main window over the built-in units.
// Pictures of the main window go to the build folder.
#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QElapsedTimer>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QMimeData>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QTimer>
#include <QUrl>
#include <functional>
#include <iostream>
#include <set>
#include <string>
#include <vector>

#include "app/quil_update_dlg.h"
#include "platform/clock.h"
#include "platform/log.h"
#include "platform/system.h"
#include "resources/dialog_templates.h"
#include "sim/virtual_midi_setup.h"
#include "tests/ui/qt_test_application.h"
#include "ui/qt_artwork.h"
#include "ui/qt_dialog.h"
#include "ui/qt_ui.h"

namespace {

using namespace resources;
using platform::ControlKind;
using platform::DialogWindow;
using ui::QtDialogWindow;

constexpr uint32_t kBlue = 0x0000FF;

// Records what the window reports; the test's script decides what it does.
class ScriptHandler final : public platform::DialogHandler {
public:
    std::function<void(QtDialogWindow&)> onInit;
    std::function<void(int)> onCommand;
    std::function<void(unsigned)> onTimer;
    std::set<int> blueTexts;

    std::vector<int> commands;
    std::vector<int> selectionChanges;
    std::vector<std::vector<std::string>> drops;
    std::vector<unsigned> systemCommands;
    std::vector<int> fullEdits;
    QtDialogWindow* window = nullptr;

    void OnInitDialog(DialogWindow& w) override {
        window = dynamic_cast<QtDialogWindow*>(&w);
        ASSERT_NE(window, nullptr);
        if (onInit) onInit(*window);
    }
    void OnCommand(int id) override {
        commands.push_back(id);
        if (onCommand) onCommand(id);
    }
    void OnSelectionChange(int id) override { selectionChanges.push_back(id); }
    void OnEditFull(int id) override { fullEdits.push_back(id); }
    void OnDropFiles(const std::vector<std::string>& paths) override { drops.push_back(paths); }
    void OnTimer(unsigned id) override {
        if (onTimer) onTimer(id);
    }
    void OnSystemCommand(unsigned id) override { systemCommands.push_back(id); }
    platform::ControlColours OnControlColour(int id) override {
        return {blueTexts.count(id) != 0, blueTexts.count(id) != 0 ? kBlue : 0, true};
    }
};

class QtDialogTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { EnsureQtTestApplication(); }

    void SetUp() override {
        // A dialog the test fails to end is ended here, so nothing hangs.
        m_guard.setSingleShot(true);
        QObject::connect(&m_guard, &QTimer::timeout, [this] {
            if (QtDialogWindow* top = m_view.TopDialog()) {
                ADD_FAILURE() << "the dialog was still open";
                top->EndDialog(-99);
            }
        });
        m_guard.start(20000);
    }

    // Runs `step` from the dialog's own loop.
    static void Later(std::function<void()> step) { QTimer::singleShot(0, std::move(step)); }

    static void Key(QWidget* target, int key, const QString& text = {}) {
        QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier, text);
        QApplication::sendEvent(target, &press);
    }

    static std::string SavePicture(QWidget& window, const char* name) {
        const std::string path = std::string(QUIL_BINARY_DIR) + "/" + name;
        EXPECT_TRUE(window.grab().save(QString::fromStdString(path), "PNG"));
        std::cout << "picture of the window: " << path << "\n";
        return path;
    }

    ui::QtUserInterface m_view;
    QTimer m_guard;
};

TEST_F(QtDialogTest, BuildsEveryControlOfTheMainTemplateWhereItSays) {
    const platform::DialogTemplate& dialog = MainDialogTemplate();
    ScriptHandler handler;
    handler.onInit = [&](QtDialogWindow& w) {
        EXPECT_EQ(w.windowTitle(), "Quil Firmware Update");
        EXPECT_FALSE(w.windowFlags() & (Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint));
        EXPECT_TRUE(w.acceptDrops());
        EXPECT_EQ(w.minimumSize(), w.maximumSize());
        EXPECT_EQ(w.size(), w.DialogUnitsToPixels(0, 0, 330, 166).size());
        if (ui::RegisterDialogFonts()) {
            // Tahoma 8 at 96 dpi: base units 6 x 13, as on Windows.
            EXPECT_EQ(w.font().family(), "Tahoma");
            EXPECT_EQ(w.font().pixelSize(), 11);
            EXPECT_EQ(w.size(), QSize(495, 270));
        }
        const std::vector<QWidget*> widgets = w.Controls();
        ASSERT_EQ(widgets.size(), dialog.controls.size());
        for (size_t i = 0; i < widgets.size(); ++i) {
            const platform::ControlTemplate& c = dialog.controls[i];
            QWidget* widget = widgets[i];
            SCOPED_TRACE("control " + std::to_string(c.id) + " \"" + c.text + "\"");
            EXPECT_EQ(widget->property("quilControlId").toInt(), c.id);
            if (c.id >= 0) {
                EXPECT_EQ(w.Control(c.id), widget);
            }
            EXPECT_EQ(widget->isHidden(), c.hidden);
            const QRect want = w.DialogUnitsToPixels(c.x, c.y, c.width, c.height);
            switch (c.kind) {
            case ControlKind::Label:
            case ControlKind::Text: {
                auto* label = qobject_cast<QLabel*>(widget);
                ASSERT_NE(label, nullptr);
                EXPECT_EQ(label->text().toStdString(), c.text);
                EXPECT_EQ(label->geometry(), want);
                const Qt::Alignment h = c.align == platform::TextAlign::Right    ? Qt::AlignRight
                                        : c.align == platform::TextAlign::Centre ? Qt::AlignHCenter
                                                                                 : Qt::AlignLeft;
                EXPECT_EQ(label->alignment() & Qt::AlignHorizontal_Mask, h);
                break;
            }
            case ControlKind::Button: {
                auto* button = qobject_cast<QPushButton*>(widget);
                ASSERT_NE(button, nullptr);
                EXPECT_EQ(button->text().toStdString(), c.text);
                EXPECT_EQ(button->isDefault(), c.defaultButton);
                EXPECT_EQ(button->geometry(), want);
                break;
            }
            case ControlKind::DropDownList:
                ASSERT_NE(qobject_cast<QComboBox*>(widget), nullptr);
                EXPECT_EQ(widget->pos(), want.topLeft());
                EXPECT_EQ(widget->width(), want.width());
                break;
            case ControlKind::ProgressBar:
                ASSERT_NE(qobject_cast<QProgressBar*>(widget), nullptr);
                EXPECT_EQ(widget->geometry(), want);
                break;
            default: ADD_FAILURE() << "unexpected control kind";
            }
        }
        w.EndDialog(42);
    };
    EXPECT_EQ(m_view.RunModalDialog(dialog, handler), 42);
    EXPECT_EQ(m_view.TopDialog(), nullptr);
}

TEST_F(QtDialogTest, WindowCallsTakeEffect) {
    ScriptHandler handler;
    handler.onInit = [&](QtDialogWindow& w) {
        w.Show(IDC_PROGRESS, true);
        w.Show(IDC_UPDATE, false);
        EXPECT_TRUE(w.IsShown(IDC_PROGRESS));
        EXPECT_FALSE(w.Control(IDC_PROGRESS)->isHidden());
        EXPECT_FALSE(w.IsShown(IDC_UPDATE));
        w.Enable(IDC_CANCEL, false);
        EXPECT_FALSE(w.IsEnabled(IDC_CANCEL));
        EXPECT_FALSE(w.Control(IDC_CANCEL)->isEnabled());

        w.SetText(IDC_SERIAL, "3118220001");
        EXPECT_EQ(w.Text(IDC_SERIAL), "3118220001");
        EXPECT_EQ(qobject_cast<QLabel*>(w.Control(IDC_SERIAL))->text(), "3118220001");
        w.SetFont(IDC_SERIAL, platform::FontRole::Bold);
        EXPECT_TRUE(w.Control(IDC_SERIAL)->font().bold());
        if (ui::RegisterDialogFonts()) {
            // A 13-pixel Tahoma cell: 11 pixels to the em.
            EXPECT_EQ(w.Control(IDC_SERIAL)->font().pixelSize(), 11);
            EXPECT_EQ(ui::WindowsFontHeight(w.Control(IDC_SERIAL)->font()), 13);
        }
        w.SetCaption("Another caption");
        EXPECT_EQ(w.windowTitle(), "Another caption");

        EXPECT_EQ(w.ListAdd(IDC_UNIT_LIST, "Quil connected via Quil MIDI 2", 7), 0);
        EXPECT_EQ(w.ListAdd(IDC_UNIT_LIST, "A first-looking entry", 3), 1);  // unsorted
        w.ListSelect(IDC_UNIT_LIST, 1);
        w.ListSetText(IDC_UNIT_LIST, 1, "VX-HD in Quil connected via Quil MIDI 2");
        EXPECT_EQ(w.ListCount(IDC_UNIT_LIST), 2);
        EXPECT_EQ(w.ListText(IDC_UNIT_LIST, 1), "VX-HD in Quil connected via Quil MIDI 2");
        EXPECT_EQ(w.ListItemData(IDC_UNIT_LIST, 0), 7u);
        EXPECT_EQ(w.ListItemData(IDC_UNIT_LIST, 1), 3u);
        EXPECT_EQ(w.ListSelection(IDC_UNIT_LIST), 1);
        EXPECT_EQ(qobject_cast<QComboBox*>(w.Control(IDC_UNIT_LIST))->currentText(),
                  "VX-HD in Quil connected via Quil MIDI 2");
        w.ListClear(IDC_UNIT_LIST);
        EXPECT_EQ(w.ListCount(IDC_UNIT_LIST), 0);
        EXPECT_EQ(w.ListSelection(IDC_UNIT_LIST), -1);

        int low = -1, high = -1;
        w.ProgressRange(IDC_PROGRESS, low, high);
        EXPECT_EQ(low, 0);
        EXPECT_EQ(high, 100);
        w.ProgressSetRange(IDC_PROGRESS, 0, 41766);
        w.ProgressSetPos(IDC_PROGRESS, 20000);
        EXPECT_EQ(w.ProgressPos(IDC_PROGRESS), 20000);
        EXPECT_EQ(qobject_cast<QProgressBar*>(w.Control(IDC_PROGRESS))->value(), 20000);
        w.ProgressSetPos(IDC_PROGRESS, 50000);  // pinned to the end
        EXPECT_EQ(w.ProgressPos(IDC_PROGRESS), 41766);

        // Ids the window does not have do nothing.
        w.SetText(4711, "x");
        EXPECT_EQ(w.Text(4711), "");
        EXPECT_FALSE(w.IsShown(4711));
        w.EndDialog(0);
    };
    EXPECT_EQ(m_view.RunModalDialog(MainDialogTemplate(), handler), 0);
}

TEST_F(QtDialogTest, SelectionEnterEscapeAndCloseOnlyReportUntilTheHandlerEnds) {
    ScriptHandler handler;
    handler.onCommand = [&](int id) {
        if (id == IDC_UPDATE) handler.window->EndDialog(IDC_UPDATE);
    };
    handler.onInit = [&](QtDialogWindow& w) {
        w.ListAdd(IDC_UNIT_LIST, "Quil connected via Quil USB MIDI 1", 0);
        w.ListAdd(IDC_UNIT_LIST, "VX-DANTE in Quil connected via Quil USB MIDI 1", 1);
        w.ListSelect(IDC_UNIT_LIST, 0);  // the program's own choice is not reported
        Later([&] {
            w.Control(IDC_UNIT_LIST)->setFocus();
            Key(w.Control(IDC_UNIT_LIST), Qt::Key_Down);  // the user's is
            EXPECT_EQ(handler.selectionChanges, (std::vector<int>{IDC_UNIT_LIST}));
            EXPECT_EQ(w.ListSelection(IDC_UNIT_LIST), 1);
            Key(w.Control(IDC_UNIT_LIST), Qt::Key_Return);  // the list passes it on
            Key(&w, Qt::Key_Escape);
            w.close();
            EXPECT_EQ(handler.commands, (std::vector<int>{IDC_CANCEL, IDC_CANCEL, IDC_CANCEL}));
            EXPECT_TRUE(w.isVisible());
            EXPECT_FALSE(w.Ended());
            // A focused button takes Enter.
            w.Control(IDC_UPDATE)->setFocus();
            Key(w.Control(IDC_UPDATE), Qt::Key_Enter);
        });
    };
    EXPECT_EQ(m_view.RunModalDialog(MainDialogTemplate(), handler), IDC_UPDATE);
    EXPECT_EQ(handler.commands, (std::vector<int>{IDC_CANCEL, IDC_CANCEL, IDC_CANCEL, IDC_UPDATE}));
}

TEST_F(QtDialogTest, DropsTimersColoursAndTheContextMenuReachTheHandler) {
    ScriptHandler handler;
    handler.blueTexts = {IDC_INFO_1, IDC_INFO_2, IDC_INFO_3};
    const std::string image = std::string(QUIL_BINARY_DIR) + "/QUIL0900A.BIN";
    std::string picture;
    handler.onTimer = [&](unsigned id) {
        EXPECT_EQ(id, 7u);
        handler.window->KillTimer(7);
        picture = SavePicture(*handler.window, "qt_main_window_template.png");
        handler.window->EndDialog(7);
    };
    handler.onInit = [&](QtDialogWindow& w) {
        w.AddSystemMenuCommand(IDM_ABOUTBOX, kAboutMenuText);
        w.Show(IDC_CLOSE, false);  // the ready view
        for (int id : {IDC_SERIAL, IDC_MANUFACTURE_DATE, IDC_PCB_REVISION, IDC_CURRENT_VERSION, IDC_CURRENT_DATE,
                       IDC_NEW_VERSION, IDC_NEW_DATE, IDC_BANK, IDC_INFO_1, IDC_INFO_2, IDC_INFO_3}) {
            w.SetFont(id, platform::FontRole::Bold);
        }
        w.ListAdd(IDC_UNIT_LIST, "Quil connected via Quil USB MIDI 1", 0);
        w.ListSelect(IDC_UNIT_LIST, 0);
        const std::pair<int, const char*> values[] = {{IDC_SERIAL, "3118220001"},
                                                      {IDC_MANUFACTURE_DATE, "May 28, 2018"},
                                                      {IDC_PCB_REVISION, "B"},
                                                      {IDC_CURRENT_VERSION, "7.2"},
                                                      {IDC_CURRENT_DATE, "Jan 12, 2016"},
                                                      {IDC_NEW_VERSION, "8.3"},
                                                      {IDC_NEW_DATE, "Nov 27, 2018"},
                                                      {IDC_BANK, "2"}};
        for (const auto& [id, text] : values) w.SetText(id, text);
        Later([&] {
            QMimeData mime;
            mime.setUrls({QUrl::fromLocalFile(QString::fromStdString(image)), QUrl("https://example.org/x.bin")});
            QDragEnterEvent enter(QPoint(10, 10), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
            QApplication::sendEvent(&w, &enter);
            EXPECT_TRUE(enter.isAccepted());
            QDropEvent drop(QPointF(10, 10), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
            QApplication::sendEvent(&w, &drop);

            ASSERT_EQ(w.SystemMenu()->actions().size(), 1);
            EXPECT_EQ(w.SystemMenu()->actions()[0]->text(), kAboutMenuText);
            w.SystemMenu()->actions()[0]->trigger();

            const QPalette blue = w.Control(IDC_INFO_1)->palette();
            EXPECT_EQ(blue.color(QPalette::WindowText), QColor(0, 0, 255));
            EXPECT_NE(w.Control(IDC_SERIAL)->palette().color(QPalette::WindowText), QColor(0, 0, 255));
            EXPECT_FALSE(w.Control(IDC_INFO_1)->autoFillBackground());
            EXPECT_FALSE(w.Control(IDC_SERIAL)->autoFillBackground());
            // The core's wait loops handle the window's messages from inside
            // a handler call: the timer fires there.
            w.SetTimer(7, 10);
            QElapsedTimer waited;
            waited.start();
            while (picture.empty() && waited.elapsed() < 5000) m_view.HandleOnePendingMessage();
            EXPECT_TRUE(w.Ended());
        });
    };
    EXPECT_EQ(m_view.RunModalDialog(MainDialogTemplate(), handler), 7);
    EXPECT_EQ(handler.drops, (std::vector<std::vector<std::string>>{{image}}));
    EXPECT_EQ(handler.systemCommands, (std::vector<unsigned>{IDM_ABOUTBOX}));
    EXPECT_FALSE(picture.empty());
}

// While the window is busy its menu is not offered: the menu's loop (and the
// About box behind it) would hold up the update's waits.
TEST_F(QtDialogTest, ADisabledContextMenuIsNotOffered) {
    ScriptHandler handler;
    std::vector<bool> offered;
    handler.onInit = [&](QtDialogWindow& w) {
        w.AddSystemMenuCommand(IDM_ABOUTBOX, kAboutMenuText);
        Later([&] {
            for (bool enabled : {false, true}) {
                w.EnableSystemMenu(enabled);
                bool shown = false;
                QTimer::singleShot(50, [&] {
                    shown = QApplication::activePopupWidget() == w.SystemMenu();
                    if (shown) w.SystemMenu()->close();
                });
                QContextMenuEvent event(QContextMenuEvent::Mouse, QPoint(10, 10), w.mapToGlobal(QPoint(10, 10)));
                QApplication::sendEvent(&w, &event);
                // Without a menu the timer fires here instead.
                QElapsedTimer waited;
                waited.start();
                while (waited.elapsed() < 100) QApplication::processEvents();
                offered.push_back(shown);
            }
            w.EndDialog(3);
        });
    };
    EXPECT_EQ(m_view.RunModalDialog(MainDialogTemplate(), handler), 3);
    EXPECT_EQ(offered, (std::vector<bool>{false, true}));
    EXPECT_TRUE(handler.systemCommands.empty());
}

TEST_F(QtDialogTest, DigitsOnlyEditTakesItsLimitAndReportsTypingBeyondIt) {
    ScriptHandler handler;
    handler.onCommand = [&](int id) { handler.window->EndDialog(id); };
    handler.onInit = [&](QtDialogWindow& w) {
        w.LimitText(IDC_SERIAL_EDIT, 10);
        auto* edit = qobject_cast<QLineEdit*>(w.Control(IDC_SERIAL_EDIT));
        ASSERT_NE(edit, nullptr);
        EXPECT_TRUE(edit->hasFrame());
        Later([&w, &handler, edit] {
            edit->setFocus();
            for (QChar c : QString("31x18220001")) Key(edit, 0, QString(c));
            EXPECT_EQ(w.Text(IDC_SERIAL_EDIT), "3118220001");
            EXPECT_TRUE(handler.fullEdits.empty());
            Key(edit, 0, "9");
            Key(edit, 0, "y");  // refused as a letter, not reported
            EXPECT_EQ(handler.fullEdits, (std::vector<int>{IDC_SERIAL_EDIT}));
            EXPECT_EQ(w.Text(IDC_SERIAL_EDIT), "3118220001");
            SavePicture(w, "qt_serial_number_entry.png");
            Key(edit, Qt::Key_Return);  // OK is the default button
        });
    };
    EXPECT_EQ(m_view.RunModalDialog(SerialNumberDialogTemplate(), handler), platform::kIdOk);
}

TEST_F(QtDialogTest, AboutBoxShowsTheProgramIconAndEndsOnOk) {
    ScriptHandler handler;
    handler.onCommand = [&](int id) { handler.window->EndDialog(id); };
    handler.onInit = [&](QtDialogWindow& w) {
        EXPECT_EQ(w.windowTitle(), "About Quil Update");
        auto* icon = qobject_cast<QLabel*>(w.Controls().front());
        ASSERT_NE(icon, nullptr);
        EXPECT_EQ(icon->pixmap().size(), QSize(32, 32));
        EXPECT_EQ(icon->pos(), w.DialogUnitsToPixels(11, 17, 0, 0).topLeft());
        EXPECT_FALSE(w.windowIcon().isNull());
        Later([&] {
            SavePicture(w, "qt_about_box.png");
            Key(&w, Qt::Key_Return);
        });
    };
    EXPECT_EQ(m_view.RunModalDialog(AboutDialogTemplate(), handler), platform::kIdOk);
}

TEST_F(QtDialogTest, BoxesWhileADialogRunsBelongToTheTopDialog) {
    ScriptHandler handler;
    handler.onInit = [&](QtDialogWindow& w) {
        Later([&] {
            QTimer::singleShot(0, [&] {
                auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
                ASSERT_NE(box, nullptr);
                EXPECT_EQ(box->parentWidget(), &w);
                box->button(QMessageBox::Ok)->click();
            });
            platform::MessageBoxRequest request;
            request.text = "Invalid Serial Number!";
            request.icon = platform::BoxIcon::Warning;
            EXPECT_EQ(m_view.ShowMessageBox(request), platform::BoxAnswer::Ok);
            w.EndDialog(0);
        });
    };
    EXPECT_EQ(m_view.RunModalDialog(MainDialogTemplate(), handler), 0);
}

TEST_F(QtDialogTest, WaitCursorIsTheOverrideCursor) {
    m_view.SetWaitCursor(true);
    m_view.SetWaitCursor(true);
    ASSERT_NE(QApplication::overrideCursor(), nullptr);
    EXPECT_EQ(QApplication::overrideCursor()->shape(), Qt::WaitCursor);
    m_view.SetWaitCursor(false);
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);
}

TEST_F(QtDialogTest, RealMainWindowListsTheBuiltinUnits) {
    platform::VirtualClock clock;
    platform::ScopedClock scopedClock(clock);
    platform::ScriptedSystemInfo system;
    platform::ScopedSystem scopedSystem(system);
    SetLogFilePath(std::string(QUIL_BINARY_DIR) + "/qt_dialog_test.log");
    sim::ScopedBuiltinUnits units;
    platform::ScopedUi scopedView(m_view);
    CQuilUpdateDlg dialog("");

    // Once the window is up (discovery ran in its initialisation), look at
    // it, take its picture and press Cancel.
    std::vector<std::string> entries;
    bool inspected = false;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        QtDialogWindow* w = m_view.TopDialog();
        if (inspected || w == nullptr || !w->isVisible()) return;
        inspected = true;
        for (int i = 0; i < w->ListCount(IDC_UNIT_LIST); ++i) entries.push_back(w->ListText(IDC_UNIT_LIST, i));
        EXPECT_EQ(w->ListSelection(IDC_UNIT_LIST), 0);
        EXPECT_EQ(dialog.CurrentView(), ViewReady);
        EXPECT_TRUE(w->IsShown(IDC_UPDATE));
        EXPECT_FALSE(w->IsShown(IDC_PROGRESS));
        EXPECT_FALSE(w->IsShown(IDC_CLOSE));
        EXPECT_EQ(w->Text(IDC_SERIAL), "3118220001");
        EXPECT_EQ(w->Control(IDC_INFO_1)->palette().color(QPalette::WindowText), QColor(0, 0, 255));
        EXPECT_LE((w->frameGeometry().center() - w->screen()->availableGeometry().center()).manhattanLength(), 1);
        SavePicture(*w, "qt_main_window.png");
        // The About command opens its box on top of the window.
        QTimer::singleShot(0, [&, w] {
            QtDialogWindow* about = m_view.TopDialog();
            ASSERT_NE(about, w);
            EXPECT_EQ(about->windowTitle(), "About Quil Update");
            EXPECT_EQ(about->parentWidget(), w);
            EXPECT_TRUE(about->isVisible());
            qobject_cast<QPushButton*>(about->Control(platform::kIdOk))->click();
        });
        ASSERT_EQ(w->SystemMenu()->actions().size(), 1);
        w->SystemMenu()->actions()[0]->trigger();
        EXPECT_EQ(m_view.TopDialog(), w);
        qobject_cast<QPushButton*>(w->Control(IDC_CANCEL))->click();
    });
    poll.start(10);
    EXPECT_EQ(dialog.DoModal(), platform::kIdCancel);
    EXPECT_TRUE(inspected);
    EXPECT_EQ(entries, (std::vector<std::string>{
                           "Quil connected via Quil USB MIDI 1", "VX-DANTE in Quil connected via Quil USB MIDI 1",
                           "Quil connected via Quil MIDI 2", "VX-HD in Quil connected via Quil MIDI 2",
                           // Without the USB audio driver's library the VX-USB card is not listed.
                           "Quil connected via Quil USB MIDI 4"}));
    SetLogFilePath("QuilUpdate.log");
}

}  // namespace
