#include "simstate.h"

#include "update/intelhex.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace hoopsim {

namespace {

const char *const markerName = "hoopinfo.txt";
const char *const requestName = "runnow.cfg";
const char *const markerText = "Vexlume Hoop\r\nModel: VH-1\r\nFirmware: 1.0.0\r\n";
// Addresses the bus hands out go from 1 to 127.
constexpr int kMaxAddress = 127;

std::string modeName(Mode m)
{
    switch (m) {
    case Mode::Off:
        return "off";
    case Mode::Volume:
        return "volume";
    case Mode::Rebooting:
        return "rebooting";
    case Mode::Bootloader:
        return "bootloader";
    case Mode::Running:
        return "running";
    }
    return "off";
}

Mode modeFromName(const std::string &s)
{
    for (Mode m : {Mode::Off, Mode::Volume, Mode::Rebooting, Mode::Bootloader, Mode::Running})
        if (modeName(m) == s)
            return m;
    return Mode::Off;
}

// Log fields are tab-separated and lines newline-terminated, so those bytes
// (and the escape itself) are written as %XX.
std::string escape(const std::string &s)
{
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(s.size());
    for (unsigned char c : s) {
        if (c < 0x20 || c == '%' || c == 0x7f) {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        } else {
            out += char(c);
        }
    }
    return out;
}

std::string unescape(const std::string &s)
{
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '%' && i + 2 < s.size() && hexDigit(s[i + 1]) >= 0 && hexDigit(s[i + 2]) >= 0) {
            out += char(hexDigit(s[i + 1]) * 16 + hexDigit(s[i + 2]));
            i += 2;
        } else {
            out += s[i];
        }
    }
    return out;
}

std::vector<std::string> split(const std::string &line, char sep)
{
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        size_t end = line.find(sep, start);
        parts.push_back(line.substr(start, end - start));
        if (end == std::string::npos)
            return parts;
        start = end + 1;
    }
}

void appendLine(const std::string &dir, const std::string &line)
{
    int fd = ::open((dir + "/runs.log").c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0)
        return;
    // One write per line keeps a line whole even if two writers ever raced.
    [[maybe_unused]] ssize_t n = ::write(fd, line.data(), line.size());
    ::close(fd);
}

std::string errnoText(const std::string &what)
{
    return what + ": " + std::strerror(errno);
}

} // namespace

std::int64_t nowNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

StateLock::StateLock(const std::string &dir)
{
    m_fd = ::open((dir + "/lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (m_fd < 0)
        return;
    while (::flock(m_fd, LOCK_EX) != 0) {
        if (errno != EINTR) {
            ::close(m_fd);
            m_fd = -1;
            return;
        }
    }
}

StateLock::~StateLock()
{
    if (m_fd >= 0)
        ::close(m_fd); // closing the last descriptor releases the flock
}

bool readFile(const std::string &path, std::string &out)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    std::ostringstream ss;
    ss << in.rdbuf();
    out = ss.str();
    return true;
}

bool writeFileAtomically(const std::string &path, const std::string &bytes)
{
    const std::string tmp = path + ".tmp." + std::to_string(::getpid()) + "." +
                            std::to_string(std::hash<std::string>{}(std::to_string(nowNs())));
    {
        std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
        if (!out)
            return false;
        out.write(bytes.data(), std::streamsize(bytes.size()));
        if (!out.flush())
            return false;
    }
    if (std::rename(tmp.c_str(), path.c_str()) != 0) {
        std::remove(tmp.c_str());
        return false;
    }
    return true;
}

bool loadState(const std::string &dir, State &state)
{
    std::string text;
    state = State{};
    if (!readFile(dir + "/state", text))
        return false;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        const size_t eq = line.find('=');
        if (eq == std::string::npos)
            continue;
        const std::string key = line.substr(0, eq);
        const std::string value = unescape(line.substr(eq + 1));
        auto num = [&] {
            return std::stoll(value.empty() ? "0" : value);
        };
        try {
            if (key == "mode")
                state.mode = modeFromName(value);
            else if (key == "faults")
                state.faults = unsigned(num());
            else if (key == "fast")
                state.fast = num() != 0;
            else if (key == "rebootDelayMs")
                state.rebootDelayMs = int(num());
            else if (key == "plugInAtNs")
                state.plugInAtNs = num();
            else if (key == "bootloaderAtNs")
                state.bootloaderAtNs = num();
            else if (key == "erased")
                state.erased = num() != 0;
            else if (key == "shutdown")
                state.shutdown = num() != 0;
            else if (key == "volumePath")
                state.volumePath = value;
            else if (key == "volumeKind")
                state.volumeKind = VolumeKind(num());
            else if (key == "volumeMounted")
                state.volumeMounted = num() != 0;
            else if (key == "requestCount")
                state.requestCount = int(num());
            else if (key == "lastError")
                state.lastError = value;
            else if (key == "port")
                state.port = value;
            else if (key == "bus")
                state.bus = int(num());
            else if (key == "firstAddress")
                state.firstAddress = int(num());
            else if (key == "address")
                state.address = int(num());
            else if (key == "serial")
                state.serial = value;
            else if (key == "eraseDelayMs")
                state.eraseDelayMs = int(num());
        } catch (const std::exception &) {
            // A damaged value keeps its default; the state file is ours alone.
        }
    }
    return true;
}

