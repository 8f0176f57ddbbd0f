// The key model against real keys: PuTTY's text as plink cached it from a real sshd, the wire
// form as the server's .pub file holds it, the fingerprint as `ssh-keygen -lf` printed it.
#include "KeyModel/CachedName.h"
#include "KeyModel/Digest.h"
#include "KeyModel/HostKey.h"
#include "KeyModel/KeyReader.h"
#include "KeyModel/KnownHosts.h"
#include "PAL/ParallelRuns.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <new>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

// While set, memory runs out on every thread but this one: the reader's own threads.
static std::atomic<bool> failingThreads{false};
static std::thread::id testThread;

[[gnu::noinline]] void* operator new(std::size_t size) {
    if (failingThreads && std::this_thread::get_id() != testThread) {
        throw std::bad_alloc();
    }
    if (void* p = std::malloc(size ? size : 1)) {
        return p;
    }
    throw std::bad_alloc();
}
[[gnu::noinline]] void operator delete(void* p) noexcept {
    std::free(p);
}
[[gnu::noinline]] void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}

using namespace KeyModel;

namespace {

Bytes bytesOf(std::string_view text) {
    return Bytes(text.begin(), text.end());
}

Bytes sshString(const Bytes& data) {
    Bytes out{static_cast<unsigned char>(data.size() >> 24),
              static_cast<unsigned char>(data.size() >> 16),
              static_cast<unsigned char>(data.size() >> 8),
              static_cast<unsigned char>(data.size())};
    out.insert(out.end(), data.begin(), data.end());
    return out;
}

Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

Bytes wireOf(std::string_view base64) {
    return base64Decode(base64).value_or(Bytes());
}

std::string hexOf(const Bytes& data) {
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (const unsigned char byte : data) {
        text += digits[byte >> 4];
        text += digits[byte & 0xF];
    }
    return text;
}

Bytes fromHex(std::string_view digits) {
    Bytes out;
    for (std::size_t i = 0; i + 1 < digits.size(); i += 2) {
        out.push_back(
            static_cast<unsigned char>(std::stoi(std::string(digits.substr(i, 2)), nullptr, 16)));
    }
    return out;
}

// A little-endian EdDSA key of `size` bytes holding a small y, with x's parity on top.
Bytes edwardsKey(std::size_t size, unsigned char y, bool odd) {
    Bytes key(size, 0);
    key[0] = y;
    key.back() |= odd ? 0x80 : 0;
    return key;
}

struct RealKey {
    const char* puttyType;
    const char* data;
    unsigned bits;
    const char* openSshType;
    const char* base64;
    const char* fingerprint;
};

// Each key made as its comment says and served by sshd; plink cached the data, the rest is
// the .pub file and `ssh-keygen -lf` of it. Neither OpenSSH nor plink has Ed448.
const RealKey realKeys[] = {
    // ssh-keygen -t rsa -b 1024
    {"rsa2",
     "0x10001,"
     "0xe3067ec21ea31ff5abc38c41755c41c5cad07efd0824eec9a01d5c746b933823c632133ba56a50086697fed0864"
     "959380bd2f049da72909a0d3d791a3a94a97159b0fa1719953ce0e926f450a749d805b4e700e33fdc3cca0dbde085"
     "664ae8599994e0c313278a981a6cfc494bcd612f75abd7fea14da58fdeea5f4e499b56e3",
     1024, "ssh-rsa",
     "AAAAB3NzaC1yc2EAAAADAQABAAAAgQDjBn7CHqMf9avDjEF1XEHFytB+/"
     "Qgk7smgHVx0a5M4I8YyEzulalAIZpf+0IZJWTgL0vBJ2nKQmg09eRo6lKlxWbD6FxmVPODpJvRQp0nYBbTnAOM/"
     "3DzKDb3ghWZK6FmZlODDEyeKmBps/ElLzWEvdavX/qFNpY/e6l9OSZtW4w==",
     "SHA256:8441I71Pau1sc+ooAFaLHKB5NrNkT1Mm+QR2HoVqsDk"},
    // ssh-keygen -t dsa
    {"dss",
     "0xbfc815c9a61cd7b029da2aa2e6303506b4d63b0f821aa2756f3d07900a41a183a1de6775b0d4b6fbdc9498b090b"
     "f07a3f7db03fc629291741c9e1eae9082d57f21248dbfe554d8c0054932ba3267072d5221c2e8b38899e18b018bdc"
     "6e93058ba8a6b3a4e298e30921daf9b6033e732f4fb43775bea2067cdc6e119c2ffd10d3,"
     "0x88a0774c424d5dd3d352ea36ae66b8a18062fdd7,"
     "0x89ecf6b7afcb1faee268e04c4db42e97c5a3f7ff74126228a4b3d29a267a286c23e00921879e27a6a6c3d4c2e6b"
     "d12483c9017274c3cc6f2c2b5bed7daa8a50a21421c7764d040359930cc6aaac8c4b05df50018d60708b67e73273f"
     "ba537d20283c6fab7844f82295a9a82d02c7210dc89a500a260f2b09d907a2a81acd0f21,"
     "0x94396e64d27a27a395b5e66dd9bbb94ac74920f8a02eefecb0299f6da336df780d1e217f9eea7375556d6418352"
     "7d735a80d2544f0be34d2caab92142c78e8580bc7037f3c3d07a02b951b26d531e2053f0b9b606504c5a95f90710e"
     "a315667ea1cd267d42003f31e8a14fa50885fbb2b28366e68eb76cbf46deea7e5a7f250e",
     1024, "ssh-dss",
     "AAAAB3NzaC1kc3MAAACBAL/IFcmmHNewKdoqouYwNQa01jsPghqidW89B5AKQaGDod5ndbDUtvvclJiwkL8Ho/fbA/"
     "xikpF0HJ4erpCC1X8hJI2/"
     "5VTYwAVJMroyZwctUiHC6LOImeGLAYvcbpMFi6ims6TimOMJIdr5tgM+cy9PtDd1vqIGfNxuEZwv/"
     "RDTAAAAFQCIoHdMQk1d09NS6jauZrihgGL91wAAAIEAiez2t6/LH67iaOBMTbQul8Wj9/"
     "90EmIopLPSmiZ6KGwj4Akhh54npqbD1MLmvRJIPJAXJ0w8xvLCtb7X2qilCiFCHHdk0EA1mTDMaqrIxLBd9QAY1gcItn5"
     "zJz+6U30gKDxvq3hE+"
     "CKVqagtAschDciaUAomDysJ2QeiqBrNDyEAAACBAJQ5bmTSeiejlbXmbdm7uUrHSSD4oC7v7LApn22jNt94DR4hf57qc3"
     "VVbWQYNSfXNagNJUTwvjTSyquSFCx46FgLxwN/"
     "PD0HoCuVGybVMeIFPwubYGUExalfkHEOoxVmfqHNJn1CAD8x6KFPpQiF+7Kyg2bmjrdsv0be6n5afyUO",
     "SHA256:30AzuHU269Sn+VmYs+mM/5Qz4+y5oReckP+d/ZtnUxg"},
    // ssh-keygen -t ecdsa -b 256
    {"ecdsa-sha2-nistp256",
     "nistp256,0x4a5ffeb71c23000c5178994c57003e21078d55b12436f33749a7e9d875d85ca2,"
     "0xdfa447e8ee53bdaf8288d2d7b0089984109b2c1e6c5084cb7fc21be293df1391",
     256, "ecdsa-sha2-nistp256",
     "AAAAE2VjZHNhLXNoYTItbmlzdHAyNTYAAAAIbmlzdHAyNTYAAABBBEpf/"
     "rccIwAMUXiZTFcAPiEHjVWxJDbzN0mn6dh12Fyi36RH6O5Tva+CiNLXsAiZhBCbLB5sUITLf8Ib4pPfE5E=",
     "SHA256:VzyfOrIEStDe0Qg/bYX7wv5HsWBJY3INEzF1Mvoe6KQ"},
    // ssh-keygen -t ecdsa -b 384
    {"ecdsa-sha2-nistp384",
     "nistp384,"
     "0x4d1b894d8ab960ce35d3c696f949611a11e674a9eb488dff75f59cbb0bb38bf53f7c3c9b8a45556c567291d9c85"
     "b2255,"
     "0x3061dd938ca92b3df6d74507958a5b12550597de3eb60baa75a3573ab7c231e1cfae7e94abf9872ce0c8adbbeab"
     "c6fdc",
     384, "ecdsa-sha2-nistp384",
     "AAAAE2VjZHNhLXNoYTItbmlzdHAzODQAAAAIbmlzdHAzODQAAABhBE0biU2KuWDONdPGlvlJYRoR5nSp60iN/"
     "3X1nLsLs4v1P3w8m4pFVWxWcpHZyFsiVTBh3ZOMqSs99tdFB5WKWxJVBZfePrYLqnWjVzq3wjHhz65+"
     "lKv5hyzgyK276rxv3A==",
     "SHA256:Cztv5kZmLbtxiqhmdJ5cXyjXqaASiaLOr8oFOwzY6dU"},
    // ssh-keygen -t ecdsa -b 521
    {"ecdsa-sha2-nistp521",
     "nistp521,"
     "0x1c3433b7463668a54210a85134de9f38df3b1433429114c616f6e05873389d14e021bcc5ede7f4e3d2c01e6ac2e"
     "f8f13a12b4eea13d263dde1272ba9defaca2eae6,"
     "0x18c2a791bdffc87b6adfae97b27e01c48292e2750d4e5c3c270c0d6e651e024c077537263f3681d1501931c9dec"
     "90b0ce5a58ca0744ccc09a2c59f6cde3345a8cbe",
     521, "ecdsa-sha2-nistp521",
     "AAAAE2VjZHNhLXNoYTItbmlzdHA1MjEAAAAIbmlzdHA1MjEAAACFBAHDQzt0Y2aKVCEKhRNN6fON87FDNCkRTGFvbgWHM"
     "4nRTgIbzF7ef049LAHmrC748ToStO6hPSY93hJyup3vrKLq5gGMKnkb3/"
     "yHtq366Xsn4BxIKS4nUNTlw8JwwNbmUeAkwHdTcmPzaB0VAZMcneyQsM5aWMoHRMzAmixZ9s3jNFqMvg==",
     "SHA256:2z0Qs3a8R8GimuC6fkZc6yyHqsJOmqf333XhHTiSMJ4"},
    // ssh-keygen -t ed25519
    {"ssh-ed25519",
     "0x426866dd147c75ba8b83c429753bfbc90a4c922298938094f12cf64648f0de22,"
     "0x4b096671a6bba55e090d4faf859656d3984ba7299dad5fcaff059db70aabefb0",
     256, "ssh-ed25519", "AAAAC3NzaC1lZDI1NTE5AAAAILDvqwq3nQX/yl+tnSmnS5jTVpaFr08NCV6lu6ZxZglL",
     "SHA256:TNXa+3GwUxM/NHCq1tkG8I6Eedu98qy1lndCkQYp4V0"},
    // openssl genpkey -algorithm ED448; x, the wire form and its SHA-256 computed apart in Python
    {"ssh-ed448",
     "0x5af27cad9292ac205b7e351ee6327f3f9f9e9e17d56a0b589380394ae9220df5738418c12496e4b40e3b37ba2ee"
     "cf4a7db9fb939d41c534,"
     "0x7a8d9345167e07128609a262e7194007d83b08b45717098e8c3486f6cea9f18b94247d1ac4ccc8600bda573c810"
     "a31ab6bf5e3734702bd09",
     456, "ssh-ed448",
     "AAAACXNzaC1lZDQ0OAAAADkJvQJHc+"
     "P1a6sxCoE8V9oLYMjMxBp9JJSL8anO9oY0jI4JF1e0CDvYB0AZ52KiCYYSB34WRZONegA=",
     "SHA256:Rr/k/oWEK9di4OoC0Wwy3S9U+WuNpq76XrXxXOhrdo4"},
};

} // namespace

