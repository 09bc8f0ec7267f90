// A dialog handler for view tests: records every message it gets as a line
// and lets a test hook the ones it cares about. OK and Cancel end the dialog
// with their id unless the test hooks commands.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "platform/dialog.h"

namespace test {

class DialogTestHandler : public platform::DialogHandler {
public:
    std::function<void(platform::DialogWindow&)> onInit;
    std::function<void(int)> onCommand;
    std::function<void(unsigned)> onTimer;
    std::function<platform::ControlColours(int)> colours;
    std::vector<std::string> calls;
    platform::DialogWindow* window = nullptr;

    void OnInitDialog(platform::DialogWindow& w) override {
        window = &w;
        calls.push_back("init");
        if (onInit) onInit(w);
    }
    void OnCommand(int id) override {
        calls.push_back("command " + std::to_string(id));
        if (onCommand) {
            onCommand(id);
        } else if (id == platform::kIdOk || id == platform::kIdCancel) {
            window->EndDialog(id);
        }
    }
    void OnSelectionChange(int id) override { calls.push_back("selection " + std::to_string(id)); }
    void OnEditFull(int id) override {
        calls.push_back("full " + std::to_string(id));
        OnCommand(platform::kIdOk);  // as the serial-number dialog does
    }
    void OnDropFiles(const std::vector<std::string>& paths) override {
        std::string line = "drop";
        for (const std::string& p : paths) line += ' ' + p;
        calls.push_back(line);
    }
    void OnTimer(unsigned timerId) override {
        calls.push_back("timer " + std::to_string(timerId));
        if (onTimer) onTimer(timerId);
    }
    void OnSystemCommand(unsigned commandId) override { calls.push_back("system " + std::to_string(commandId)); }
    platform::ControlColours OnControlColour(int id) override {
        return colours ? colours(id) : platform::ControlColours{};
    }
};

}  // namespace test
