// The .reg reader: what regedit and reg.exe write is read, the cache key's REG_SZ values each on
// its own line's number; what no editor writes is refused with the line it is on.
#include "RegFile.h"
#include "Caches.h"

#include <gtest/gtest.h>

#include <string>

namespace {

const std::string Path = "HKEY_CURRENT_USER\\Software\\SimonTatham\\PuTTY\\SshHostKeys";
const std::string Users = "HKEY_USERS\\.DEFAULT\\Software\\SimonTatham\\PuTTY\\SshHostKeys";
const std::string V4 = "REGEDIT4\r\n\r\n[" + Path + "]\r\n";
const std::string Key = "\"rsa2@22:h\"=\"0x23,0xc5\"\r\n";

std::string utf16(const std::string& ascii) {
    std::string out = "\xff\xfe";
    for (const char c : ascii) {
        out.append(1, c).append(1, '\0');
    }
    return out;
}

TEST(RegFileTest, ReadsWhatEditorsWriteAndRefusesTheRestByLine) {
    struct Row {
        std::string bytes;
        std::string lines; // with error: the reason's start
        std::size_t values, keys, errorLine;
        std::size_t unstorable = 0;
    };
    const bool escaped = hkcache::hostsEscaped();
    const Row rows[] = {
        {utf16("Windows Registry Editor Version 5.00\r\n\r\n[" + Path + "]\r\n" + Key + "\r\n"),
         "\n\n#;" + Path + "\nrsa2@22:h 0x23,0xc5\n\n", 0, 0, 0},
        // Comments, continued hex, deletions, default, dword and non-ASCII values are left out.
        {"REGEDIT4\r\n; c\r\n[HKEY_CURRENT_USER\\x]\r\n\"a\"=hex:01,\\\r\n  02\r\n[-" + Path +
             "]\r\n[" + Path +
             "]\r\n@=\"d\"\r\n\"b\"=-\r\n\"c\"=dword:00000001\r\n\"e\"=hex(7):00\r\n" +
             "\"f\"=\"\xe9\"\r\n" + Key,
         "\n\n\n\n\n\n#;" + Path + "\n\n\n\n\n\nrsa2@22:h 0x23,0xc5\n", 6, 2, 0},
        // Two caches: each one's keys are a section of their own.
        {V4 + Key + "[" + Users + "]\r\n" + Key,
         "\n\n# " + Path + "\nrsa2@22:h 0x23,0xc5\n# " + Users + "\nrsa2@22:h 0x23,0xc5\n", 0, 0,
         0},
        // PuTTY for Windows' escapes undone as PuTTY for Unix stores the host, but for a space
        // or a control character, which its lines cannot hold.
        {V4 + "\"rsa2@22:caf%C3%A9\"=\"0x1\"\r\n\"rsa2@22:a%20b\"=\"0x1\"\r\n" +
             "\"rsa2@22:a%0Ab\"=\"0x1\"\r\n",
         "\n\n#;" + Path +
             (escaped ? "\nrsa2@22:caf%C3%A9 0x1\nrsa2@22:a%20b 0x1\nrsa2@22:a%0Ab 0x1\n"
                      : "\nrsa2@22:caf\xc3\xa9 0x1\n\n\n"),
         0, 0, 0, escaped ? 0u : 2u},
        {utf16("REGEDIT4\r\n\r\n") + "x", "an odd number of bytes", 0, 0, 3},
        {V4 + std::string("\"a\"=\"\0\"", 7), "a NUL", 0, 0, 4},
        {V4 + "\"rsa2@22:h\"=\"0x23\r\n", "no closing quote", 0, 0, 4},
        {V4 + "\"a\"=\"b\"c\r\n", "more after", 0, 0, 4},
        {V4 + "\"a\\x\"=\"b\"\r\n", "an unknown escape", 0, 0, 4},
        {V4 + "\"a\"=hex:01,\\\r\n", "a '\\' continues", 0, 0, 4},
        {V4 + "\"a\"=hex:1\r\n", "not a value", 0, 0, 4},
        {V4 + "\"a\"\r\n", "no '='", 0, 0, 4},
        {V4 + "[x\r\n", "no ']'", 0, 0, 4},
        {V4 + "x\r\n", "not a key", 0, 0, 4},
        {V4 + "\r\n;" + std::string(std::size_t(1) << 20, 'a'), "a line longer", 0, 0, 5},
        {"\r\nREGEDIT5\r\n", "not a .reg file", 0, 0, 2},
        {"", "not a .reg file", 0, 0, 1},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.bytes.substr(0, 200));
        const hkcache::RegKeys read = hkcache::readRegFile(row.bytes);
        EXPECT_EQ(row.errorLine, read.errorLine) << read.error;
        if (row.errorLine) {
            EXPECT_EQ(0u, read.error.rfind(row.lines, 0)) << read.error;
            continue;
        }
        EXPECT_EQ(row.lines, read.lines);
        EXPECT_EQ(row.values, read.valuesLeftOut);
        EXPECT_EQ(row.keys, read.keysLeftOut);
        EXPECT_EQ(row.unstorable, read.unstorable.size());
    }
}

} // namespace
