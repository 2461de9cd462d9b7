// The image digest: known answers for both routines, every padding length, and the two routines side by side.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "update/Sha256.h"

namespace {

std::vector<Sha256Engine> Engines() {
    std::vector<Sha256Engine> engines = {Sha256Engine::Portable};
    if (Sha256HasCpuInstructions()) engines.push_back(Sha256Engine::Fastest);
    return engines;
}

std::string Hex(const std::string& text, Sha256Engine engine) {
    return FirmwareSha256Hex(reinterpret_cast<const unsigned char*>(text.data()), text.size(), engine);
}

TEST(FirmwareSha256Test, StandardVectors) {
    for (const Sha256Engine engine : Engines()) {
        SCOPED_TRACE(engine == Sha256Engine::Portable ? "portable" : "cpu");
        EXPECT_EQ(Hex("", engine), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
        EXPECT_EQ(Hex("abc", engine), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
        EXPECT_EQ(Hex("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq", engine),
                  "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
        // A million 'a' in uneven pieces, so that partial blocks are carried between updates.
        const std::string piece(997, 'a');
        FirmwareSha256 sha(engine);
        std::size_t left = 1000000;
        for (std::size_t step = 1; left > 0; step = step % 900 + 13) {
            const std::size_t n = std::min(step, left);
            sha.Update(reinterpret_cast<const unsigned char*>(piece.data()), n);
            left -= n;
        }
        EXPECT_EQ(sha.FinishHex(), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
    }
}

// Every length from 0 to 129 bytes, across the 55/56/64-byte edges where the length moves to a second
// block: the digests of all of them, chained, against the chain worked out by an independent implementation.
TEST(FirmwareSha256Test, EveryLengthAroundThePaddingEdges) {
    std::string pattern;
    for (int i = 0; i < 130; ++i) pattern += static_cast<char>((i * 7 + 1) & 0xFF);
    for (const Sha256Engine engine : Engines()) {
        std::string chain;
        for (std::size_t n = 0; n < 130; ++n) chain += Hex(pattern.substr(0, n), engine);
        EXPECT_EQ(Hex(chain, engine), "8dd2e424ee01611eec3c4062311abfe5b5aa17b5a8f0ada6afd00e2f46d548e4")
            << (engine == Sha256Engine::Portable ? "portable" : "cpu");
    }
}

TEST(FirmwareSha256Test, CpuAndPortableRoutinesAgreeOnRandomData) {
    if (!Sha256HasCpuInstructions()) GTEST_SKIP() << "this CPU has no SHA instructions";
    std::mt19937 generator(27);
    std::vector<unsigned char> data(1 << 20);
    for (unsigned char& byte : data) byte = static_cast<unsigned char>(generator());
    for (int round = 0; round < 40; ++round) {
        const std::size_t length = generator() % data.size();
        const std::size_t split = length == 0 ? 0 : generator() % length;
        FirmwareSha256 cpu(Sha256Engine::Fastest), portable(Sha256Engine::Portable);
        cpu.Update(data.data(), split);
        cpu.Update(data.data() + split, length - split);
        portable.Update(data.data(), length);
        EXPECT_EQ(cpu.FinishHex(), portable.FinishHex()) << "length " << length << ", split at " << split;
    }
}

}  // namespace
