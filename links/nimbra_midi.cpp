#include "links/nimbra_midi.h"

#include <algorithm>
#include <cstring>
#include <span>

#include "platform/clock.h"
#include "platform/log.h"

namespace {

// Ports whose name ends like this are loop-back ports of a MIDI driver; a
// unit is never reached through them.
constexpr char kVirtualPortSuffix[] = "Virtual MIDI";
constexpr size_t kVirtualPortSuffixLength = sizeof kVirtualPortSuffix - 1;

// Send time-out: 0.64 ms per byte, in whole milliseconds.
uint32_t SendTimeoutMs(int length) { return static_cast<uint32_t>(length) * 640u / 1000u; }

unsigned long HandleValue(const void* handle) {
    return static_cast<unsigned long>(reinterpret_cast<uintptr_t>(handle));
}

// A probed input port during Open: its header and buffer come first so that
// the port, which may still hold them, goes first when the entry is destroyed.
struct ProbeEntry {
    platform::MidiHeader header{};
    std::array<uint8_t, CNimbraMIDI::kProbeBufferSize> buffer{};
    uint32_t id = 0;
    std::unique_ptr<platform::MidiInPort> port;
};

struct ProbeOutput {
    uint32_t id = 0;
    std::unique_ptr<platform::MidiOutPort> port;
};

// Resets, stops and closes a probed input port, ignoring the results.
void DropProbePort(ProbeEntry& entry) {
    if (!entry.port) return;
    entry.port->Reset();
    entry.port->Stop();
    entry.port->Close();
    entry.port.reset();
}

}  // namespace

CNimbraMIDI::CNimbraMIDI() = default;

CNimbraMIDI::~CNimbraMIDI() { ReleasePorts(); }

void CNimbraMIDI::ReleasePorts() {
    if (hMidiOut) {
        hMidiOut->Reset();
        hMidiOut->Close();
        hMidiOut.reset();
    }
    if (m_hMidiIn) {
        m_hMidiIn->Reset();
        m_hMidiIn->Stop();
        m_hMidiIn->Close();
        m_hMidiIn.reset();
    }
}

bool CNimbraMIDI::NameAllowed(const char* portName, const char* deviceName) {
    if (deviceName != nullptr && deviceName[0] != '\0' && std::strstr(portName, deviceName) == nullptr) {
        return false;
    }
    const size_t length = std::strlen(portName);
    return !(length >= kVirtualPortSuffixLength &&
             std::strcmp(portName + length - kVirtualPortSuffixLength, kVirtualPortSuffix) == 0);
}

bool CNimbraMIDI::IsCandidateOutput(const char* portName, uint16_t technology, const char* deviceName) {
    return technology == platform::kMidiTechHardwarePort && NameAllowed(portName, deviceName);
}

bool CNimbraMIDI::IsCandidateInput(const char* portName, const char* deviceName) {
    return NameAllowed(portName, deviceName);
}

std::array<uint8_t, 8> CNimbraMIDI::DiscoveryProbe(uint32_t outputId) {
    const uint32_t reg = 0x40u + (outputId & 0x3Fu);
    return {0xF0, 0x00, 0x01, 0x54, static_cast<uint8_t>(0x68u | (reg >> 5)), static_cast<uint8_t>((reg & 0x1Fu) << 2),
            0x00, 0xF7};
}

int CNimbraMIDI::ProbeAnswerOutputId(const uint8_t* answer, uint32_t length) {
    if (answer == nullptr || length != 10) return -1;
    if (answer[0] != 0xF0 || answer[1] != 0x00 || answer[2] != 0x01 || answer[3] != 0x54) return -1;
    const uint8_t b4 = answer[4];
    const uint8_t b5 = answer[5];
    if ((b4 & 0x78) != 0x70) return -1;
    const uint32_t reg = (static_cast<uint32_t>(b4 & 0x07) << 5) | ((b5 >> 2) & 0x1Fu);
    return static_cast<uint16_t>(reg - 0x40u);
}

uint32_t CNimbraMIDI::ConnectionInputId(uint16_t index) const {
    return index < kMaxPorts ? m_ConnectionInIds[index] : 0;
}

uint32_t CNimbraMIDI::ConnectionOutputId(uint16_t index) const {
    return index < kMaxPorts ? m_ConnectionOutIds[index] : 0;
}

