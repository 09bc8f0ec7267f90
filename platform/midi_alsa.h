// MIDI ports on Linux through the ALSA sequencer. The sequencer calls go
// through AlsaApi, so that the port and SysEx handling can be driven by a
// stand-in where no sequencer exists; only midi_alsa.cpp talks to ALSA.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/midi.h"

namespace platform {

// Port capability and type bits, as the sequencer reports them.
inline constexpr unsigned kAlsaCapRead = 1u << 0;
inline constexpr unsigned kAlsaCapWrite = 1u << 1;
inline constexpr unsigned kAlsaCapSubsRead = 1u << 5;
inline constexpr unsigned kAlsaCapSubsWrite = 1u << 6;
inline constexpr unsigned kAlsaCapNoExport = 1u << 7;
inline constexpr unsigned kAlsaTypeMidiGeneric = 1u << 1;
inline constexpr unsigned kAlsaTypeSynth = 1u << 10;
inline constexpr unsigned kAlsaTypeHardware = 1u << 16;
inline constexpr unsigned kAlsaTypeSoftware = 1u << 17;
inline constexpr unsigned kAlsaTypeSynthesizer = 1u << 18;
inline constexpr unsigned kAlsaTypePort = 1u << 19;
inline constexpr unsigned kAlsaTypeApplication = 1u << 20;

// The client number of the sequencer's own system ports (timer, announce).
inline constexpr int kAlsaSystemClient = 0;

struct AlsaPortInfo {
    int client = 0;
    int port = 0;
    std::string name;
    unsigned capability = 0;
    unsigned type = 0;
};

struct AlsaEvent {
    bool sysex = false;
    // Our port the event was delivered to.
    int destPort = -1;
    // SysEx bytes (a whole message or a piece of one); valid until the next
    // ReadEvent.
    const uint8_t* data = nullptr;
    size_t length = 0;
};

// The sequencer calls the back-end makes. Results are 0 (or a count) on
// success and a negative error number on failure, as ALSA returns them.
class AlsaApi {
public:
    virtual ~AlsaApi() = default;
    // Stops the library from printing its own errors on stderr.
    virtual void SilenceErrors() = 0;
    // Opens the sequencer for non-blocking input and output.
    virtual int Open(const char* clientName) = 0;
    virtual void Close() = 0;
    virtual int ClientId() = 0;
    // Every port of every client.
    virtual int ListPorts(std::vector<AlsaPortInfo>& ports) = 0;
    // Our own port; its number or an error.
    virtual int CreatePort(const char* name, unsigned capability, unsigned type) = 0;
    virtual int DeletePort(int port) = 0;
    // Subscribes our port to a source port, and back.
    virtual int ConnectFrom(int port, int sourceClient, int sourcePort) = 0;
    virtual int DisconnectFrom(int port, int sourceClient, int sourcePort) = 0;
    // Queues one SysEx event from our port straight to a destination port.
    virtual int SendSysEx(int port, int destClient, int destPort, const uint8_t* data, size_t length) = 0;
    // Pushes queued events to the sequencer: 0 when all are out, a positive
    // count while some remain, -EAGAIN when it should be tried again later.
    virtual int Drain() = 0;
    // Drops every event still queued for output.
    virtual int DropOutput() = 0;
    // 1 with an event, 0 when none is waiting, or an error.
    virtual int ReadEvent(AlsaEvent& event) = 0;
    virtual std::string ErrorText(int error) = 0;
};

// The real sequencer.
std::unique_ptr<AlsaApi> MakeSystemAlsaApi();

class AlsaMidiOutPort;
class AlsaMidiInPort;

// Outputs are the ports we may write to (with subscription rights),
// inputs those we may read from; ids number them in the sequencer's
// client and port order. A port whose type says hardware and generic MIDI
// reports the hardware-port technology, every other the software one.
// The sequencer is opened on the first count; when it cannot be, the system
// reports no ports and logs that once.
class AlsaMidiSystem final : public MidiSystem {
public:
    explicit AlsaMidiSystem(std::unique_ptr<AlsaApi> api);
    // Open ports must be gone first.
    ~AlsaMidiSystem() override;
    AlsaMidiSystem(const AlsaMidiSystem&) = delete;
    AlsaMidiSystem& operator=(const AlsaMidiSystem&) = delete;

    uint32_t OutputCount() override;
    MidiError OutputCaps(uint32_t id, MidiPortCaps& caps) override;
    uint32_t InputCount() override;
    MidiError InputCaps(uint32_t id, MidiPortCaps& caps) override;
    MidiError OpenOutput(uint32_t id, std::unique_ptr<MidiOutPort>& port) override;
    MidiError OpenInput(uint32_t id, std::unique_ptr<MidiInPort>& port) override;
    bool Available(std::string* reason) override;

    static uint16_t TechnologyOf(unsigned type);

private:
    friend class AlsaMidiOutPort;
    friend class AlsaMidiInPort;

    struct PendingSend {
        AlsaMidiOutPort* port = nullptr;
        MidiHeader* header = nullptr;
    };

    bool EnsureOpen();
    void Refresh();
    // Drains output and reads every waiting event into the open inputs.
    void Pump();
    void DrainPending();
    void ForgetSends(AlsaMidiOutPort* port);
    MidiError Send(AlsaMidiOutPort* port, MidiHeader& header);
    MidiError ToMidiError(int alsaError) const;

    std::unique_ptr<AlsaApi> m_api;
    bool m_tried = false;
    bool m_open = false;
    std::string m_failure;
    int m_client = -1;
    // Our port every message is sent from; created with the first output.
    int m_sendPort = -1;
    std::vector<AlsaPortInfo> m_outputs;
    std::vector<AlsaPortInfo> m_inputs;
    std::vector<AlsaMidiOutPort*> m_openOutputs;
    std::vector<AlsaMidiInPort*> m_openInputs;
    std::vector<PendingSend> m_pending;
};

}  // namespace platform
