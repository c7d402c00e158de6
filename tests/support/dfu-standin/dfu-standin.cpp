// A stand-in for the DFU tool whose behaviour a test scripts.
//
// Without DFU_STANDIN_SCRIPT in the environment it exits 0 at once, silently.
// Otherwise it records its arguments (one per line) to DFU_STANDIN_ARGV when
// that is set, then runs the script file one line at a time:
//
//   out TEXT          write TEXT to stdout      (escapes: \n \\ \xHH)
//   err TEXT          write TEXT to stderr
//   flood N           write N bytes of 'x' to stdout
//   env NAME          write "NAME=value\n" or "NAME unset\n" to stdout
//   hold PIDFILE      fork a child that keeps stdout open for two minutes; its
//                     pid goes to PIDFILE
//   hang              sleep until killed
//   signal N          raise signal N
//   exit N            exit with status N (the default at the end is 0)
//
// Output is written unbuffered, so stdout and stderr interleave in script order.

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <unistd.h>

namespace {

void writeAll(int fd, const std::string &bytes)
{
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            std::exit(120);
        done += size_t(n);
    }
}

std::string unescape(const std::string &text)
{
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\' || i + 1 == text.size()) {
            out += text[i];
            continue;
        }
        char c = text[++i];
        if (c == 'n')
            out += '\n';
        else if (c == 'x' && i + 2 < text.size()) {
            out += char(std::strtoul(text.substr(i + 1, 2).c_str(), nullptr, 16));
            i += 2;
        } else
            out += c;
    }
    return out;
}

} // namespace

int main(int argc, char **argv)
{
    const char *script = std::getenv("DFU_STANDIN_SCRIPT");
    if (!script)
        return 0;

    if (const char *argvFile = std::getenv("DFU_STANDIN_ARGV")) {
        std::ofstream record(argvFile, std::ios::binary | std::ios::trunc);
        for (int i = 1; i < argc; ++i)
            record << argv[i] << '\n';
    }

    std::ifstream in(script, std::ios::binary);
    if (!in)
        return 121;
    std::string line;
    while (std::getline(in, line)) {
        const size_t space = line.find(' ');
        const std::string verb = line.substr(0, space);
        const std::string arg = space == std::string::npos ? std::string() : line.substr(space + 1);
        if (verb == "out") {
            writeAll(1, unescape(arg));
        } else if (verb == "err") {
            writeAll(2, unescape(arg));
        } else if (verb == "flood") {
            const std::string chunk(65536, 'x');
            for (size_t left = std::stoul(arg); left > 0;) {
                const size_t n = left < chunk.size() ? left : chunk.size();
                writeAll(1, chunk.substr(0, n));
                left -= n;
            }
        } else if (verb == "env") {
            const char *value = std::getenv(arg.c_str());
            writeAll(1, value ? arg + "=" + value + "\n" : arg + " unset\n");
        } else if (verb == "hold") {
            const pid_t child = ::fork();
            if (child == 0) {
                // Bounded, so a test that dies early leaves nothing behind for long.
                ::sleep(120);
                std::_Exit(0);
            }
            std::ofstream(arg, std::ios::trunc) << child << '\n';
        } else if (verb == "hang") {
            for (;;)
                ::pause();
        } else if (verb == "signal") {
            std::raise(std::stoi(arg));
            return 122; // the signal was ignored or caught
        } else if (verb == "exit") {
            return std::stoi(arg);
        } else if (!verb.empty()) {
            return 123;
        }
    }
    return 0;
}
