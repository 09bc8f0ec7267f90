// MIDI ports on Linux through the ALSA sequencer. The sequencer calls go
// through AlsaApi, so that the port and SysEx handling can be driven by a
// stand-in where no sequencer exists; only midi_alsa.cpp talks to ALSA.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
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
// MIDI 2.0 (UMP) endpoints; newer kernels type a device's ports this way.
inline constexpr unsigned kAlsaTypeMidiUmp = 1u << 3;
inline constexpr unsigned kAlsaTypeSynth = 1u << 10;
inline constexpr unsigned kAlsaTypeHardware = 1u << 16;
inline constexpr unsigned kAlsaTypeSoftware = 1u << 17;
inline constexpr unsigned kAlsaTypeSynthesizer = 1u << 18;
inline constexpr unsigned kAlsaTypePort = 1u << 19;
inline constexpr unsigned kAlsaTypeApplication = 1u << 20;

// The client number of the sequencer's own system ports (timer, announce).
inline constexpr int kAlsaSystemClient = 0;
inline constexpr int kAlsaAnnouncePort = 1;
// Input events our client may hold before the kernel reports an overrun;
// the kernel's default of 200 is a few hundred milliseconds of a busy cable.
inline constexpr size_t kAlsaInputPool = 2000;
// A hardware port's device buffer, and the rate at which DIN MIDI empties it.
// The kernel drops what a write finds no room for in that buffer, so sends
// to a MIDI cable are held back while it is full. A USB device's buffer
// drains into the bus, whose flow control holds what the device cannot take
// yet; its sends are not held back (the protocol waits for the unit's
// answer long before a buffer's worth is under way).
inline constexpr uint32_t kAlsaDeviceBufferBytes = 4096;
inline constexpr uint32_t kMidiWireBytesPerSecond = 3125;

struct AlsaPortInfo {
    int client = 0;
    int port = 0;
    std::string name;
    unsigned capability = 0;
    unsigned type = 0;
    // The owning client: a kernel client of a sound card (a device) or not.
    bool kernelClient = false;
    int card = -1;
    // The card is a USB device.
    bool usb = false;
};

enum class AlsaEventKind : uint8_t {
    Other,
    SysEx,
    // Announcements: the client or port named by `subjectClient` and
    // `subjectPort` has gone.
    ClientExit,
    PortExit,
};

struct AlsaEvent {
    AlsaEventKind kind = AlsaEventKind::Other;
    int sourceClient = -1;
    int sourcePort = -1;
    // Our port the event was delivered to.
    int destPort = -1;
    int subjectClient = -1;
    int subjectPort = -1;
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
    // How many input events the kernel keeps for us.
    virtual int SetInputPool(size_t events) = 0;
    // Every port of every client.
    virtual int ListPorts(std::vector<AlsaPortInfo>& ports) = 0;
    // Our own port; its number or an error.
    virtual int CreatePort(const char* name, unsigned capability, unsigned type) = 0;
    virtual int DeletePort(int port) = 0;
    // Subscribes our port to a source port, and back.
    virtual int ConnectFrom(int port, int sourceClient, int sourcePort) = 0;
    virtual int DisconnectFrom(int port, int sourceClient, int sourcePort) = 0;
    // Subscribes a destination port to our port, and back: the kernel opens
    // a device's output only for a subscriber.
    virtual int ConnectTo(int port, int destClient, int destPort) = 0;
    virtual int DisconnectTo(int port, int destClient, int destPort) = 0;
    // Queues one SysEx event from our port straight to a destination port.
    virtual int SendSysEx(int port, int destClient, int destPort, const uint8_t* data, size_t length) = 0;
    // Pushes queued events to the sequencer: 0 when all are out, or a
    // negative error (-EAGAIN: try again later; anything else leaves the
    // refused event at the head of the queue). The library may also report a
    // positive count of bytes still queued.
    virtual int Drain() = 0;
    // Drops every event still queued for output.
    virtual int DropOutput() = 0;
    // 1 with an event, 0 when none is waiting, or an error (-ENOSPC: the
    // kernel dropped our waiting input after an overrun).
    virtual int ReadEvent(AlsaEvent& event) = 0;
    // Blocks until an event waits for us, or (with `output`) the sequencer
    // takes output again, or `timeoutMs` of the program's clock pass (the
    // sequencer's poll descriptors, as platform/wait.h describes): 1 ready,
    // 0 timed out, a negative error.
    virtual int Wait(bool output, uint32_t timeoutMs) = 0;
    virtual std::string ErrorText(int error) = 0;
};