TEST(KeyModelTest, RealKeysGiveTheirWireFormAndFingerprint) {
    for (const RealKey& row : realKeys) {
        SCOPED_TRACE(row.puttyType);
        const ParsedKey parsed = parsePuttyKey(row.puttyType, row.data);
        ASSERT_TRUE(parsed.key) << parsed.error;
        EXPECT_EQ(parsed.key->puttyType, row.puttyType);
        EXPECT_EQ(parsed.key->openSshType, row.openSshType);
        EXPECT_EQ(parsed.key->bits, row.bits);
        EXPECT_EQ(base64Encode(parsed.key->wire), row.base64);
        EXPECT_EQ(sha256Fingerprint(parsed.key->wire), row.fingerprint);
        EXPECT_EQ(knownHostsLine("[::1]", 2222, *parsed.key),
                  std::string("[[::1]]:2222 ") + row.openSshType + " " + row.base64);

        const std::optional<PuttyKeyText> text = puttyKeyFromWire(wireOf(row.base64));
        ASSERT_TRUE(text);
        EXPECT_EQ(text->puttyType, row.puttyType);
        EXPECT_EQ(text->data, row.data);
        EXPECT_EQ(openSshTypeOf(row.puttyType), row.openSshType);
        EXPECT_EQ(puttyTypeOf(row.openSshType), row.puttyType);
    }
}

