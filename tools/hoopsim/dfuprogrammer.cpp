// A stand-in for dfu-programmer 0.6.1 that drives the simulated hoop instead
// of a USB device. It finds the hoop's state through the file that
// SimulatedHoop::installTool puts beside it, so the program that runs it needs
// no environment variable, and separate hoops never share a state.

#include "simstate.h"
#include "update/intelhex.h"

#include <climits>
#include <csignal>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include <sys/prctl.h>
#include <unistd.h>

using namespace hoopsim;

namespace {

const char *const targetName = "at32uc3b1256";
const char *const noDevice = "dfu-programmer: no device present.\n";
constexpr std::uint32_t flashBase = 0x80000000u; // where the UC3 maps its flash
constexpr std::uint32_t flashSize = 0x40000u;    // 256 KiB
constexpr std::uint32_t bootloaderSize = 0x2000u;

struct Outcome
{
    std::vector<std::pair<int, std::string>> chunks; // fd and text, in order
    int exitCode = 0;

    void out(const std::string &t) { chunks.emplace_back(STDOUT_FILENO, t); }
    void err(const std::string &t) { chunks.emplace_back(STDERR_FILENO, t); }
    std::string text() const
    {
        std::string all;
        for (const auto &c : chunks)
            all += c.second;
        return all;
    }
};

std::string format(const char *fmt, auto... args)
{
    char buf[256];
    std::snprintf(buf, sizeof buf, fmt, args...);
    return buf;
}

// The state directories of the hoops this stand-in answers for, the first
// one first; empty when it was not installed by SimulatedHoop::installTool.
std::vector<std::string> findStateDirs()
{
    char self[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0)
        return {};
    self[n] = '\0';
    return readStateDirs(pointerFileFor(self));
}

// "at32uc3b1256" or "at32uc3b1256:BUS,ADDR", as 0.6.1 takes it.
struct Target
{
    bool valid = false;
    bool addressed = false;
    int bus = 0;
    int address = 0;
};

Target parseTarget(const std::string &text)
{
    Target t;
    const std::string name(targetName);
    if (text == name) {
        t.valid = true;
        return t;
    }
    if (text.rfind(name + ":", 0) != 0)
        return t;
    const std::string where = text.substr(name.size() + 1);
    if (std::sscanf(where.c_str(), "%d,%d", &t.bus, &t.address) == 2)
        t.valid = t.addressed = true;
    return t;
}

bool answers(const State &s, const Target &target)
{
    return s.mode == Mode::Bootloader &&
           (!target.addressed || (s.bus == target.bus && s.address == target.address));
}

// The hoop a run is for: the first in its bootloader (as the real tool takes
// the first device it finds), or the one at the target's address. Without
// such a hoop an addressed run is for none, a plain one for the first hoop.
std::string chooseStateDir(const std::vector<std::string> &dirs, const Target &target)
{
    for (const BusDevice &device : bootloadersOnBus(dirs))
        if (!target.addressed || (device.bus == target.bus && device.address == target.address))
            return device.dir;
    return target.addressed ? std::string() : dirs.front();
}

unsigned hangBitFor(const std::string &command)
{
    if (command == "get")
        return HangOnGetBit;
    if (command == "erase")
        return HangOnEraseBit;
    if (command == "flash")
        return HangOnFlashBit;
    if (command == "reset")
        return HangOnResetBit;
    if (command == "start")
        return HangOnStartBit;
    return 0;
}

// Rough times of the real tool against a real device, so a demo looks alive.
int delayMsFor(const std::string &command)
{
    if (command == "erase")
        return 300;
    if (command == "flash")
        return 400;
    if (command == "reset" || command == "start")
        return 80;
    return 30;
}

Outcome flash(const std::string &dir, State &s, const std::vector<std::string> &args)
{
    Outcome o;
    o.exitCode = 1;
    bool suppressBootloader = false;
    std::string file;
    for (std::size_t i = 2; i < args.size(); ++i) {
        const std::string &a = args[i];
        if (a == "--suppress-bootloader-mem") {
            suppressBootloader = true;
        } else if (a == "--suppress-validation" || a == "--quiet") {
        } else if (a.rfind("--", 0) == 0 || !file.empty()) {
            o.err("Unsupported argument: " + a + "\n");
            return o;
        } else {
            file = a;
        }
    }
    if (file.empty()) {
        o.err("flash: no hex file given.\n");
        return o;
    }
    std::string text;
    if (!readFile(file, text)) {
        o.err("Error opening the file '" + file + "'.\n");
        return o;
    }
    const HexParseResult hex = parseIntelHex(text);
    if (!hex.ok) {
        o.err("Hex file error" + (hex.line > 0 ? format(" on line %d", hex.line) : std::string()) +
              ": " + hex.error + ".\nSomething went wrong with creating the memory image.\n");
        return o;
    }

    std::vector<std::uint8_t> image(flashSize, 0xff);
    std::vector<bool> used(flashSize, false);
    std::uint32_t usedCount = 0;
    std::uint32_t end = bootloaderSize;
    for (const HexSegment &seg : hex.data) {
        for (std::size_t i = 0; i < seg.bytes.size(); ++i) {
            std::uint64_t a = std::uint64_t(seg.address) + i;
            if (a >= flashBase)
                a -= flashBase;
            if (a >= flashSize) {
                o.err(format("Hex file error: address 0x%08llX lies outside the device's flash.\n",
                             static_cast<unsigned long long>(seg.address + i)));
                return o;
            }
            if (a < bootloaderSize) {
                if (suppressBootloader)
                    continue;
                o.err("Bootloader and code overlap.\n");
                return o;
            }
            image[a] = seg.bytes[i];
            if (!used[a]) {
                used[a] = true;
                ++usedCount;
            }
            end = std::max(end, std::uint32_t(a + 1));
        }
    }

    const std::uint32_t from = suppressBootloader ? bootloaderSize : 0;
    const std::string checking =
        format("Checking memory from 0x%X to 0x%X...  ", unsigned(from), unsigned(flashSize - 1));
    // Flash cells only go from 1 to 0: writing over old firmware corrupts it.
    if (!s.erased) {
        o.err(checking + format("Not blank at 0x%X.\n", unsigned(from)));
        return o;
    }
    o.err(checking + "Empty.\n");
    s.erased = false;
    if (s.faults & FlashFailsBit) {
        o.err("Error while flashing.\n");
        return o;
    }
    writeFileAtomically(dir + "/flash.bin",
                        std::string(image.begin() + bootloaderSize, image.begin() + end));
    writeFileAtomically(dir + "/flashed.hex", text);
    o.err(format("Programming 0x%X bytes...  Success\n", unsigned(end - bootloaderSize)));
    o.err("Validating...  Success\n");
    o.err(format("%u bytes used (%.02f%%)\n", unsigned(usedCount),
                 double(usedCount) * 100.0 / double(flashSize)));
    o.exitCode = 0;
    return o;
}

// The device leaves its bootloader for its firmware, which may show the volume again.
void run(State &s)
{
    s.mode = Mode::Running;
    if (s.faults & ComesBackAsVolumeBit)
        s.plugInAtNs = nowNs() + std::int64_t(s.rebootDelayMs) * 1000000;
}

Outcome perform(const std::string &dir, State &s, const std::vector<std::string> &args,
                const Target &target)
{
    Outcome o;
    o.exitCode = 1;
    // As 0.6.1 answers it: on standard error, with status 1.
    if (args.size() == 1 && args[0] == "--version") {
        o.err("dfu-programmer 0.6.1\n");
        return o;
    }
    if (args.size() < 2) {
        o.err("Usage: dfu-programmer target[:usb-bus,usb-addr] command [options] "
              "[global-options] [file|data]\n");
        return o;
    }
    if (!target.valid) {
        o.err("Unsupported target '" + args[0] + "'.\n");
        return o;
    }
    const std::string &cmd = args[1];
    if (cmd != "get" && cmd != "erase" && cmd != "flash" && cmd != "reset" && cmd != "start") {
        o.err("The simulated hoop does not support the command '" + cmd + "'.\n");
        return o;
    }
    // A start that does not take: the device stays where it is and the tool
    // has nothing to say.
    if (cmd == "start" && (s.faults & StartFailsBit)) {
        o.exitCode = 0;
        return o;
    }
    if (!answers(s, target)) {
        o.err(noDevice);
        return o;
    }
    if (cmd == "get") {
        o.out("Bootloader Version: 0x01 (1)\n");
        o.exitCode = 0;
    } else if (cmd == "erase") {
        if (s.faults & EraseFailsBit)
            return o; // the device refused; 0.6.1 says nothing
        std::remove((dir + "/flash.bin").c_str());
        std::remove((dir + "/flashed.hex").c_str());
        s.erased = true;
        // A hub that drops the chip for a moment: it comes back on the same
        // port at another address.
        if (s.faults & ReenumeratesAfterEraseBit)
            enumerate(s);
        o.exitCode = 0;
    } else if (cmd == "flash") {
        o = flash(dir, s, args);
    } else if (cmd == "reset") {
        if (s.faults & ResetFailsBit)
            return o;
        run(s);
        o.exitCode = 0;
    } else { // start straight from the bootloader: the device leaves DFU mode quietly
        run(s);
        o.exitCode = 0;
    }
    return o;
}

void writeAll(int fd, const std::string &text)
{
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n <= 0)
            return;
        done += std::size_t(n);
    }
}

} // namespace