// The real sequencer.
std::unique_ptr<AlsaApi> MakeSystemAlsaApi();

class AlsaMidiOutPort;
class AlsaMidiInPort;

// Outputs are the ports we may write to (with subscription rights),
// inputs those we may read from; ids number them in the sequencer's
// client and port order. A port whose type says hardware and generic MIDI,
// or a MIDI port of a sound card's kernel client, reports the hardware-port
// technology, every other the software one.
// The sequencer is opened on a count; when it cannot be, the system reports
// no ports, logs the first failure and tries again on the next count.
// An open output subscribes the destination to our private send port; an
// open input takes only what its subscribed source sends. Sends to a
// hardware port on a MIDI cable are held back while the device's buffer,
// emptied at the cable's rate, has no room for them. Ports whose client or
// port goes away report Unplugged.
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

    static uint16_t TechnologyOf(const AlsaPortInfo& port);

private:
    friend class AlsaMidiOutPort;
    friend class AlsaMidiInPort;

    // A send from SendLong until the sequencer has taken it. Held back for
    // the wire, it keeps its bytes; once in the library's output buffer
    // (`submitted`) its header has gone back to its owner (null).
    struct PendingSend {
        AlsaMidiOutPort* port = nullptr;
        MidiHeader* header = nullptr;
        std::vector<uint8_t> bytes;
        bool submitted = false;
    };

    bool EnsureOpen();
    void Refresh();
    // Drains output and reads every waiting event into the open inputs.
    void Pump();
    // Pumps, and waits on the sequencer, until `ready` holds or `timeoutMs`
    // have passed.
    WaitResult WaitFor(const std::function<bool()>& ready, uint32_t timeoutMs);
    // Hands held sends to the library as the wire allows, handing their
    // headers back, and (with `drain`) the library's buffer to the sequencer.
    void Flush(bool drain);
    void FailSubmitted(int alsaError);
    // Whether a send of `port` is still under way.
    bool Sending(const AlsaMidiOutPort* port) const;
    // Milliseconds until the first send held back for the wire may go; none
    // when no send is held back.
    std::optional<uint32_t> HeldSendDueInMs();
    void ForgetSends(AlsaMidiOutPort* port);
    MidiError Send(AlsaMidiOutPort* port, MidiHeader& header);
    MidiError ToMidiError(int alsaError) const;
    void Unsubscribe(int client, int port);
    void PortGone(int client, int port);

    std::unique_ptr<AlsaApi> m_api;
    bool m_open = false;
    bool m_failureLogged = false;
    std::string m_failure;
    int m_client = -1;
    // Our port every message is sent from; created with the first output.
    int m_sendPort = -1;
    // Our port the system's announcements arrive at.
    int m_announcePort = -1;
    // Destinations subscribed to the send port, with their open outputs.
    std::vector<std::pair<std::pair<int, int>, int>> m_destinations;
    std::vector<AlsaPortInfo> m_outputs;
    std::vector<AlsaPortInfo> m_inputs;
    std::vector<AlsaMidiOutPort*> m_openOutputs;
    std::vector<AlsaMidiInPort*> m_openInputs;
    std::vector<PendingSend> m_pending;
    // The last drain left events in the library's buffer (the sequencer
    // took no more): a wait also watches for room.
    bool m_outputBlocked = false;
};

}  // namespace platform