bool saveState(const std::string &dir, const State &s)
{
    std::ostringstream out;
    out << "mode=" << modeName(s.mode) << '\n'
        << "faults=" << s.faults << '\n'
        << "fast=" << int(s.fast) << '\n'
        << "rebootDelayMs=" << s.rebootDelayMs << '\n'
        << "plugInAtNs=" << s.plugInAtNs << '\n'
        << "bootloaderAtNs=" << s.bootloaderAtNs << '\n'
        << "erased=" << int(s.erased) << '\n'
        << "shutdown=" << int(s.shutdown) << '\n'
        << "volumePath=" << escape(s.volumePath) << '\n'
        << "volumeKind=" << int(s.volumeKind) << '\n'
        << "volumeMounted=" << int(s.volumeMounted) << '\n'
        << "requestCount=" << s.requestCount << '\n'
        << "lastError=" << escape(s.lastError) << '\n'
        << "port=" << escape(s.port) << '\n'
        << "bus=" << s.bus << '\n'
        << "firstAddress=" << s.firstAddress << '\n'
        << "address=" << s.address << '\n'
        << "serial=" << escape(s.serial) << '\n'
        << "eraseDelayMs=" << s.eraseDelayMs << '\n';
    return writeFileAtomically(dir + "/state", out.str());
}

bool mountVolume(State &s)
{
    if (s.volumeMounted)
        return true;
    s.lastError.clear();
    const std::string path = s.volumePath;
    std::error_code ec;
    fs::create_directories(path, ec);
    if (ec) {
        s.lastError = "cannot create the volume directory " + path + ": " + ec.message();
        return false;
    }
    const bool readOnly = s.faults & ReadOnlyVolumeBit;
    s.volumeKind = VolumeKind::Plain;
    // Root writes through a 0555 directory, so a read-only volume for root is
    // a real read-only mount.
    if (readOnly && ::geteuid() == 0) {
        if (::mount("hoopsim", path.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, "size=64k,mode=0755") !=
            0) {
            s.lastError = errnoText("cannot mount a tmpfs for the read-only volume at " + path);
            fs::remove(path, ec);
            return false;
        }
        s.volumeKind = VolumeKind::Tmpfs;
    }
    {
        std::ofstream marker(path + "/" + markerName, std::ios::binary);
        marker << markerText;
        if (!s.serial.empty())
            marker << "Serial: " << s.serial << "\r\n";
    }
    s.volumeMounted = true;
    if (!readOnly)
        return true;

    // The marker is visible a moment before the volume turns read-only; the
    // caller holds the state lock throughout, and a program can only write
    // the request after a probe, which waits for that lock.
    if (s.volumeKind == VolumeKind::Tmpfs) {
        if (::mount(nullptr, path.c_str(), nullptr, MS_REMOUNT | MS_RDONLY | MS_NOSUID | MS_NODEV,
                    nullptr) != 0) {
            s.lastError = errnoText("cannot remount the volume read-only");
            unmountVolume(s);
            return false;
        }
    } else {
        ::chmod(path.c_str(), 0555);
        s.volumeKind = VolumeKind::ReadOnlyChmod;
    }
    // Prove it: a volume that still takes writes would make a test pass for
    // the wrong reason.
    const std::string probe = path + "/.hoopsim-probe";
    int fd = ::open(probe.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd >= 0) {
        ::close(fd);
        ::unlink(probe.c_str());
        s.lastError = "the volume at " + path + " still accepts writes";
        unmountVolume(s);
        return false;
    }
    return true;
}

