// CGetSerialNumberDlg: asks for the serial number printed on the unit
// (template 105). OK takes exactly ten characters that read as a valid
// serial number of the expected model; anything else is refused and the
// dialog stays open.
#pragma once

#include <cstdint>
#include <optional>

#include "platform/dialog.h"

class CGetSerialNumberDlg final : public platform::DialogHandler {
public:
    // `expectedModel`: the model byte the number must carry (the unit's PID
    // or the card's type); a number of another model is refused here, before
    // anything is written.
    explicit CGetSerialNumberDlg(uint32_t prefill, std::optional<uint8_t> expectedModel = std::nullopt)
        : m_serial(prefill), m_expectedModel(expectedModel) {}

    // kIdOk with the entered number in Serial(), else kIdCancel.
    int DoModal();
    uint32_t Serial() const { return m_serial; }

    void OnInitDialog(platform::DialogWindow& window) override;
    void OnCommand(int id) override;
    void OnEditFull(int id) override;

private:
    void OnOK();

    uint32_t m_serial;
    std::optional<uint8_t> m_expectedModel;
    platform::DialogWindow* m_window = nullptr;
};
