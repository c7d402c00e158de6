#include "update/intelhex.h"

#include <algorithm>
#include <cstdio>

int hexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

namespace {

HexParseResult failure(int line, std::string what)
{
    HexParseResult r;
    r.line = line;
    r.error = std::move(what);
    return r;
}

void appendRecord(std::string &out, std::uint8_t type, std::uint16_t address,
                  const std::uint8_t *payload, std::size_t count, bool crlf)
{
    char buf[8];
    unsigned sum = unsigned(count) + (address >> 8) + (address & 0xff) + type;
    std::snprintf(buf, sizeof buf, ":%02X", unsigned(count));
    out += buf;
    std::snprintf(buf, sizeof buf, "%04X", unsigned(address));
    out += buf;
    std::snprintf(buf, sizeof buf, "%02X", unsigned(type));
    out += buf;
    for (std::size_t i = 0; i < count; ++i) {
        std::snprintf(buf, sizeof buf, "%02X", unsigned(payload[i]));
        out += buf;
        sum += payload[i];
    }
    std::snprintf(buf, sizeof buf, "%02X", (0x100 - (sum & 0xff)) & 0xff);
    out += buf;
    out += crlf ? "\r\n" : "\n";
}

} // namespace

HexParseResult parseIntelHex(std::string_view text)
{
    HexParseResult result;
    std::uint32_t base = 0;
    bool seenEnd = false;
    int lineNo = 0;
    std::size_t pos = 0;
    std::vector<std::uint8_t> b;
    while (pos < text.size()) {
        const std::size_t nl = text.find('\n', pos);
        std::string_view line =
            text.substr(pos, nl == std::string_view::npos ? std::string_view::npos : nl - pos);
        pos = nl == std::string_view::npos ? text.size() : nl + 1;
        ++lineNo;
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        if (line.empty())
            continue;
        if (seenEnd)
            return failure(lineNo, "data after the end-of-file record");
        if (line.front() != ':')
            return failure(lineNo, "record does not start with ':'");
        const std::string_view digits = line.substr(1);
        if (digits.size() % 2 != 0)
            return failure(lineNo, "odd number of hex digits");
        if (digits.size() < 10)
            return failure(lineNo, "record too short");
        b.clear();
        for (std::size_t i = 0; i < digits.size(); i += 2) {
            const int hi = hexDigit(digits[i]);
            const int lo = hexDigit(digits[i + 1]);
            if (hi < 0 || lo < 0)
                return failure(lineNo, "invalid hex digit");
            b.push_back(std::uint8_t(hi * 16 + lo));
        }
        const std::size_t count = b[0];
        if (b.size() != count + 5)
            return failure(lineNo, "byte count does not match the record length");
        unsigned sum = 0;
        for (std::uint8_t v : b)
            sum += v;
        if ((sum & 0xff) != 0)
            return failure(lineNo, "checksum mismatch");
        const std::uint32_t offset = (std::uint32_t(b[1]) << 8) | b[2];
        const std::uint8_t type = b[3];
        const std::uint8_t *p = b.data() + 4;
        switch (type) {
        case 0x00: {
            // An empty data record holds nothing; a segment for it would be an empty one.
            if (count == 0)
                break;
            const std::uint32_t address = base + offset;
            auto &segs = result.data;
            if (segs.empty() || segs.back().address + segs.back().bytes.size() != address)
                segs.push_back(HexSegment{address, {}});
            segs.back().bytes.insert(segs.back().bytes.end(), p, p + count);
            break;
        }
        case 0x01:
            if (count != 0)
                return failure(lineNo, "end-of-file record with data");
            seenEnd = true;
            break;
        case 0x02:
            if (count != 2)
                return failure(lineNo, "extended segment address record of wrong length");
            base = ((std::uint32_t(p[0]) << 8) | p[1]) << 4;
            break;
        case 0x04:
            if (count != 2)
                return failure(lineNo, "extended linear address record of wrong length");
            base = ((std::uint32_t(p[0]) << 8) | p[1]) << 16;
            break;
        case 0x03:
        case 0x05:
            if (count != 4)
                return failure(lineNo, "start address record of wrong length");
            break;
        default: {
            char buf[48];
            std::snprintf(buf, sizeof buf, "unknown record type 0x%02X", unsigned(type));
            return failure(lineNo, buf);
        }
        }
    }
    if (!seenEnd)
        return failure(0, "missing end-of-file record");
    result.ok = true;
    return result;
}

std::string writeIntelHex(std::uint32_t address, const std::vector<std::uint8_t> &bytes,
                          int recordSize, std::int64_t startAddress, bool crlf)
{
    if (recordSize < 1 || recordSize > 255)
        recordSize = 16;
    std::string out;
    out.reserve(bytes.size() * 3 + 64);
    std::int64_t upper = -1;
    std::size_t i = 0;
    while (i < bytes.size()) {
        const std::uint32_t a = address + std::uint32_t(i);
        if (std::int64_t(a >> 16) != upper) {
            upper = a >> 16;
            const std::uint8_t ela[2] = {std::uint8_t(upper >> 8), std::uint8_t(upper)};
            appendRecord(out, 0x04, 0, ela, 2, crlf);
        }
        // A record never crosses a 64 KiB boundary, where its offset would wrap.
        std::size_t n = std::min<std::size_t>(std::size_t(recordSize), bytes.size() - i);
        n = std::min<std::size_t>(n, 0x10000 - (a & 0xffff));
        appendRecord(out, 0x00, std::uint16_t(a & 0xffff), bytes.data() + i, n, crlf);
        i += n;
    }
    if (startAddress >= 0) {
        const auto s = std::uint32_t(startAddress);
        const std::uint8_t sla[4] = {std::uint8_t(s >> 24), std::uint8_t(s >> 16),
                                     std::uint8_t(s >> 8), std::uint8_t(s)};
        appendRecord(out, 0x05, 0, sla, 4, crlf);
    }
    appendRecord(out, 0x01, 0, nullptr, 0, crlf);
    return out;
}