void unmountVolume(State &s)
{
    if (!s.volumeMounted)
        return;
    const std::string path = s.volumePath;
    std::error_code ec;
    switch (s.volumeKind) {
    case VolumeKind::Tmpfs:
        ::umount2(path.c_str(), MNT_DETACH);
        ::rmdir(path.c_str());
        break;
    case VolumeKind::ReadOnlyChmod:
        ::chmod(path.c_str(), 0755);
        [[fallthrough]];
    case VolumeKind::Plain:
        // The marker goes first, so a search running meanwhile no longer
        // takes the half-removed directory for the hoop.
        fs::remove(path + "/" + markerName, ec);
        fs::remove_all(path, ec);
        break;
    }
    s.volumeMounted = false;
    s.volumeKind = VolumeKind::Plain;
}

void advance(const std::string &dir, State &s, std::int64_t now)
{
    if (s.plugInAtNs >= 0 && now >= s.plugInAtNs) {
        s.plugInAtNs = -1;
        if (!(s.faults & NeverAppearsBit)) {
            s.mode = Mode::Volume;
            mountVolume(s);
        }
    }
    if (s.mode == Mode::Volume && s.volumeMounted) {
        std::string request;
        // The hoop's firmware reacts to the exact ten bytes, nothing else.
        if (readFile(s.volumePath + "/" + requestName, request) && request == "bootloader") {
            writeFileAtomically(dir + "/request.bin", request);
            ++s.requestCount;
            unmountVolume(s);
            s.mode = Mode::Rebooting;
            s.bootloaderAtNs = now + std::int64_t(s.rebootDelayMs) * 1000000;
            s.erased = false;
        }
    }
    if (s.mode == Mode::Rebooting && now >= s.bootloaderAtNs) {
        s.mode = Mode::Bootloader;
        enumerate(s);
    }
}

void enumerate(State &s)
{
    s.address = s.address == 0 ? s.firstAddress : s.address % kMaxAddress + 1;
}

void logRunStart(const std::string &dir, long pid, std::int64_t t,
                 const std::vector<std::string> &args)
{
    std::string line = "S\t" + std::to_string(pid) + "\t" + std::to_string(t);
    for (const std::string &a : args)
        line += "\t" + escape(a);
    appendLine(dir, line + "\n");
}

void logRunEnd(const std::string &dir, long pid, std::int64_t t, int exitCode,
               const std::string &output)
{
    appendLine(dir, "E\t" + std::to_string(pid) + "\t" + std::to_string(t) + "\t" +
                        std::to_string(exitCode) + "\t" + escape(output) + "\n");
}

std::vector<RunRecord> readRunLog(const std::string &dir)
{
    std::vector<RunRecord> runs;
    std::string text;
    if (!readFile(dir + "/runs.log", text))
        return runs;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        const std::vector<std::string> f = split(line, '\t');
        if (f.size() < 3)
            continue;
        try {
            const long pid = std::stol(f[1]);
            const std::int64_t t = std::stoll(f[2]);
            if (f[0] == "S") {
                RunRecord r;
                r.pid = pid;
                r.startNs = t;
                for (size_t i = 3; i < f.size(); ++i)
                    r.arguments.push_back(unescape(f[i]));
                runs.push_back(std::move(r));
            } else if (f[0] == "E" && f.size() >= 5) {
                for (auto it = runs.rbegin(); it != runs.rend(); ++it) {
                    if (it->pid == pid && it->endNs < 0) {
                        it->endNs = t;
                        it->exitCode = std::stoi(f[3]);
                        it->output = unescape(f[4]);
                        break;
                    }
                }
            }
        } catch (const std::exception &) {
            continue;
        }
    }
    return runs;
}

std::string pointerFileFor(const std::string &toolPath)
{
    return toolPath + ".hoopsim-state";
}

std::vector<std::string> readStateDirs(const std::string &pointerFile)
{
    std::vector<std::string> dirs;
    std::string text;
    if (!readFile(pointerFile, text))
        return dirs;
    for (std::string line : split(text, '\n')) {
        while (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (!line.empty())
            dirs.push_back(line);
    }
    return dirs;
}

std::vector<BusDevice> bootloadersOnBus(const std::vector<std::string> &dirs)
{
    std::vector<BusDevice> devices;
    for (const std::string &dir : dirs) {
        StateLock lock(dir);
        State s;
        if (!lock.locked() || !loadState(dir, s))
            continue;
        advance(dir, s, nowNs());
        saveState(dir, s);
        if (s.mode == Mode::Bootloader)
            devices.push_back(BusDevice{dir, s.bus, s.address, s.port});
    }
    return devices;
}

} // namespace hoopsim
