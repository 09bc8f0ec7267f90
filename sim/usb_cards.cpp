#include "sim/usb_cards.h"

#include <type_traits>

#include "platform/program_files.h"
#include "sim/unit_description.h"

namespace sim {

std::string FakeUsbProgramFiles() { return QUIL_FAKE_PROGRAM_FILES; }

std::string FakeUsbLibraryPath() {
    return FakeUsbProgramFiles() + "/Velk/Quil USB Audio Driver/QuilUSBapi" + platform::LibrarySuffix();
}

std::unique_ptr<FakeUsbAudio> FakeUsbAudio::Open(const std::string& path, std::string& error) {
    auto library = platform::DynamicLibrary::Open(path, error);
    if (!library) return nullptr;
    std::unique_ptr<FakeUsbAudio> fake(new FakeUsbAudio(std::move(library)));
    bool complete = true;
    const auto take = [&](const char* name, auto& slot) {
        slot = reinterpret_cast<std::remove_reference_t<decltype(slot)>>(fake->m_library->Symbol(name));
        complete = complete && slot != nullptr;
    };
    take("FakeTusbAudio_Reset", fake->m_reset);
    take("FakeTusbAudio_SetDeviceSerial", fake->m_setSerial);
    take("FakeTusbAudio_SetFault", fake->m_setFault);
    take("FakeTusbAudio_SetProgressStep", fake->m_setStep);
    take("FakeTusbAudio_SetDriverInfo", fake->m_setDriverInfo);
    take("FakeTusbAudio_SetImage", fake->m_setImage);
    take("FakeTusbAudio_GetImage", fake->m_getImage);
    take("FakeTusbAudio_Downloads", fake->m_downloads);
    take("FakeTusbAudio_SampleRate", fake->m_sampleRate);
    if (!complete) {
        error = path + ": not the project's fake USB audio library";
        return nullptr;
    }
    return fake;
}

void FakeUsbAudio::SetImage(uint32_t index, std::span<const uint8_t> image) {
    m_setImage(index, image.data(), static_cast<uint32_t>(image.size()));
}

std::vector<uint8_t> FakeUsbAudio::Image(uint32_t index) const {
    std::vector<uint8_t> image(m_getImage(index, nullptr, 0));
    m_getImage(index, image.data(), static_cast<uint32_t>(image.size()));
    return image;
}

void PresentUsbCards(FakeUsbAudio& fake, const std::vector<VirtualQuil*>& units) {
    fake.Reset(static_cast<uint32_t>(units.size()));
    for (uint32_t i = 0; i < units.size(); ++i) {
        const UnitDescription& unit = units[i]->Description();
        if (unit.card.type != kCardVxUsb) continue;
        fake.SetDeviceSerial(i, SerialText(unit.card.serial));
        fake.SetImage(i, units[i]->CardStore());
    }
}

void CollectUsbCards(FakeUsbAudio& fake, const std::vector<VirtualQuil*>& units) {
    for (uint32_t i = 0; i < units.size(); ++i) {
        if (units[i]->Description().card.type != kCardVxUsb || fake.Downloads(i) == 0) continue;
        PersistentState state = units[i]->SaveState();
        state.card = fake.Image(i);
        units[i]->RestoreState(state);
    }
}

}  // namespace sim
