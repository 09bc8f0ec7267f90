#include "ui/win32/win32_ui.h"

#include <windows.h>
// after windows.h
#include <commctrl.h>
#include <shellapi.h>

#include <cstdint>
#include <string>
#include <vector>

#include "platform/win32/wide_text.h"

namespace ui {

namespace {

using platform::win32::Narrow;
using platform::win32::Widen;

constexpr wchar_t kDefaultCaption[] = L"Quil Firmware Update";
constexpr int kProgramIcon = 128;
constexpr int kBackgroundBitmap = 104;
constexpr int kMainDialog = 102;

// An in-memory dialog template: DLGTEMPLATE, its caption and font, then one
// DWORD-aligned DLGITEMTEMPLATE per control, as the dialog manager reads it.
class TemplateWriter {
public:
    void Word(uint16_t w) { m_words.push_back(w); }
    void Dword(uint32_t d) {
        Word(static_cast<uint16_t>(d & 0xFFFF));
        Word(static_cast<uint16_t>(d >> 16));
    }
    void Text(const std::string& text) {
        for (wchar_t c : Widen(text)) Word(static_cast<uint16_t>(c));
        Word(0);
    }
    void AlignDword() {
        if (m_words.size() % 2 != 0) Word(0);
    }
    const DLGTEMPLATE* Get() const { return reinterpret_cast<const DLGTEMPLATE*>(m_words.data()); }

private:
    std::vector<uint16_t> m_words;
};

struct ControlClass {
    uint16_t atom = 0;  // 0: by name
    const char* name = "";
    DWORD style = 0;
};

ControlClass ClassOf(const platform::ControlTemplate& c) {
    const DWORD align = c.align == platform::TextAlign::Centre  ? SS_CENTER
                        : c.align == platform::TextAlign::Right ? SS_RIGHT
                                                                : SS_LEFT;
    switch (c.kind) {
    case platform::ControlKind::Label: return {0x0082, "", align};
    // Values are shown as they are: no '&' turns into an underline.
    case platform::ControlKind::Text: return {0x0082, "", align | SS_NOPREFIX};
    case platform::ControlKind::Button:
        return {0x0080, "", static_cast<DWORD>((c.defaultButton ? BS_DEFPUSHBUTTON : BS_PUSHBUTTON) | WS_TABSTOP)};
    case platform::ControlKind::DropDownList: return {0x0085, "", CBS_DROPDOWNLIST | WS_VSCROLL | WS_TABSTOP};
    case platform::ControlKind::ProgressBar: return {0, "msctls_progress32", WS_BORDER};
    case platform::ControlKind::Edit:
        return {0x0081, "",
                static_cast<DWORD>(ES_AUTOHSCROLL | WS_BORDER | WS_TABSTOP | (c.digitsOnly ? ES_NUMBER : 0))};
    case platform::ControlKind::Icon: return {0x0082, "", SS_ICON};
    }
    return {0x0082, "", SS_LEFT};
}

void WriteTemplate(const platform::DialogTemplate& dialog, TemplateWriter& w) {
    DWORD style = DS_MODALFRAME | DS_CENTER | DS_SETFONT | WS_POPUP | WS_CAPTION;
    if (dialog.systemMenu) style |= WS_SYSMENU;
    w.Dword(style);
    w.Dword(dialog.acceptFiles ? WS_EX_ACCEPTFILES : 0);
    w.Word(static_cast<uint16_t>(dialog.controls.size()));
    w.Word(0);
    w.Word(0);
    w.Word(static_cast<uint16_t>(dialog.width));
    w.Word(static_cast<uint16_t>(dialog.height));
    w.Word(0);  // no menu
    w.Word(0);  // the dialog class
    w.Text(dialog.caption);
    w.Word(static_cast<uint16_t>(dialog.fontPoints));
    w.Text(dialog.fontName.empty() ? std::string("MS Shell Dlg") : dialog.fontName);
    for (const platform::ControlTemplate& c : dialog.controls) {
        w.AlignDword();
        const ControlClass cls = ClassOf(c);
        DWORD controlStyle = WS_CHILD | cls.style | (c.hidden ? 0 : WS_VISIBLE);
        if (c.bordered && c.kind != platform::ControlKind::Edit) controlStyle |= WS_BORDER;
        w.Dword(controlStyle);
        w.Dword(0);
        w.Word(static_cast<uint16_t>(c.x));
        w.Word(static_cast<uint16_t>(c.y));
        w.Word(static_cast<uint16_t>(c.width));
        w.Word(static_cast<uint16_t>(c.height));
        w.Word(static_cast<uint16_t>(c.id < 0 ? 0xFFFF : c.id));
        if (cls.atom != 0) {
            w.Word(0xFFFF);
            w.Word(cls.atom);
        } else {
            w.Text(cls.name);
        }
        w.Text(c.kind == platform::ControlKind::Icon ? std::string() : c.text);
        w.Word(0);  // no creation data
    }
}

class Win32View;

// One open dialog: the window seam over a real HWND.
class Win32Window final : public platform::DialogWindow {
public:
    Win32Window(Win32View& view, const platform::DialogTemplate& dialog, platform::DialogHandler& handler)
        : m_view(view), m_template(dialog), m_handler(handler) {}
    ~Win32Window() override {
        if (m_bold != nullptr) DeleteObject(m_bold);
        if (m_background != nullptr) DeleteObject(m_background);
    }
    Win32Window(const Win32Window&) = delete;
    Win32Window& operator=(const Win32Window&) = delete;