namespace {

platform::WaitResult WaitOnPort(platform::MidiOutPort& port, uint32_t timeoutMs) { return port.WaitForSend(timeoutMs); }
platform::WaitResult WaitOnPort(platform::MidiInPort& port, uint32_t timeoutMs) { return port.WaitForInput(timeoutMs); }

}  // namespace

template <typename Port>
bool CNimbraMIDI::WaitForDone(Port* port, const platform::MidiHeader& header, uint32_t startMs, uint32_t timeoutMs) {
    platform::Clock& clock = platform::CurrentClock();
    for (;;) {
        // A header already handed back needs no poll (the messages sent one
        // after the other then reach the port together); the wait polls.
        if ((header.flags & platform::kMidiHeaderDone) != 0) return true;
        const uint32_t elapsed = clock.TickMs() - startMs;
        if (elapsed > timeoutMs) {
            LogMessage("CNimbraMIDI::WaitForDone Timeout! Elapsed %lu Timeout %lu\n",
                       static_cast<unsigned long>(elapsed), static_cast<unsigned long>(timeoutMs));
            return false;
        }
        // The port wakes the wait when the header may be done; nothing can
        // arrive on a port that failed to open, so its wait is the clock's.
        const uint32_t left = timeoutMs - elapsed + 1;
        if (port == nullptr || WaitOnPort(*port, left) == platform::WaitResult::Failed) clock.SleepMs(left);
    }
}

NimbraStatus CNimbraMIDI::Open() {
    Close();
    m_nSelectedConnection = kNoConnection;
    m_nInPorts = 0;
    m_nOutPorts = 0;
    m_nConnections = 0;

    platform::MidiSystem& system = platform::CurrentMidiSystem();

    std::array<ProbeOutput, kMaxPorts> outputs;
    const uint32_t outCount = std::min<uint32_t>(system.OutputCount(), kMaxPorts);
    for (uint32_t id = 0; id < outCount; ++id) {
        platform::MidiPortCaps caps;
        if (system.OutputCaps(id, caps) != platform::kMidiNoError) continue;
        if (!IsCandidateOutput(caps.name.data(), caps.technology, m_szDeviceName.data())) continue;
        LogMessage("Found Out Port [%s]\n", caps.name.data());
        outputs[static_cast<size_t>(m_nOutPorts++)].id = id;
    }
    if (m_nOutPorts == 0) {
        LogMessage("CNimbraMIDI::Open: No Output Ports\n");
        return kStatusFailed;
    }

    // About 4 KiB: kept off the stack.
    auto probes = std::make_unique<std::array<ProbeEntry, kMaxPorts>>();
    const uint32_t inCount = std::min<uint32_t>(system.InputCount(), kMaxPorts);
    for (uint32_t id = 0; id < inCount; ++id) {
        platform::MidiPortCaps caps;
        if (system.InputCaps(id, caps) != platform::kMidiNoError) continue;
        if (!IsCandidateInput(caps.name.data(), m_szDeviceName.data())) continue;
        LogMessage("Found In Port [%s]\n", caps.name.data());
        (*probes)[static_cast<size_t>(m_nInPorts++)].id = id;
    }
    if (m_nInPorts == 0) {
        LogMessage("CNimbraMIDI::Open: No Input Ports\n");
        return kStatusFailed;
    }
    const auto probeEntries = std::span(probes->data(), static_cast<size_t>(m_nInPorts));
    const auto outputEntries = std::span(outputs.data(), static_cast<size_t>(m_nOutPorts));

    // Every input listens before the first probe goes out. On an early return
    // the entries' ports are released as they are destroyed.
    for (ProbeEntry& entry : probeEntries) {
        const platform::MidiError error = system.OpenInput(entry.id, entry.port);
        if (error != platform::kMidiNoError) {
            entry.port.reset();
            LogMessage("CNimbraMIDI::Open: midiInOpen [%d] FAILED! [%d]\n", static_cast<int>(entry.id), error);
            continue;
        }
        entry.header = platform::MidiHeader{};
        entry.header.data = entry.buffer.data();
        entry.header.bufferLength = kProbeBufferSize;
        if (entry.port->PrepareHeader(entry.header) != platform::kMidiNoError) {
            LogMessage("midiInPrepareHeader Failed!\n");
            return kStatusFailed;
        }
        if (entry.port->AddBuffer(entry.header) != platform::kMidiNoError ||
            entry.port->Start() != platform::kMidiNoError) {
            LogMessage("midiInAddBuffer Failed!\n");
            return kStatusFailed;
        }
    }

    for (ProbeOutput& output : outputEntries) {
        const platform::MidiError error = system.OpenOutput(output.id, output.port);
        if (error != platform::kMidiNoError) {
            output.port.reset();
            LogMessage("CNimbraMIDI::Open: midiOutOpen [%d] FAILED! [%d]\n", static_cast<int>(output.id), error);
            continue;
        }
        const std::array<uint8_t, 8> probe = DiscoveryProbe(output.id);
        const NimbraStatus status = WriteOn(output.port, probe.data(), static_cast<int>(probe.size()));
        if (status != kStatusOk) {
            LogMessage("CNimbraMIDI::Open: Write Failed! %08lx\n", static_cast<unsigned long>(status));
            return kStatusFailed;
        }
    }

    // One answer window shared by all inputs: later entries get what is left.
    const uint32_t startMs = platform::CurrentClock().TickMs();
    for (ProbeEntry& entry : probeEntries) {
        if (!WaitForDone(entry.port.get(), entry.header, startMs, kDiscoveryTimeoutMs)) {
            LogMessage("CNimbraMIDI::Open: Input WaitForDone Timeout!\n");
            DropProbePort(entry);
            continue;
        }
        const int outputId = ProbeAnswerOutputId(entry.buffer.data(), entry.header.bytesRecorded);
        if (outputId >= 0 && m_nConnections < kMaxPorts) {
            m_ConnectionInIds[static_cast<size_t>(m_nConnections)] = entry.id;
            m_ConnectionOutIds[static_cast<size_t>(m_nConnections)] = static_cast<uint32_t>(outputId);
            ++m_nConnections;
        }
        if (entry.port->Reset() != platform::kMidiNoError) {
            LogMessage("midiInReset Failed!\n");
            return kStatusFailed;
        }
        const platform::MidiError stopError = entry.port->Stop();
        if (stopError != platform::kMidiNoError) {
            LogMessage("midiInStop Failed! %lu\n", static_cast<unsigned long>(stopError));
            return kStatusFailed;
        }
        const platform::MidiError closeError = entry.port->Close();
        entry.port.reset();
        if (closeError != platform::kMidiNoError) {
            LogMessage("midiInClose Failed!\n");
            return kStatusFailed;
        }
    }

    for (ProbeOutput& output : outputEntries) {
        if (!output.port) continue;
        if (output.port->Close() != platform::kMidiNoError) LogMessage("midiOutClose Failed!\n");
        output.port.reset();
    }

    return m_nConnections >= 1 ? kStatusOk : kStatusFailed;
}

