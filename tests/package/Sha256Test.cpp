#include "package/Sha256.h"

#include <gtest/gtest.h>

#include <string>

namespace kt {
namespace {

struct DigestCase {
    std::string name;
    std::string message;
    std::string hex;
};

std::ostream& operator<<(std::ostream& os, const DigestCase& c)
{
    return os << c.name;
}

std::string Hex(const Sha256Digest& digest)
{
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text;
    for (auto b : digest) {
        text += kDigits[b >> 4];
        text += kDigits[b & 0x0F];
    }
    return text;
}

class Sha256Test : public ::testing::TestWithParam<DigestCase> {};

TEST_P(Sha256Test, MatchesTheStandardDigest)
{
    EXPECT_EQ(Hex(Sha256(GetParam().message)), GetParam().hex);
}

// The padding fills one block up to 55 bytes of tail and spills into a second from 56 on.
INSTANTIATE_TEST_SUITE_P(
    Messages, Sha256Test,
    ::testing::Values(DigestCase{"Empty", "", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
                      DigestCase{"Abc", "abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
                      DigestCase{"TailOf55", std::string(55, 'a'),
                                 "9f4390f8d30c2dd92ec9f095b65e2b9ae9b0a925a5258e241c9f1e910f734318"},
                      DigestCase{"TailOf56", "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
                                 "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
                      DigestCase{"OneWholeBlock", std::string(64, 'a'),
                                 "ffe054fe7ae0cb6dc65c3af9b61d5209f439851db43d0ba5997337df154668eb"},
                      DigestCase{"MillionBytes", std::string(1000000, 'a'),
                                 "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"}),
    [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace kt