    static INT_PTR CALLBACK Procedure(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);

    void SetText(int id, const std::string& text) override { SetDlgItemTextW(m_hwnd, id, Widen(text).c_str()); }
    std::string Text(int id) const override {
        const HWND control = Item(id);
        if (control == nullptr) return {};
        std::wstring text(static_cast<size_t>(GetWindowTextLengthW(control)) + 1, L'\0');
        text.resize(static_cast<size_t>(GetWindowTextW(control, text.data(), static_cast<int>(text.size()))));
        return Narrow(text);
    }
    void Show(int id, bool shown) override {
        if (HWND control = Item(id)) ShowWindow(control, shown ? SW_SHOW : SW_HIDE);
    }
    bool IsShown(int id) const override {
        const HWND control = Item(id);
        return control != nullptr && (GetWindowLongW(control, GWL_STYLE) & WS_VISIBLE) != 0;
    }
    void Enable(int id, bool enabled) override {
        if (HWND control = Item(id)) EnableWindow(control, enabled);
    }
    bool IsEnabled(int id) const override {
        const HWND control = Item(id);
        return control != nullptr && IsWindowEnabled(control);
    }
    void SetFont(int id, platform::FontRole font) override {
        const HWND control = Item(id);
        if (control == nullptr) return;
        HFONT chosen = font == platform::FontRole::Bold ? BoldFont() : DialogFontOf();
        SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(chosen), TRUE);
    }
    void RefreshColours(int id) override {
        if (HWND control = Item(id)) InvalidateRect(control, nullptr, TRUE);
    }
    void SetCaption(const std::string& caption) override { SetWindowTextW(m_hwnd, Widen(caption).c_str()); }

    void ListClear(int id) override { SendDlgItemMessageW(m_hwnd, id, CB_RESETCONTENT, 0, 0); }
    int ListAdd(int id, const std::string& text, uint32_t itemData) override {
        const LRESULT index =
            SendDlgItemMessageW(m_hwnd, id, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(Widen(text).c_str()));
        if (index >= 0) SendDlgItemMessageW(m_hwnd, id, CB_SETITEMDATA, static_cast<WPARAM>(index), itemData);
        return static_cast<int>(index);
    }
    int ListCount(int id) const override {
        return Item(id) == nullptr ? 0 : static_cast<int>(SendDlgItemMessageW(m_hwnd, id, CB_GETCOUNT, 0, 0));
    }
    std::string ListText(int id, int index) const override {
        const LRESULT length = SendDlgItemMessageW(m_hwnd, id, CB_GETLBTEXTLEN, static_cast<WPARAM>(index), 0);
        if (length < 0) return {};
        std::wstring text(static_cast<size_t>(length) + 1, L'\0');
        SendDlgItemMessageW(m_hwnd, id, CB_GETLBTEXT, static_cast<WPARAM>(index),
                            reinterpret_cast<LPARAM>(text.data()));
        text.resize(static_cast<size_t>(length));
        return Narrow(text);
    }
    uint32_t ListItemData(int id, int index) const override {
        const LRESULT data = SendDlgItemMessageW(m_hwnd, id, CB_GETITEMDATA, static_cast<WPARAM>(index), 0);
        return data == CB_ERR ? 0 : static_cast<uint32_t>(data);
    }
    void ListSetText(int id, int index, const std::string& text) override {
        const int count = ListCount(id);
        if (index < 0 || index >= count) return;
        const uint32_t data = ListItemData(id, index);
        const int selected = ListSelection(id);
        SendDlgItemMessageW(m_hwnd, id, CB_DELETESTRING, static_cast<WPARAM>(index), 0);
        SendDlgItemMessageW(m_hwnd, id, CB_INSERTSTRING, static_cast<WPARAM>(index),
                            reinterpret_cast<LPARAM>(Widen(text).c_str()));
        SendDlgItemMessageW(m_hwnd, id, CB_SETITEMDATA, static_cast<WPARAM>(index), data);
        if (selected >= 0) ListSelect(id, selected);
    }
    void ListSelect(int id, int index) override {
        SendDlgItemMessageW(m_hwnd, id, CB_SETCURSEL, static_cast<WPARAM>(index), 0);
    }
    int ListSelection(int id) const override {
        const LRESULT selected = SendDlgItemMessageW(m_hwnd, id, CB_GETCURSEL, 0, 0);
        return selected == CB_ERR ? -1 : static_cast<int>(selected);
    }