NimbraStatus CNimbraMIDI::Close() {
    if (hMidiOut) {
        const platform::MidiError resetError = hMidiOut->Reset();
        if (resetError != platform::kMidiNoError) {
            LogMessage("midiOutReset Failed! %lu\n", static_cast<unsigned long>(resetError));
        }
        const platform::MidiError closeError = hMidiOut->Close();
        if (closeError != platform::kMidiNoError) {
            LogMessage("midiOutClose Failed! %lu\n", static_cast<unsigned long>(closeError));
        }
        hMidiOut.reset();
    }
    if (m_hMidiIn) {
        const platform::MidiError resetError = m_hMidiIn->Reset();
        if (resetError != platform::kMidiNoError) {
            LogMessage("midiInReset Failed! %lu\n", static_cast<unsigned long>(resetError));
        }
        const platform::MidiError stopError = m_hMidiIn->Stop();
        if (stopError != platform::kMidiNoError) {
            LogMessage("midiInStop Failed! %lu\n", static_cast<unsigned long>(stopError));
        }
        const platform::MidiError closeError = m_hMidiIn->Close();
        if (closeError != platform::kMidiNoError) {
            LogMessage("midiInClose Failed! %lu\n", static_cast<unsigned long>(closeError));
        }
        m_hMidiIn.reset();
    }
    m_nSelectedConnection = kNoConnection;
    return kStatusOk;
}

void CNimbraMIDI::SetDeviceName(const char* name) {
    m_szDeviceName.fill('\0');
    if (name == nullptr) return;
    const size_t length = strnlen(name, kDeviceNameSize - 1);
    std::memcpy(m_szDeviceName.data(), name, length);
}