TEST(KeyModelTest, Ssh1KeyHasSizeButNoWireForm) {
    const ParsedKey parsed = parsePuttyKey("rsa", std::string("0x25,") + (realKeys[0].data + 8));
    ASSERT_TRUE(parsed.key) << parsed.error;
    EXPECT_EQ(parsed.key->bits, 1024u);
    EXPECT_EQ(parsed.key->openSshType, "");
    EXPECT_TRUE(parsed.key->wire.empty());
    EXPECT_THROW(knownHostsLine("h", 22, *parsed.key), std::invalid_argument);
    EXPECT_EQ(openSshTypeOf("rsa"), "");
    EXPECT_EQ(puttyTypeOf(""), "");
}

TEST(KeyModelTest, SpellingsPuttyDoesNotWriteGiveTheSameKey) {
    const ParsedKey canonical = parsePuttyKey("rsa2", realKeys[0].data);
    std::string data = realKeys[0].data;
    for (char& c : data) {
        c = static_cast<char>(c == 'x' ? c : std::toupper(static_cast<unsigned char>(c)));
    }
    data.insert(2, "000");
    const ParsedKey other = parsePuttyKey("rsa2", data);
    ASSERT_TRUE(canonical.key && other.key) << other.error;
    EXPECT_EQ(other.key->wire, canonical.key->wire);
}

