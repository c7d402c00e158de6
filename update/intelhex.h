#pragma once

// Intel HEX reading and writing, as far as firmware files for a 32-bit
// microcontroller need it: data, end-of-file, extended segment/linear address
// and start address records. Plain C++, so that the simulated hoop's stand-in
// tool, which must start fast, reads files with the same code as the program.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

struct HexSegment
{
    std::uint32_t address = 0; // absolute, after extended address records
    std::vector<std::uint8_t> bytes;
};

struct HexParseResult
{
    bool ok = false;
    std::string error; // what is wrong, for the tool's error text
    int line = 0;      // 1-based line of the fault; 0 when it concerns the whole file
    std::vector<HexSegment> data;
};

// The value of one hexadecimal digit, or -1 for any other character.
int hexDigit(char c);

HexParseResult parseIntelHex(std::string_view text);

// Data records of recordSize bytes from address on, extended linear address
// records wherever the upper 16 bits change, a start linear address record
// when startAddress is given, and the end-of-file record. Lines end in "\r\n"
// when crlf is set.
std::string writeIntelHex(std::uint32_t address, const std::vector<std::uint8_t> &bytes,
                          int recordSize = 16, std::int64_t startAddress = -1, bool crlf = false);
