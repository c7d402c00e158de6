// Two ways in. The bytes as a HEX file: the parser must never crash, and what
// it accepts must survive a write and a second parse unchanged. The bytes as a
// firmware image: what the writer makes, the parser must read back whole.

#include "update/intelhex.h"

#include <cstdint>
#include <cstdlib>

namespace {

void check(bool ok)
{
    if (!ok)
        abort();
}

constexpr std::uint64_t kAddressSpace = std::uint64_t(1) << 32;

// Writes one block and reads it back as exactly that block.
void roundTrip(std::uint32_t address, const std::vector<std::uint8_t> &bytes, int recordSize,
               bool crlf)
{
    const HexParseResult back =
        parseIntelHex(writeIntelHex(address, bytes, recordSize, 0x80002000, crlf));
    check(back.ok && back.error.empty());
    check(bytes.empty() ? back.data.empty()
                        : back.data.size() == 1 && back.data[0].address == address &&
                              back.data[0].bytes == bytes);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::string_view text(reinterpret_cast<const char *>(data), size);
    const HexParseResult parsed = parseIntelHex(text);
    if (!parsed.ok) {
        check(!parsed.error.empty() && parsed.data.empty() && parsed.line >= 0);
    } else {
        for (std::size_t i = 0; i < parsed.data.size(); ++i) {
            const HexSegment &seg = parsed.data[i];
            check(!seg.bytes.empty());
            if (seg.address + seg.bytes.size() <= kAddressSpace)
                roundTrip(seg.address, seg.bytes, 16, false);
        }
    }

    // The same bytes as an image: 4 address bytes, a record size, a line-end flag.
    if (size < 6)
        return 0;
    const std::uint32_t address = std::uint32_t(data[0]) << 24 | std::uint32_t(data[1]) << 16 |
                                  std::uint32_t(data[2]) << 8 | data[3];
    const std::vector<std::uint8_t> image(data + 6, data + size);
    if (address + image.size() <= kAddressSpace)
        roundTrip(address, image, data[4], data[5] & 1);
    return 0;
}