    void ProgressSetRange(int id, int low, int high) override {
        SendDlgItemMessageW(m_hwnd, id, PBM_SETRANGE32, static_cast<WPARAM>(low), high);
    }
    void ProgressSetPos(int id, int pos) override {
        SendDlgItemMessageW(m_hwnd, id, PBM_SETPOS, static_cast<WPARAM>(pos), 0);
    }
    int ProgressPos(int id) const override {
        return static_cast<int>(SendDlgItemMessageW(m_hwnd, id, PBM_GETPOS, 0, 0));
    }
    void ProgressRange(int id, int& low, int& high) const override {
        PBRANGE range{};
        SendDlgItemMessageW(m_hwnd, id, PBM_GETRANGE, FALSE, reinterpret_cast<LPARAM>(&range));
        low = range.iLow;
        high = range.iHigh;
    }

    void LimitText(int id, int characters) override {
        SendDlgItemMessageW(m_hwnd, id, EM_LIMITTEXT, static_cast<WPARAM>(characters), 0);
    }
    void SetTimer(unsigned timerId, uint32_t intervalMs) override { ::SetTimer(m_hwnd, timerId, intervalMs, nullptr); }
    void KillTimer(unsigned timerId) override { ::KillTimer(m_hwnd, timerId); }
    void AddSystemMenuCommand(unsigned commandId, const std::string& text) override {
        HMENU menu = GetSystemMenu(m_hwnd, FALSE);
        if (menu == nullptr) return;
        AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
        AppendMenuW(menu, MF_STRING, commandId, Widen(text).c_str());
        m_systemCommands.push_back(commandId);
        if (!m_systemMenuEnabled) EnableMenuItem(menu, commandId, MF_BYCOMMAND | MF_GRAYED);
    }
    // While disabled, neither the system menu nor the context menu opens
    // (their modal loops would hold up the update's waits), and our commands
    // are greyed out besides.
    void EnableSystemMenu(bool enabled) override {
        m_systemMenuEnabled = enabled;
        if (HMENU menu = GetSystemMenu(m_hwnd, FALSE)) {
            for (unsigned own : m_systemCommands) {
                EnableMenuItem(menu, own, MF_BYCOMMAND | (enabled ? MF_ENABLED : MF_GRAYED));
            }
        }
        if (!enabled) EndMenu();
    }
    void EndDialog(int result) override { ::EndDialog(m_hwnd, result); }

    HWND Handle() const { return m_hwnd; }

private:
    HWND Item(int id) const { return m_hwnd == nullptr ? nullptr : GetDlgItem(m_hwnd, id); }
    HFONT DialogFontOf() const { return reinterpret_cast<HFONT>(SendMessageW(m_hwnd, WM_GETFONT, 0, 0)); }
    HFONT BoldFont() {
        // The value font: Tahoma, 13 pixels high, bold.
        if (m_bold == nullptr) {
            m_bold = CreateFontW(13, 0, 0, 0, FW_BOLD, FALSE, FALSE, FALSE, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS,
                                 CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, DEFAULT_PITCH | FF_SWISS, L"Tahoma");
        }
        return m_bold;
    }
    INT_PTR Handle(UINT message, WPARAM wParam, LPARAM lParam);
    bool PaintBackground(HDC dc);

    Win32View& m_view;
    const platform::DialogTemplate& m_template;
    platform::DialogHandler& m_handler;
    HWND m_hwnd = nullptr;
    HFONT m_bold = nullptr;
    HBITMAP m_background = nullptr;
    std::vector<unsigned> m_systemCommands;
    bool m_systemMenuEnabled = true;
};

class Win32View final : public platform::UserInterface {
public:
    Win32View() {
        INITCOMMONCONTROLSEX controls{sizeof(INITCOMMONCONTROLSEX), ICC_PROGRESS_CLASS | ICC_STANDARD_CLASSES};
        InitCommonControlsEx(&controls);
    }