TEST(KeyModelTest, ConstructedWireFormsConvertBothWays) {
    struct Row {
        const char* type;
        Bytes body;       // the wire form after the type's name
        const char* data; // nullptr: no such key
    };
    // 43 times the generator, whose y is 31 bytes (from Python)
    const char* x = "986ae2506f1ff104d04230861d8f4b498f4bc4c6d009b30f7544dc129b82d28d";
    const char* y = "3cccc0a6460e0ae328a4d97d3c7b61d86fc6289c189f2525110c441bb07e97";
    const Bytes point = Bytes{0x04} + fromHex(x) + Bytes{0} + fromHex(y);
    const Row rows[] = {
        // short coordinates are padded to the curve's size
        {"ecdsa-sha2-nistp256", sshString(bytesOf("nistp256")) + sshString(point),
         "nistp256,0x986ae2506f1ff104d04230861d8f4b498f4bc4c6d009b30f7544dc129b82d28d,"
         "0x3cccc0a6460e0ae328a4d97d3c7b61d86fc6289c189f2525110c441bb07e97"},
        // y = 3 takes the sqrt(-1) step of RFC 8032 5.1.3, y = 9 does not (values from Python)
        {"ssh-ed25519", sshString(edwardsKey(32, 3, true)),
         "0x1701402bd9ec9f710bb750a74e10d7cee3f269b422cf43f8010919e0fe51fa0b,0x3"},
        {"ssh-ed25519", sshString(edwardsKey(32, 9, false)),
         "0x2e6c8264fea9d66c6500844c12ef76c306686b183a9141b4fcaba1a10a1ae008,0x9"},
        // the neutral point: x = 0, written as PuTTY writes zero
        {"ssh-ed25519", sshString(edwardsKey(32, 1, false)), "0x0,0x1"},
        {"ssh-ed448", sshString(edwardsKey(57, 1, false)), "0x0,0x1"},
        // x = 0 has no odd root
        {"ssh-ed25519", sshString(edwardsKey(32, 1, true)), nullptr},
        // y = 2 is on neither curve
        {"ssh-ed25519", sshString(edwardsKey(32, 2, false)), nullptr},
        {"ssh-ed448", sshString(edwardsKey(57, 2, false)), nullptr},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(hexOf(row.body));
        const Bytes wire = sshString(bytesOf(row.type)) + row.body;
        const std::optional<PuttyKeyText> text = puttyKeyFromWire(wire);
        ASSERT_EQ(text.has_value(), row.data != nullptr);
        if (text) {
            EXPECT_EQ(text->data, row.data);
            const ParsedKey back = parsePuttyKey(row.type, text->data);
            ASSERT_TRUE(back.key) << back.error;
            EXPECT_EQ(back.key->wire, wire);
        }
    }
}

TEST(KeyModelTest, MalformedDataIsRefusedWithAReason) {
    const std::string ed25519 = realKeys[5].data;
    const std::string ed448 = realKeys[6].data;
    const std::string n = std::string(realKeys[0].data).substr(8);
    std::vector<std::string> dss;
    for (std::size_t at = 0, comma = 0; comma != std::string::npos; at = comma + 1) {
        comma = std::string_view(realKeys[1].data).find(',', at);
        dss.push_back(std::string(realKeys[1].data).substr(at, comma - at));
    }
    const auto dssWith = [&](std::size_t i, const std::string& number) {
        std::vector<std::string> fields = dss;
        fields[i] = number;
        return fields[0] + "," + fields[1] + "," + fields[2] + "," + fields[3];
    };
    const auto ecdsaWith = [](std::size_t row, char last) {
        std::string data = realKeys[row].data;
        data.back() = last;
        return data;
    };
    struct Row {
        const char* type;
        std::string data;
    };
    const Row rows[] = {
        {"ssh-foo", "0x1,0x2"},
        {"rsa2", ""},
        {"rsa2", "0x10001"},
        {"rsa2", "0x10001,0x"},
        {"rsa2", "10001,0xff"},
        {"rsa2", "0X10001,0xff"},
        {"rsa2", "0x10001,0xfg"},
        {"rsa2", "0x10001,0xff,"},
        {"rsa2", " 0x10001,0xff"},
        {"rsa2", "0x10001,0xff\n"},
        {"rsa2", "0x10001,-0xff"},
        {"rsa2", "0x10001,0x1" + std::string(4096, '0')}, // 16385 bits
        {"rsa2", "0x1," + n},
        {"rsa2", "0x10000," + n},
        {"rsa2", "0x10001,0x0"},
        {"rsa2", "0x10001," + n.substr(0, n.size() - 1) + "2"},
        {"rsa", "0x1," + n},
        {"dss", "0x1,0x2,0x3"},
        {"dss", dssWith(0, "0x1")},
        {"dss", dssWith(1, "0x0")},
        {"dss", dssWith(2, "0x1")},
        {"dss", dssWith(3, "0x0")},
        {"dss", dssWith(1, dss[0])},
        {"dss", dssWith(2, dss[0])},
        {"dss", dssWith(3, dss[0])},
        {"ecdsa-sha2-nistp256", "nistp256,0x0,0x0"},
        {"ecdsa-sha2-nistp256", ecdsaWith(2, '0')},
        {"ecdsa-sha2-nistp384", ecdsaWith(3, '0')},
        {"ecdsa-sha2-nistp521", ecdsaWith(4, '0')},
        // x = p, with the y of x = 0
        {"ecdsa-sha2-nistp256",
         "nistp256,0xffffffff00000001000000000000000000000000ffffffffffffffffffffffff,"
         "0x66485c780e2f83d72433bd5d84a06bb6541c2af31dae871728bf856a174f93f4"},
        {"ecdsa-sha2-nistp256", "0x1,0x2"},
        {"ecdsa-sha2-nistp256", "nistp384,0x1,0x2"},
        {"ecdsa-sha2-nistp256", "nistp256,0x1" + std::string(64, '0') + ",0x2"}, // 257 bits
        {"ecdsa-sha2-nistp521", "nistp521,0x2,0x2" + std::string(130, '0')},     // 522 bits
        {"ssh-ed25519", ed25519.substr(0, ed25519.find(',') - 1) + "3" +
                            ed25519.substr(ed25519.find(','))}, // x of another point
        {"ssh-ed25519",
         "0x0,0x7fffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffed"}, // y = p
        {"ssh-ed25519", "0x0,0x1" + std::string(64, '0')},                          // 257 bits
        {"ssh-ed448", "0x1" + ed448.substr(ed448.find(','))},
        {"ssh-ed448", "0x1,0x1"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.type) + " " + row.data.substr(0, 80));
        const ParsedKey parsed = parsePuttyKey(row.type, row.data);
        EXPECT_FALSE(parsed.key);
        EXPECT_FALSE(parsed.error.empty());
    }
}