int main(int argc, char **argv)
{
    // A run that hangs must not outlive the program that started it.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    const pid_t parent = ::getppid();

    const std::vector<std::string> args(argv + 1, argv + argc);
    const std::vector<std::string> dirs = findStateDirs();
    if (dirs.empty()) {
        writeAll(STDERR_FILENO, "dfu-programmer (simulated hoop): no state directory; install "
                                "this program with SimulatedHoop::installTool.\n");
        return 3;
    }
    const Target target = parseTarget(args.size() >= 2 ? args[0] : std::string());
    const std::string dir = target.valid ? chooseStateDir(dirs, target) : dirs.front();
    if (dir.empty()) {
        writeAll(STDERR_FILENO, noDevice);
        return 1;
    }
    const long pid = long(::getpid());
    State s;
    {
        StateLock lock(dir);
        if (!lock.locked() || !loadState(dir, s)) {
            writeAll(STDERR_FILENO,
                     "dfu-programmer (simulated hoop): cannot read the state in " + dir + ".\n");
            return 3;
        }
        advance(dir, s, nowNs());
        saveState(dir, s);
        logRunStart(dir, pid, nowNs(), args);
    }

    const std::string command = args.size() >= 2 ? args[1] : std::string();
    if (const unsigned hang = hangBitFor(command)) {
        // Hang while the fault is on; clearing it lets the run go on normally.
        for (;;) {
            {
                StateLock lock(dir);
                if (!lock.locked() || !loadState(dir, s) || s.shutdown)
                    return 137;
            }
            if (!(s.faults & hang))
                break;
            if (::getppid() != parent)
                return 137;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }
    if (command == "erase" && s.eraseDelayMs >= 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(s.eraseDelayMs));
    else if (!s.fast)
        std::this_thread::sleep_for(std::chrono::milliseconds(delayMsFor(command)));

    Outcome o;
    {
        StateLock lock(dir);
        loadState(dir, s);
        advance(dir, s, nowNs());
        o = perform(dir, s, args, target);
        saveState(dir, s);
        logRunEnd(dir, pid, nowNs(), o.exitCode, o.text());
    }
    for (const auto &[fd, text] : o.chunks)
        writeAll(fd, text);
    return o.exitCode;
}