    platform::BoxAnswer ShowMessageBox(const platform::MessageBoxRequest& box) override {
        UINT type = 0;
        switch (box.buttons) {
        case platform::BoxButtons::Ok: type = MB_OK; break;
        case platform::BoxButtons::OkCancel: type = MB_OKCANCEL; break;
        case platform::BoxButtons::YesNo: type = MB_YESNO; break;
        case platform::BoxButtons::YesNoCancel: type = MB_YESNOCANCEL; break;
        case platform::BoxButtons::RetryCancel: type = MB_RETRYCANCEL; break;
        }
        switch (box.icon) {
        case platform::BoxIcon::None: break;
        case platform::BoxIcon::Information: type |= MB_ICONINFORMATION; break;
        case platform::BoxIcon::Warning: type |= MB_ICONWARNING; break;
        case platform::BoxIcon::Error: type |= MB_ICONERROR; break;
        case platform::BoxIcon::Question: type |= MB_ICONQUESTION; break;
        }
        static constexpr UINT kDefaults[] = {MB_DEFBUTTON1, MB_DEFBUTTON2, MB_DEFBUTTON3};
        if (box.defaultButton < 3) type |= kDefaults[box.defaultButton];
        const HWND owner = box.owned && !m_windows.empty() ? m_windows.back()->Handle() : nullptr;
        if (owner == nullptr) type |= MB_TASKMODAL | MB_SETFOREGROUND;
        const std::wstring caption = box.caption.empty() ? std::wstring(kDefaultCaption) : Widen(box.caption);
        switch (MessageBoxW(owner, Widen(box.text).c_str(), caption.c_str(), type)) {
        case IDCANCEL: return platform::BoxAnswer::Cancel;
        case IDYES: return platform::BoxAnswer::Yes;
        case IDNO: return platform::BoxAnswer::No;
        case IDRETRY: return platform::BoxAnswer::Retry;
        default: return platform::BoxAnswer::Ok;
        }
    }