TEST(KeyModelTest, MalformedWireFormsAreRefused) {
    const Bytes rsa = wireOf(realKeys[0].base64);
    const Bytes ecdsa = wireOf(realKeys[2].base64);
    const Bytes e = sshString(Bytes{0x01, 0x00, 0x01});
    const Bytes rsaType = sshString(bytesOf("ssh-rsa"));
    const Bytes point = Bytes{0x02} + Bytes(64, 0x11);
    const Bytes rows[] = {
        {},
        Bytes(rsa.begin(), rsa.end() - 1),
        rsa + Bytes{0},
        sshString(bytesOf("ssh-rsa-cert-v01@openssh.com")) + e + e,
        rsaType + e,
        rsaType + e + sshString(Bytes{0x00, 0x7f}), // a zero byte that is not needed
        rsaType + e + sshString(Bytes{0x80}),       // negative
        rsaType + e + sshString(Bytes{0x00}),       // zero is empty
        rsaType + e + Bytes{0xff, 0xff, 0xff, 0xff},
        sshString(bytesOf("ecdsa-sha2-nistp384")) + Bytes(ecdsa.begin() + 23, ecdsa.end()),
        Bytes(ecdsa.begin(), ecdsa.begin() + 35) + sshString(point), // compressed point tag
        rsaType + sshString(Bytes{0x01}) + Bytes(rsa.begin() + 18, rsa.end()), // e = 1
        sshString(bytesOf("ssh-dss")) + sshString(Bytes{0x01}) + e + e + e,    // p = 1
        Bytes(ecdsa.begin(), ecdsa.end() - 1) + Bytes{0x90},                   // off the curve
        // The same point in 66 bytes, y given a leading zero: not RFC 5656's fixed width.
        Bytes(ecdsa.begin(), ecdsa.end() - 69) +
            sshString(Bytes(ecdsa.end() - 65, ecdsa.end() - 32) + Bytes{0} +
                      Bytes(ecdsa.end() - 32, ecdsa.end())),
        sshString(bytesOf("ssh-ed25519")) + sshString(Bytes(31, 1)),
        sshString(bytesOf("ssh-ed25519")) + sshString(Bytes(31, 0xff) + Bytes{0x7f}), // y >= p
        sshString(bytesOf("ssh-ed448")) + sshString(Bytes(56, 0) + Bytes{0x01}), // not x's parity
    };
    for (std::size_t i = 0; i < sizeof rows / sizeof rows[0]; ++i) {
        SCOPED_TRACE(i);
        EXPECT_FALSE(puttyKeyFromWire(rows[i]));
    }
}

