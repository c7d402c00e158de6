#pragma once

// The simulated hoop's shared state: one small directory that the controller
// (SimulatedHoop, in the test or demo process) and every run of the stand-in
// tool read and change under a file lock. Plain C++ so the stand-in stays a
// small, fast-starting program without Qt.

#include <cstdint>
#include <string>
#include <vector>

namespace hoopsim {

enum class Mode { Off, Volume, Rebooting, Bootloader, Running };

// Bits of State::faults.
enum FaultBit : unsigned {
    EraseFailsBit = 1u << 0,
    FlashFailsBit = 1u << 1,
    ResetFailsBit = 1u << 2,
    StartFailsBit = 1u << 3,
    HangOnGetBit = 1u << 4,
    HangOnEraseBit = 1u << 5,
    HangOnFlashBit = 1u << 6,
    HangOnResetBit = 1u << 7,
    HangOnStartBit = 1u << 8,
    NeverAppearsBit = 1u << 9,
    AlreadyInBootloaderBit = 1u << 10,
    ReadOnlyVolumeBit = 1u << 11,
    ComesBackAsVolumeBit = 1u << 12,
    ReenumeratesAfterEraseBit = 1u << 13,
};

// How the volume directory was made, so it can be taken away again.
enum class VolumeKind { Plain, Tmpfs, ReadOnlyChmod };

struct State
{
    Mode mode = Mode::Off;
    unsigned faults = 0;
    bool fast = false;
    int rebootDelayMs = 500;
    std::int64_t plugInAtNs = -1;     // a delayed plug-in still to happen
    std::int64_t bootloaderAtNs = -1; // when the bootloader answers (or answered)
    bool erased = false;
    bool shutdown = false; // the controller is gone: hanging runs end
    std::string volumePath;
    VolumeKind volumeKind = VolumeKind::Plain;
    bool volumeMounted = false;
    int requestCount = 0;
    std::string lastError; // why the last plug-in could not make the volume
    // Where the chip sits on USB: its port path ("1-2", "1-4.3"), its bus,
    // and the address it got when it last enumerated (0: not yet).
    std::string port = "1-1";
    int bus = 1;
    int firstAddress = 10;
    int address = 0;
    std::string serial;    // written into the volume's marker when not empty
    int eraseDelayMs = -1; // how long an erase takes; -1: as the real tool
};

// The chip enumerates anew, at the next address on its port.
void enumerate(State &state);

// Steady clock in nanoseconds; CLOCK_MONOTONIC, so comparable across processes.
std::int64_t nowNs();

// Exclusive flock on <dir>/lock for the lifetime of the object. Each holder
// opens the file itself, so threads of one process exclude each other too.
class StateLock
{
public:
    explicit StateLock(const std::string &dir);
    ~StateLock();
    StateLock(const StateLock &) = delete;
    StateLock &operator=(const StateLock &) = delete;
    bool locked() const { return m_fd >= 0; }

private:
    int m_fd = -1;
};

bool loadState(const std::string &dir, State &state);
bool saveState(const std::string &dir, const State &state);

// Applies what has happened since the state was last saved: a due delayed
// plug-in, a bootloader request written to the volume, a finished reboot.
void advance(const std::string &dir, State &state, std::int64_t now);

// Makes or takes away the volume directory; false (with state.lastError set)
// when the volume cannot be made as asked.
bool mountVolume(State &state);
void unmountVolume(State &state);

// One run of the stand-in in the log <dir>/runs.log.
struct RunRecord
{
    long pid = 0;
    std::vector<std::string> arguments;
    std::int64_t startNs = -1;
    std::int64_t endNs = -1; // -1 while running (or hanging)
    int exitCode = -1;
    std::string output;
};

void logRunStart(const std::string &dir, long pid, std::int64_t t,
                 const std::vector<std::string> &args);
void logRunEnd(const std::string &dir, long pid, std::int64_t t, int exitCode,
               const std::string &output);
std::vector<RunRecord> readRunLog(const std::string &dir);

bool readFile(const std::string &path, std::string &out);
bool writeFileAtomically(const std::string &path, const std::string &bytes);

// The file beside an installed stand-in that names the state directories of
// the hoops it answers for, one per line.
std::string pointerFileFor(const std::string &toolPath);
std::vector<std::string> readStateDirs(const std::string &pointerFile);

// A chip on the USB bus as the stand-ins show it: in its bootloader now.
struct BusDevice
{
    std::string dir;
    int bus = 0;
    int address = 0;
    std::string port;
};
// The chips of these hoops that are in their bootloader, each hoop's state
// brought up to date under its lock.
std::vector<BusDevice> bootloadersOnBus(const std::vector<std::string> &dirs);

} // namespace hoopsim
