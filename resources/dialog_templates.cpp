#include "resources/dialog_templates.h"

namespace resources {

using platform::ControlKind;
using platform::ControlTemplate;
using platform::DialogTemplate;
using platform::TextAlign;

namespace {

ControlTemplate Label(int x, int y, int w, int h, const char* text, TextAlign align = TextAlign::Right) {
    ControlTemplate c;
    c.kind = ControlKind::Label;
    c.x = x, c.y = y, c.width = w, c.height = h;
    c.text = text;
    c.align = align;
    return c;
}

ControlTemplate Text(int id, int x, int y, int w, int h, const char* text = "", TextAlign align = TextAlign::Left,
                     bool hidden = false) {
    ControlTemplate c = Label(x, y, w, h, text, align);
    c.id = id;
    c.kind = ControlKind::Text;
    c.hidden = hidden;
    return c;
}

ControlTemplate Button(int id, int x, int y, int w, int h, const char* text, bool isDefault = false) {
    ControlTemplate c;
    c.id = id;
    c.kind = ControlKind::Button;
    c.x = x, c.y = y, c.width = w, c.height = h;
    c.text = text;
    c.align = TextAlign::Centre;
    c.defaultButton = isDefault;
    return c;
}

DialogTemplate MakeMainDialog() {
    DialogTemplate d;
    d.id = kMainDialogId;
    d.caption = "Quil Firmware Update";
    d.fontName = "Tahoma";
    d.fontPoints = 8;
    d.width = 330;
    d.height = 166;
    d.acceptFiles = true;
    auto& c = d.controls;
    c.push_back(Label(7, 9, 90, 8, "Select Unit to Update:"));
    ControlTemplate list;
    list.id = IDC_UNIT_LIST;
    list.kind = ControlKind::DropDownList;
    list.x = 100, list.y = 7, list.width = 210, list.height = 160;
    c.push_back(list);
    c.push_back(Label(7, 22, 90, 8, "Serial Number:"));
    c.push_back(Text(IDC_SERIAL, 100, 22, 70, 8));
    c.push_back(Label(7, 32, 90, 8, "Manufacture Date:"));
    c.push_back(Text(IDC_MANUFACTURE_DATE, 99, 32, 70, 8));
    c.push_back(Label(7, 42, 90, 8, "PCB Revision:"));
    c.push_back(Text(IDC_PCB_REVISION, 100, 42, 70, 8));
    c.push_back(Label(7, 52, 90, 8, "Current Firmware Version:"));
    c.push_back(Text(IDC_CURRENT_VERSION, 100, 52, 70, 8));
    c.push_back(Label(7, 62, 90, 8, "Current Firmware Date:"));
    c.push_back(Text(IDC_CURRENT_DATE, 100, 62, 70, 8));
    c.push_back(Label(175, 52, 75, 8, "New Firmware Version:"));
    c.push_back(Text(IDC_NEW_VERSION, 253, 52, 70, 8));
    c.push_back(Label(175, 62, 75, 8, "New Firmware Date:"));
    c.push_back(Text(IDC_NEW_DATE, 253, 62, 70, 8));
    ControlTemplate bankLabel = Text(IDC_BANK_LABEL, 7, 72, 90, 8, "PROM to Program:", TextAlign::Right);
    c.push_back(bankLabel);
    c.push_back(Text(IDC_BANK, 100, 72, 70, 8));
    c.push_back(Text(IDC_INFO_1, 7, 96, 316, 8, "This program will update the firmware on the selected device."));
    c.push_back(Text(IDC_INFO_2, 7, 107, 316, 16,
                     "Once the firmware update process has begun DO NOT interrupt it or power off this computer or "
                     "the Quil."));
    c.push_back(Text(IDC_INFO_3, 7, 125, 316, 16));
    c.push_back(Text(IDC_DO_NOT_INTERRUPT, 7, 108, 316, 8,
                     "Do NOT interrupt this process or power off this computer or the Quil!", TextAlign::Centre, true));
    c.push_back(Text(IDC_STATUS_LINE, 7, 132, 316, 10, "Programming...", TextAlign::Centre, true));
    c.push_back(Text(IDC_CONGRATULATIONS, 7, 95, 316, 38,
                     "Congratulations!\n\nThe firmware has been successfully updated on the Quil.  To complete this "
                     "process, you must POWER OFF the Quil using the main power switch on the back of the unit.",
                     TextAlign::Centre, true));
    c.push_back(Button(IDC_CANCEL, 107, 145, 50, 14, "Cancel", true));
    c.push_back(Button(IDC_UPDATE, 173, 145, 50, 14, "Update"));
    c.push_back(Button(IDC_CLOSE, 139, 145, 50, 14, "Close"));
    ControlTemplate progress;
    progress.id = IDC_PROGRESS;
    progress.kind = ControlKind::ProgressBar;
    progress.x = 7, progress.y = 145, progress.width = 316, progress.height = 14;
    progress.hidden = true;
    c.push_back(progress);
    return d;
}

DialogTemplate MakeAboutDialog() {
    DialogTemplate d;
    d.id = kAboutDialogId;
    d.caption = "About Quil Update";
    d.fontName = "MS Shell Dlg";
    d.fontPoints = 8;
    d.width = 235;
    d.height = 55;
    ControlTemplate icon;
    icon.kind = ControlKind::Icon;
    icon.x = 11, icon.y = 17, icon.width = 20, icon.height = 20;
    d.controls.push_back(icon);
    d.controls.push_back(Label(40, 10, 119, 8, "Quil Update Build 2018.11.27", TextAlign::Left));
    d.controls.push_back(
        Label(40, 25, 132, 16, "Firmware updater for Quil converters and their option cards", TextAlign::Left));
    d.controls.push_back(Button(platform::kIdOk, 178, 7, 50, 14, "OK", true));
    return d;
}

DialogTemplate MakeSerialNumberDialog() {
    DialogTemplate d;
    d.id = kSerialDialogId;
    d.caption = "Enter Quil Serial Number";
    d.fontName = "MS Sans Serif";
    d.fontPoints = 8;
    d.width = 186;
    d.height = 95;
    d.controls.push_back(Label(7, 7, 172, 26,
                               "The Serial Number on your Quil is blank.  To proceed, you must enter the serial "
                               "number printed on the back of your Quil.",
                               TextAlign::Left));
    d.controls.push_back(Label(7, 43, 47, 8, "Serial Number:", TextAlign::Left));
    ControlTemplate edit;
    edit.id = IDC_SERIAL_EDIT;
    edit.kind = ControlKind::Edit;
    edit.x = 55, edit.y = 42, edit.width = 65, edit.height = 14;
    edit.digitsOnly = true;
    edit.bordered = true;
    d.controls.push_back(edit);
    d.controls.push_back(Button(platform::kIdOk, 41, 74, 50, 14, "OK", true));
    d.controls.push_back(Button(platform::kIdCancel, 98, 74, 50, 14, "Cancel"));
    return d;
}

}  // namespace

const DialogTemplate& MainDialogTemplate() {
    static const DialogTemplate dialog = MakeMainDialog();
    return dialog;
}

const DialogTemplate& AboutDialogTemplate() {
    static const DialogTemplate dialog = MakeAboutDialog();
    return dialog;
}

const DialogTemplate& SerialNumberDialogTemplate() {
    static const DialogTemplate dialog = MakeSerialNumberDialog();
    return dialog;
}

}  // namespace resources