TEST(KeyModelTest, CachedNamesSplitAtTheFirstAtAndColon) {
    struct Row {
        const char* name;
        bool valid;
        const char* keyType;
        unsigned port;
        const char* host;
    };
    const Row rows[] = {
        {"ssh-ed25519@2222:127.0.0.1", true, "ssh-ed25519", 2222, "127.0.0.1"},
        {"rsa2@22:::1", true, "rsa2", 22, "::1"},
        {"rsa2@1:a@b:c", true, "rsa2", 1, "a@b:c"},
        {"rsa2@65535:%2Eh", true, "rsa2", 65535, "%2Eh"},
        {"rsa2@0:h", false, "", 0, ""},
        {"rsa2@65536:h", false, "", 0, ""},
        {"rsa2@022:h", false, "", 0, ""},
        {"rsa2@+22:h", false, "", 0, ""},
        {"rsa2@:h", false, "", 0, ""},
        {"ssh-ed25519@65535:", true, "ssh-ed25519", 65535, ""}, // plink caches an empty host
        {"@22:h", false, "", 0, ""},
        {"rsa222:h", false, "", 0, ""},
        {"rsa2@22h", false, "", 0, ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const std::optional<CachedName> name = parseCachedName(row.name);
        ASSERT_EQ(name.has_value(), row.valid);
        if (name) {
            EXPECT_EQ(name->keyType, row.keyType);
            EXPECT_EQ(name->port, row.port);
            EXPECT_EQ(name->host, row.host);
            EXPECT_EQ(composeCachedName(*name), row.name);
        }
    }
}

TEST(KeyModelTest, HostsAreEscapedAsPuttyForWindowsStoresThem) {
    const std::pair<std::string, std::string> rows[] = {
        {"server.example.com", "server.example.com"},
        {".hidden.", "%2Ehidden."},
        {"a b\\c*d?e%f", "a%20b%5Cc%2Ad%3Fe%25f"},
        {"fe80::1%eth0", "fe80::1%25eth0"},
        {std::string("\x01\x1f\x7f\xc3\xa9~", 6), "%01%1F%7F%C3%A9~"},
    };
    for (const auto& [host, stored] : rows) {
        EXPECT_EQ(escapeHost(host), stored);
        EXPECT_EQ(unescapeHost(stored), host);
    }
    // What PuTTY never writes is read as it stands.
    EXPECT_EQ(unescapeHost("%4a%4%zz100%"), "J%4%zz100%");
}

TEST(KeyModelTest, KnownHostsNamesThePortUnless22) {
    EXPECT_EQ(knownHostsHost("host", 22), "host");
    EXPECT_EQ(knownHostsHost("host", 2222), "[host]:2222");
    EXPECT_EQ(knownHostsHost("::1", 22), "::1");
    EXPECT_EQ(knownHostsHost("::1", 2200), "[::1]:2200");
    EXPECT_TRUE(isPlainKnownHostsHost("fe80::1%eth0"));
    // Read by OpenSSH as a pattern, a list, a comment, a hashed name, a marker, a .pub line or
    // not as one name.
    for (const char* host : {"*", "a?", "a,github.com", "!x", "a!b", "#x", "|1|x", "@revoked x",
                             "[a]", "a\tb", "a\x1b", "a\x7f", "ssh-rsa", ""}) {
        EXPECT_FALSE(isPlainKnownHostsHost(host)) << host;
    }
}

TEST(KeyModelTest, DigestsAndBase64MatchPublishedVectors) {
    // FIPS 180-2 "abc"; RFC 2202 HMAC-SHA1 case 1
    EXPECT_EQ(hexOf(sha256(bytesOf("abc"))),
              "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(hexOf(hmacSha1(Bytes(20, 0x0b), bytesOf("Hi There"))),
              "b617318655057264e28bc0b6fb378c8ef146be00");
    // RFC 4648 section 10
    const std::pair<const char*, const char*> rows[] = {
        {"", ""}, {"f", "Zg=="}, {"fo", "Zm8="}, {"foo", "Zm9v"}, {"foobar", "Zm9vYmFy"},
    };
    for (const auto& [data, text] : rows) {
        EXPECT_EQ(base64Encode(bytesOf(data)), text);
        EXPECT_EQ(base64Decode(text), bytesOf(data));
    }
    for (const char* bad : {"Zg=", "Zg", "Zh==", "Zm9=", "Zm9v\n", " Zm9v", "Zm=v",
                            "Z===", "====", "Zg==Zg==", "Zm9v Zm9v", "Zm9v\r\nZm9v"}) {
        EXPECT_FALSE(base64Decode(bad)) << bad;
    }
}

namespace {

const std::string rsa = realKeys[0].base64;
const std::string dss = realKeys[1].base64;
const std::string ecdsa = realKeys[2].base64;
const std::string ed25519 = realKeys[5].base64;

// Lines 5 and 6 are lines 3 and 4 for web.example.com hashed by `ssh-keygen -H`, which
// `ssh-keygen -F web.example.com` and `-F '[web.example.com]:2222'` found.
const std::string knownHosts =
    "# hosts the admin trusts\n"
    "\n"
    "  web.example.com,10.0.0.5 ssh-ed25519 " +
    ed25519 +
    " a comment\n"
    "[web.example.com]:2222\tecdsa-sha2-nistp256 " +
    ecdsa +
    "\n"
    "|1|j6CH362wHzIq9D+3eTqzFV5G2qA=|ww1FEsRToMq7HONcboNfrXs4xNg= ssh-ed25519 " +
    ed25519 +
    "\n"
    "|1|Sq1jtL2B7OBs4bBrkYXCwnKavOw=|6AhqGNeMyFKbA3xF4RVhdJaE15Y= ecdsa-sha2-nistp256 " +
    ecdsa +
    "\n"
    "*.example.com,db.example.com ssh-rsa " +
    rsa +
    "\n"
    "!bad.example.com,bad.example.com ssh-rsa " +
    rsa +
    "\n"
    "@cert-authority *.example.com ssh-rsa " +
    rsa +
    "\n"
    "@revoked web.example.com ssh-rsa " +
    rsa +
    "\n"
    "web.example.com ssh-ed25519-cert-v01@openssh.com " +
    ed25519 +
    "\n"
    "web.example.com ssh-ed25519\n"
    "web.example.com ssh-ed25519 " +
    ed25519.substr(1) +
    "\n"
    "web.example.com ssh-rsa " +
    ed25519 +
    "\n"
    "[web.example.com]:0 ssh-ed25519 " +
    ed25519 +
    "\n"
    "web.example.com sk-ssh-ed25519@openssh.com " +
    ed25519 +
    "\n"
    "ssh-ed25519 " +
    ed25519 +
    " root@web\n"
    "[::1]:22 ssh-dss " +
    dss +
    "\r\n"
    "web.example.com ssh-ed25519 AAAAC3NzaC1lZDI1NTE5AAAAIA==\n"
    "|1|j6CH362wHzIq9D+3eTqzFV5G2qA=|ww1FEsRToMq7HONcboNfrXs4xNg ssh-ed25519 " +
    ed25519 + "\n[#web]:22 ssh-ed25519 " + ed25519;

// "line host port type" of each key read, and the data PuTTY stores for it.
std::vector<std::string> describe(const ReadKeys& read) {
    std::vector<std::string> out;
    for (const ReadKey& key : read.keys) {
        out.push_back(std::to_string(key.line) + " " + key.host + " " + std::to_string(key.port) +
                      " " + key.key->puttyType);
        for (const RealKey& real : realKeys) {
            if (key.key->puttyType == real.puttyType) {
                EXPECT_EQ(key.key->data, real.data) << out.back();
                EXPECT_EQ(sha256Fingerprint(key.key->wire), real.fingerprint) << out.back();
            }
        }
    }
    return out;
}

std::vector<std::size_t> warningLines(const ReadKeys& read) {
    std::vector<std::size_t> lines;
    for (const ReadWarning& warning : read.warnings) {
        EXPECT_FALSE(warning.message.empty());
        lines.push_back(warning.line);
    }
    return lines;
}

} // namespace

TEST(KeyModelTest, KnownHostsGiveTheKeysOpenSshWouldUse) {
    struct Row {
        std::optional<HostQuery> query;
        std::vector<std::string> keys;
        std::vector<std::size_t> warnings;
    };
    const std::vector<std::size_t> always = {7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 19, 20, 21};
    const Row rows[] = {
        {std::nullopt,
         {"3 web.example.com 22 ssh-ed25519", "3 10.0.0.5 22 ssh-ed25519",
          "4 web.example.com 2222 ecdsa-sha2-nistp256", "7 db.example.com 22 rsa2",
          "18 ::1 22 dss"},
         {5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 19, 20, 21}},
        {HostQuery{"web.example.com", 22},
         {"3 web.example.com 22 ssh-ed25519", "5 web.example.com 22 ssh-ed25519",
          "17 web.example.com 22 ssh-ed25519"},
         always},
        {HostQuery{"WEB.Example.com", 2222},
         {"4 web.example.com 2222 ecdsa-sha2-nistp256",
          "6 WEB.Example.com 2222 ecdsa-sha2-nistp256", "17 WEB.Example.com 2222 ssh-ed25519"},
         always},
        {HostQuery{"db.example.com", 22},
         {"7 db.example.com 22 rsa2", "17 db.example.com 22 ssh-ed25519"},
         always},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.query ? row.query->host : "no host");
        const ReadKeys read = readKnownHosts(knownHosts, row.query, knownHosts.size());
        EXPECT_EQ(read.error, "");
        EXPECT_EQ(describe(read), row.keys);
        EXPECT_EQ(warningLines(read), row.warnings);
    }
}