bool CNimbraMIDI::IsOpen() { return hMidiOut != nullptr && m_hMidiIn != nullptr; }

NimbraStatus CNimbraMIDI::GetNumberOfConnections(uint16_t* count) {
    if (count == nullptr) return kStatusFailed;
    *count = static_cast<uint16_t>(m_nConnections);
    return kStatusOk;
}

NimbraStatus CNimbraMIDI::GetSelectedConnection(uint16_t* index) {
    if (index == nullptr) return kStatusFailed;
    *index = m_nSelectedConnection;
    return kStatusOk;
}

NimbraStatus CNimbraMIDI::SelectConnection(uint16_t index) {
    if (index == m_nSelectedConnection) return kStatusOk;
    Close();
    m_nSelectedConnection = index;
    // The table holds 64 connections; an index beyond it names no port.
    if (index >= kMaxPorts) {
        LogMessage("CNimbraMIDI::SelectConnection: no connection %u\n", static_cast<unsigned>(index));
        return kStatusFailed;
    }

    platform::MidiSystem& system = platform::CurrentMidiSystem();
    const uint32_t outId = m_ConnectionOutIds[index];
    if (system.OpenOutput(outId, hMidiOut) != platform::kMidiNoError) {
        hMidiOut.reset();
        LogMessage("midiOutOpen [%d] Failed!\n", static_cast<int>(outId));
        return kStatusFailed;
    }
    const uint32_t inId = m_ConnectionInIds[index];
    if (system.OpenInput(inId, m_hMidiIn) != platform::kMidiNoError) {
        m_hMidiIn.reset();
        LogMessage("midiInOpen [%d] Failed!\n", static_cast<int>(inId));
        return kStatusFailed;
    }
    for (int i = 0; i < kReceiveBuffers; ++i) Requeue(i);
    m_nNextBuffer = 0;
    const platform::MidiError startError = m_hMidiIn->Start();
    if (startError != platform::kMidiNoError) {
        LogMessage("CNimbraMIDI::SelectConnection: midiInStart Failed %d\n", startError);
        return kStatusFailed;
    }
    return kStatusOk;
}

NimbraStatus CNimbraMIDI::GetConnectionName(uint16_t index, char* buffer, int size) {
    if (buffer == nullptr || size <= 0) return kStatusFailed;
    const size_t capacity = static_cast<size_t>(size);
    const auto copyText = [&](const char* text) {
        const size_t length = std::min(std::strlen(text), capacity - 1);
        std::memcpy(buffer, text, length);
        buffer[length] = '\0';
    };
    platform::MidiPortCaps caps;
    if (index >= kMaxPorts ||
        platform::CurrentMidiSystem().OutputCaps(m_ConnectionOutIds[index], caps) != platform::kMidiNoError) {
        copyText("midiOutGetDevCaps Error");
        return kStatusFailed;
    }
    caps.name.back() = '\0';
    copyText(caps.name.data());
    return kStatusOk;
}

NimbraStatus CNimbraMIDI::Requeue(int index) {
    platform::MidiHeader& header = m_MidiHdr[static_cast<size_t>(index)];
    auto& buffer = m_RxBuffer[static_cast<size_t>(index)];
    header = platform::MidiHeader{};
    buffer.fill(0);
    header.data = buffer.data();
    header.bufferLength = kReceiveBufferSize;
    if (m_hMidiIn->PrepareHeader(header) != platform::kMidiNoError) {
        LogMessage("midiInPrepareHeader Failed!\n");
        return kStatusFailed;
    }
    if (m_hMidiIn->AddBuffer(header) != platform::kMidiNoError) {
        LogMessage("midiInAddBuffer Failed!\n");
        return kStatusFailed;
    }
    return kStatusOk;
}

NimbraStatus CNimbraMIDI::Write(const uint8_t* data, int length) { return WriteOn(hMidiOut, data, length); }