    bool HandleOnePendingMessage() override {
        MSG msg{};
        if (!PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) return false;
        if (msg.message == WM_QUIT) {
            // Put back for the modal loop that owns it.
            PostQuitMessage(static_cast<int>(msg.wParam));
            return true;
        }
        const HWND dialog = m_windows.empty() ? nullptr : m_windows.back()->Handle();
        if (dialog == nullptr || !IsDialogMessageW(dialog, &msg)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
        return true;
    }

    int RunModalDialog(const platform::DialogTemplate& dialog, platform::DialogHandler& handler) override {
        TemplateWriter writer;
        WriteTemplate(dialog, writer);
        Win32Window window(*this, dialog, handler);
        m_windows.push_back(&window);
        const HWND owner = m_windows.size() > 1 ? m_windows[m_windows.size() - 2]->Handle() : nullptr;
        const INT_PTR result = DialogBoxIndirectParamW(GetModuleHandleW(nullptr), writer.Get(), owner,
                                                       Win32Window::Procedure, reinterpret_cast<LPARAM>(&window));
        m_windows.pop_back();
        return static_cast<int>(result);
    }

    void SetWaitCursor(bool on) override {
        m_wait = on;
        SetCursor(LoadCursorW(nullptr, on ? IDC_WAIT : IDC_ARROW));
    }
    bool Waiting() const { return m_wait; }

private:
    std::vector<Win32Window*> m_windows;
    bool m_wait = false;
};

INT_PTR CALLBACK Win32Window::Procedure(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_INITDIALOG) {
        auto* window = reinterpret_cast<Win32Window*>(lParam);
        SetWindowLongPtrW(hwnd, DWLP_USER, lParam);
        window->m_hwnd = hwnd;
    }
    auto* window = reinterpret_cast<Win32Window*>(GetWindowLongPtrW(hwnd, DWLP_USER));
    return window == nullptr ? FALSE : window->Handle(message, wParam, lParam);
}

bool Win32Window::PaintBackground(HDC dc) {
    if (m_background == nullptr) return false;
    BITMAP info{};
    GetObjectW(m_background, sizeof info, &info);
    if (info.bmWidth <= 0 || info.bmHeight <= 0) return false;
    RECT client{};
    GetClientRect(m_hwnd, &client);
    HDC source = CreateCompatibleDC(dc);
    const HGDIOBJ previous = SelectObject(source, m_background);
    // Left to right, top to bottom from the top-left corner, at natural size.
    for (LONG y = 0; y < client.bottom; y += info.bmHeight) {
        for (LONG x = 0; x < client.right; x += info.bmWidth)
            BitBlt(dc, x, y, info.bmWidth, info.bmHeight, source, 0, 0, SRCCOPY);
    }
    SelectObject(source, previous);
    DeleteDC(source);
    return true;
}

INT_PTR Win32Window::Handle(UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_INITDIALOG: {
        const HINSTANCE module = GetModuleHandleW(nullptr);
        if (HICON icon = LoadIconW(module, MAKEINTRESOURCEW(kProgramIcon))) {
            SendMessageW(m_hwnd, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icon));
            SendMessageW(m_hwnd, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(icon));
            for (const platform::ControlTemplate& c : m_template.controls) {
                if (c.kind == platform::ControlKind::Icon && c.id >= 0)
                    SendDlgItemMessageW(m_hwnd, c.id, STM_SETICON, reinterpret_cast<WPARAM>(icon), 0);
            }
        }
        if (m_template.id == kMainDialog)
            m_background = static_cast<HBITMAP>(
                LoadImageW(module, MAKEINTRESOURCEW(kBackgroundBitmap), IMAGE_BITMAP, 0, 0, LR_DEFAULTCOLOR));
        m_handler.OnInitDialog(*this);
        return TRUE;
    }
    case WM_COMMAND: {
        const int id = LOWORD(wParam);
        const UINT code = HIWORD(wParam);
        if (lParam != 0 && code == CBN_SELCHANGE) {
            m_handler.OnSelectionChange(id);
        } else if (lParam != 0 && code == EN_MAXTEXT) {
            m_handler.OnEditFull(id);
        } else if (code == BN_CLICKED || lParam == 0) {
            m_handler.OnCommand(id);
        }
        return TRUE;
    }
    case WM_TIMER: m_handler.OnTimer(static_cast<unsigned>(wParam)); return TRUE;
    case WM_CONTEXTMENU:
        if (m_systemMenuEnabled) return FALSE;
        SetWindowLongPtrW(m_hwnd, DWLP_MSGRESULT, 0);
        return TRUE;
    case WM_SYSCOMMAND: {
        const unsigned command = static_cast<unsigned>(wParam & 0xFFF0);
        if (!m_systemMenuEnabled && (command == SC_KEYMENU || command == SC_MOUSEMENU)) {
            SetWindowLongPtrW(m_hwnd, DWLP_MSGRESULT, 0);
            return TRUE;
        }
        for (unsigned own : m_systemCommands) {
            if (own == command) {
                if (m_systemMenuEnabled) m_handler.OnSystemCommand(own);
                return TRUE;
            }
        }
        return FALSE;
    }
    case WM_DROPFILES: {
        const HDROP drop = reinterpret_cast<HDROP>(wParam);
        std::vector<std::string> paths;
        const UINT count = DragQueryFileW(drop, 0xFFFFFFFF, nullptr, 0);
        for (UINT i = 0; i < count; ++i) {
            std::wstring path(DragQueryFileW(drop, i, nullptr, 0) + 1, L'\0');
            path.resize(DragQueryFileW(drop, i, path.data(), static_cast<UINT>(path.size())));
            paths.push_back(Narrow(path));
        }
        DragFinish(drop);
        m_handler.OnDropFiles(paths);
        return TRUE;
    }
    case WM_CTLCOLORSTATIC: {
        const int id = GetDlgCtrlID(reinterpret_cast<HWND>(lParam));
        const platform::ControlColours colours = m_handler.OnControlColour(id < 0xFFFF ? id : -1);
        if (!colours.custom) return FALSE;
        const HDC dc = reinterpret_cast<HDC>(wParam);
        const uint32_t rgb = colours.textRgb;
        SetTextColor(dc, RGB((rgb >> 16) & 0xFF, (rgb >> 8) & 0xFF, rgb & 0xFF));
        if (!colours.transparent) return FALSE;
        SetBkMode(dc, TRANSPARENT);
        return reinterpret_cast<INT_PTR>(GetStockObject(HOLLOW_BRUSH));
    }
    case WM_ERASEBKGND:
        if (!PaintBackground(reinterpret_cast<HDC>(wParam))) return FALSE;
        SetWindowLongPtrW(m_hwnd, DWLP_MSGRESULT, TRUE);
        return TRUE;
    case WM_SETCURSOR:
        if (!m_view.Waiting()) return FALSE;
        SetCursor(LoadCursorW(nullptr, IDC_WAIT));
        SetWindowLongPtrW(m_hwnd, DWLP_MSGRESULT, TRUE);
        return TRUE;
    default: return FALSE;
    }
}

}  // namespace

std::unique_ptr<platform::UserInterface> MakeWin32View() { return std::make_unique<Win32View>(); }

}  // namespace ui