TEST(KeyModelTest, ALargeFileReadsAsItsCopiesInTheirOrder) {
    // Megabytes are read in parts, on threads where there are cores for them.
    const std::string copy = knownHosts + "\n";
    const std::size_t copyLines = std::size_t(std::count(copy.begin(), copy.end(), '\n'));
    // A first line that puts the cuts anywhere but between two copies.
    std::string text = "# " + std::string(copy.size() / 3, '#') + "\n";
    const std::size_t copies = (std::size_t(3) << 20) / copy.size();
    for (std::size_t i = 0; i < copies; ++i) {
        text += copy;
    }
    const ReadKeys one = readKnownHosts(copy, std::nullopt, copy.size());
    const ReadKeys all = readKnownHosts(text, std::nullopt, text.size());
    ASSERT_EQ(all.keys.size(), copies * one.keys.size());
    ASSERT_EQ(all.warnings.size(), copies * one.warnings.size());
    std::size_t wrong = 0;
    for (std::size_t i = 0; i < all.keys.size(); ++i) {
        const ReadKey& expected = one.keys[i % one.keys.size()];
        const ReadKey& key = all.keys[i];
        wrong += key.line != 1 + expected.line + i / one.keys.size() * copyLines ||
                 key.host != expected.host || key.key->data != expected.key->data;
    }
    for (std::size_t i = 0; i < all.warnings.size(); ++i) {
        const ReadWarning& expected = one.warnings[i % one.warnings.size()];
        wrong += all.warnings[i].line != 1 + expected.line + i / one.warnings.size() * copyLines ||
                 all.warnings[i].message != expected.message;
    }
    EXPECT_EQ(wrong, 0u);
}