NimbraStatus CNimbraMIDI::WriteOn(std::unique_ptr<platform::MidiOutPort>& port, const uint8_t* data, int length) {
    if (!port) {
        LogMessage("CNimbraMIDI::Write: hMidiOut is NULL!\n");
        return kStatusFailed;
    }
    if (port->Unplugged()) {
        LogMessage("CNimbraMIDI::Write: the port has gone\n");
        if (&port == &hMidiOut) {
            ReleasePorts();
            m_nSelectedConnection = kNoConnection;
        }
        return kStatusFailed;
    }
    // The port only reads the message; header and data stay in place until
    // the port has handed the header back (or has been reset, below).
    platform::MidiHeader header{};
    header.data = const_cast<uint8_t*>(data);
    header.bufferLength = length > 0 ? static_cast<uint32_t>(length) : 0;
    const platform::MidiError prepareError = port->PrepareHeader(header);
    if (prepareError != platform::kMidiNoError) {
        LogMessage("CNimbraMIDI::Write: midiOutPrepareHeader [%d] Failed! [%08lx]\n", prepareError,
                   HandleValue(port.get()));
        return kStatusFailed;
    }
    NimbraStatus result = kStatusOk;
    const platform::MidiError sendError = port->SendLong(header);
    if (sendError != platform::kMidiNoError) {
        LogMessage("CNimbraMIDI::Write: midiOutLongMsg [%d] Failed!\n", sendError);
        result = kStatusFailed;
    }
    const uint32_t timeoutMs = SendTimeoutMs(static_cast<int>(header.bufferLength));
    if (!WaitForDone(port.get(), header, platform::CurrentClock().TickMs(), timeoutMs)) {
        LogMessage("CNimbraMIDI::Write: WaitForDone Timeout!\n");
        // The port must let go of the header before it goes out of scope. A
        // port whose reset does not hand it back is given up: releasing the
        // port returns every header it holds.
        port->Reset();
        if ((header.flags & platform::kMidiHeaderInQueue) != 0) {
            port.reset();
        } else {
            port->UnprepareHeader(header);
        }
        return kStatusFailed;
    }
    const platform::MidiError unprepareError = port->UnprepareHeader(header);
    if (unprepareError != platform::kMidiNoError) {
        LogMessage("CNimbraMIDI::Write: midiOutUnprepareHeader [%d] Failed!\n", unprepareError);
        return kStatusFailed;
    }
    return result;
}

platform::WaitResult CNimbraMIDI::WaitForInput(uint32_t timeoutMs) {
    if (!m_hMidiIn) return platform::WaitResult::Failed;
    // Bytes already in the next buffer are there to be read.
    if ((m_MidiHdr[m_nNextBuffer].flags & platform::kMidiHeaderDone) != 0) return platform::WaitResult::Ready;
    return m_hMidiIn->WaitForInput(timeoutMs);
}

NimbraStatus CNimbraMIDI::Read(uint8_t* buffer, int size, int* received) {
    int dummy = 0;
    int& count = received != nullptr ? *received : dummy;
    count = 0;
    if (!m_hMidiIn) {
        LogMessage("CNimbraMIDI::Read: m_hMidiIn NULL!\n");
        return kStatusFailed;
    }
    m_hMidiIn->Poll();
    if (m_hMidiIn->Unplugged() || (hMidiOut && hMidiOut->Unplugged())) {
        // The unit's device has gone: the link closes, so that the next use
        // opens it again and finds the unit wherever it comes back.
        LogMessage("CNimbraMIDI::Read: the port has gone\n");
        ReleasePorts();
        m_nSelectedConnection = kNoConnection;
        return kStatusFailed;
    }
    const int index = m_nNextBuffer;
    platform::MidiHeader& header = m_MidiHdr[static_cast<size_t>(index)];
    if ((header.flags & platform::kMidiHeaderDone) == 0 || header.bytesRecorded == 0) return kStatusOk;

    const uint32_t recorded = std::min(header.bytesRecorded, kReceiveBufferSize);
    const uint32_t room = (buffer != nullptr && size > 0) ? static_cast<uint32_t>(size) : 0;
    const uint32_t copied = std::min(room, recorded);
    if (copied > 0) std::memcpy(buffer, m_RxBuffer[static_cast<size_t>(index)].data(), copied);

    const platform::MidiError unprepareError = m_hMidiIn->UnprepareHeader(header);
    if (unprepareError != platform::kMidiNoError) {
        LogMessage("CNimbraMIDI::Read: midiInUnprepareHeader Failed! %08lx\n",
                   static_cast<unsigned long>(unprepareError));
        return kStatusFailed;
    }
    Requeue(index);
    m_nNextBuffer = static_cast<uint16_t>((index + 1) % kReceiveBuffers);
    count = static_cast<int>(copied);
    return kStatusOk;
}
