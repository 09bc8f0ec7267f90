// The MIDI-port link: finds the pairs of MIDI input and output ports that
// reach a unit by sending a one-register status request on every candidate
// output port and watching every candidate input port, then carries the
// messages of one selected pair.
#pragma once

#include <array>
#include <cstdint>
#include <memory>

#include "links/nimbra_interface.h"
#include "platform/midi.h"

class CNimbraMIDI final : public CNimbraInterface {
public:
    // Ports and ids examined per direction.
    static constexpr int kMaxPorts = 64;
    static constexpr int kReceiveBuffers = 4;
    static constexpr uint32_t kReceiveBufferSize = 512;
    static constexpr uint32_t kProbeBufferSize = 32;
    // Time every probed input port together gets to answer.
    static constexpr uint32_t kDiscoveryTimeoutMs = 500;
    static constexpr size_t kDeviceNameSize = 256;

    CNimbraMIDI();
    // Releases any port still open (without logging); owners call Close first.
    ~CNimbraMIDI() override;
    CNimbraMIDI(const CNimbraMIDI&) = delete;
    CNimbraMIDI& operator=(const CNimbraMIDI&) = delete;

    NimbraStatus Open() override;
    NimbraStatus Close() override;
    void SetDeviceName(const char* name) override;
    bool IsOpen() override;
    NimbraStatus GetNumberOfConnections(uint16_t* count) override;
    NimbraStatus SelectConnection(uint16_t index) override;
    NimbraStatus GetSelectedConnection(uint16_t* index) override;
    NimbraStatus GetConnectionName(uint16_t index, char* buffer, int size) override;
    NimbraStatus Write(const uint8_t* data, int length) override;
    NimbraStatus Read(uint8_t* buffer, int size, int* received) override;
    platform::WaitResult WaitForInput(uint32_t timeoutMs) override;

    // The name rules: whether a port of this name (and, for an output, this
    // technology) may lead to a unit called `deviceName` (empty: any).
    static bool IsCandidateOutput(const char* portName, uint16_t technology, const char* deviceName);
    static bool IsCandidateInput(const char* portName, const char* deviceName);

    // The discovery probe for output port `outputId` (0..63): a status request
    // for register 0x40 + outputId.
    static std::array<uint8_t, 8> DiscoveryProbe(uint32_t outputId);
    // The output id an answer names, or -1 when the answer (of `length`
    // bytes) is not an accepted probe answer.
    static int ProbeAnswerOutputId(const uint8_t* answer, uint32_t length);

    // Input and output port ids of connection `index` (tests, diagnostics).
    uint32_t ConnectionInputId(uint16_t index) const;
    uint32_t ConnectionOutputId(uint16_t index) const;

private:
    static bool NameAllowed(const char* portName, const char* deviceName);
    // Sends one message on `port` and waits for it to be out. A port that
    // cannot hand the message back after a time-out is released (`port`
    // becomes null).
    NimbraStatus WriteOn(std::unique_ptr<platform::MidiOutPort>& port, const uint8_t* data, int length);
    // Waits on `port` (none: nothing can arrive) until the done flag of
    // `header` is set or more than `timeoutMs` have passed since `startMs`;
    // logs the time-out and returns false then.
    template <typename Port>
    static bool WaitForDone(Port* port, const platform::MidiHeader& header, uint32_t startMs, uint32_t timeoutMs);
    NimbraStatus Requeue(int index);
    // Resets, stops and closes the selected ports without logging.
    void ReleasePorts();

    uint16_t m_nSelectedConnection = kNoConnection;
    std::unique_ptr<platform::MidiInPort> m_hMidiIn;
    std::unique_ptr<platform::MidiOutPort> hMidiOut;
    int32_t m_nInPorts = 0;
    int32_t m_nOutPorts = 0;
    int32_t m_nConnections = 0;
    std::array<uint32_t, kMaxPorts> m_ConnectionInIds{};
    std::array<uint32_t, kMaxPorts> m_ConnectionOutIds{};
    std::array<platform::MidiHeader, kReceiveBuffers> m_MidiHdr{};
    std::array<std::array<uint8_t, kReceiveBufferSize>, kReceiveBuffers> m_RxBuffer{};
    uint16_t m_nNextBuffer = 0;
    std::array<char, kDeviceNameSize> m_szDeviceName{};
};