TEST(KeyModelTest, MemoryRunningOutOnAReadersThreadFailsTheRead) {
    if (std::thread::hardware_concurrency() < 2) {
        GTEST_SKIP() << "one core: no part is read on a thread of its own";
    }
    std::string text;
    while (text.size() < (std::size_t(3) << 20)) {
        text += knownHosts + "\n";
    }
    testThread = std::this_thread::get_id();
    failingThreads = true;
    EXPECT_THROW(readKnownHosts(text, std::nullopt, text.size()), std::bad_alloc);
    failingThreads = false;
}

TEST(KeyModelTest, PartsNoThreadCouldTakeAreReadOnTheCallingThread) {
    if (std::thread::hardware_concurrency() < 2) {
        GTEST_SKIP() << "one core: no part is read on a thread of its own";
    }
    std::string text;
    while (text.size() < (std::size_t(3) << 20)) {
        text += knownHosts + "\n";
    }
    const ReadKeys threaded = readKnownHosts(text, std::nullopt, text.size());
    const PAL::ThreadStarter standard =
        PAL::setThreadStarter([](std::function<void()>) -> std::thread {
            throw std::system_error(
                std::make_error_code(std::errc::resource_unavailable_try_again));
        });
    const ReadKeys here = readKnownHosts(text, std::nullopt, text.size());
    PAL::setThreadStarter(standard);
    ASSERT_EQ(threaded.keys.size(), here.keys.size());
    EXPECT_EQ(threaded.keys.back().line, here.keys.back().line);
    EXPECT_EQ(threaded.warnings.size(), here.warnings.size());
}

TEST(KeyModelTest, ALineOfManyNamesGivesEachNameTheLinesOneKey) {
    std::string text;
    for (int i = 0; i < 100000; ++i) {
        text += "h" + std::to_string(i) + ",";
    }
    text += "[h]:2222 ssh-ed25519 " + ed25519 + "\nh1,!h2 ssh-ed25519 " + ed25519;
    const ReadKeys read = readKnownHosts(text, std::nullopt, text.size());
    ASSERT_EQ(read.keys.size(), 100001u);
    EXPECT_EQ(read.keys[99999].host, "h99999");
    EXPECT_EQ(read.keys.back().host + ":" + std::to_string(read.keys.back().port), "h:2222");
    EXPECT_EQ(read.keys.back().key->data, realKeys[5].data);
    // Not a copy per name: a line may name millions of hosts.
    EXPECT_EQ(std::count_if(read.keys.begin(), read.keys.end(),
                            [&](const ReadKey& key) { return key.key == read.keys[0].key; }),
              100001);
    EXPECT_EQ(warningLines(read), std::vector<std::size_t>{2});
}

TEST(KeyModelTest, PuttyLinesGiveTheirKeys) {
    const std::string text = "rsa2@22:web.example.com " + std::string(realKeys[0].data) +
                             "\n"
                             "\n"
                             "ssh-ed25519@2222:my%20host " +
                             realKeys[5].data +
                             "\r\n"
                             "rsa@22:old 0x25," +
                             (realKeys[0].data + 8) +
                             "\n"
                             "dss@22:web.example.com\n"
                             "dss@0:web.example.com " +
                             realKeys[1].data +
                             "\n"
                             "dss@22:web.example.com " +
                             realKeys[2].data +
                             "\n"
                             "ecdsa-sha2-nistp256@22:web.example.com " +
                             realKeys[2].data;
    for (const bool escaped : {true, false}) {
        const ReadKeys read = readPuttyLines(text, escaped, text.size());
        EXPECT_EQ(read.error, "");
        EXPECT_EQ(describe(read),
                  (std::vector<std::string>{
                      "1 web.example.com 22 rsa2",
                      escaped ? "3 my host 2222 ssh-ed25519" : "3 my%20host 2222 ssh-ed25519",
                      "4 old 22 rsa", "8 web.example.com 22 ecdsa-sha2-nistp256"}));
        EXPECT_EQ(warningLines(read), (std::vector<std::size_t>{5, 6, 7}));
    }
}

TEST(KeyModelTest, BinaryOrOversizedFilesAreRefused) {
    const std::string line = "web.example.com ssh-ed25519 " + ed25519 + "\n";
    const std::pair<std::string, std::size_t> rows[] = {
        {line + line + std::string(1, '\0') + line, 1000},
        {line + line + "\x1b[0m" + line, 1000},
        {line + line + "a\rb" + line, 1000},
        {line, line.size() - 1},
    };
    for (const auto& [text, limit] : rows) {
        for (const ReadKeys& read :
             {readKnownHosts(text, std::nullopt, limit), readPuttyLines(text, false, limit)}) {
            EXPECT_NE(read.error, "") << text;
            EXPECT_TRUE(read.keys.empty() && read.warnings.empty());
        }
    }
    EXPECT_EQ(readKnownHosts(line, std::nullopt, line.size()).keys.size(), 1u);
}
