#include "common/md5.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "common/file_digest.h"

namespace {

std::wstring DigestText(const std::string& message) {
    MD5_CTX context;
    unsigned char digest[16];
    context.MD5Update(reinterpret_cast<const unsigned char*>(message.data()),
                      static_cast<unsigned int>(message.size()));
    context.MD5Final(digest);
    return Md5DigestToText(digest);
}

std::string Repeat(const std::string& text, int times) {
    std::string result;
    for (int i = 0; i < times; ++i)
        result += text;
    return result;
}

TEST(Md5, RfcTestSuiteDigestsInLowerCase) {
    const std::pair<std::string, std::wstring> suite[] = {
        {"", L"d41d8cd98f00b204e9800998ecf8427e"},
        {"a", L"0cc175b9c0f1b6a831c399e269772661"},
        {"abc", L"900150983cd24fb0d6963f7d28e17f72"},
        {"message digest", L"f96b697d7cb7938d525a2f31aaf161d0"},
        {"abcdefghijklmnopqrstuvwxyz", L"c3fcd3d76192e4007dfb496cca67e13b"},
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
         L"d174ab98d277d9f5a5611c2c9f419d9f"},
        {Repeat("1234567890", 8), L"57edf4a22be3c955ac49da2e2107b67a"},
        {std::string(1000000, 'a'), L"7707d6ae4e027c70eea2a935c2296f21"},
    };
    for (const auto& [message, digest] : suite)
        EXPECT_EQ(DigestText(message), digest) << message.substr(0, 20);
}

TEST(Md5, PiecesOfAnySizeGiveTheDigestOfTheWhole) {
    std::vector<unsigned char> message(300);
    for (size_t i = 0; i < message.size(); ++i)
        message[i] = static_cast<unsigned char>(i * 7);
    unsigned char whole[16];
    MD5_CTX once;
    once.MD5Update(message.data(), 300);
    once.MD5Final(whole);
    for (size_t piece : {1, 3, 55, 56, 63, 64, 65, 128, 129}) {
        MD5_CTX context;
        for (size_t at = 0; at < message.size(); at += piece) {
            size_t length = std::min(piece, message.size() - at);
            context.MD5Update(message.data() + at, static_cast<unsigned int>(length));
        }
        unsigned char digest[16];
        context.MD5Final(digest);
        EXPECT_EQ(std::memcmp(digest, whole, 16), 0) << piece;
    }
}

TEST(Md5, FinalLeavesTheObjectReadyForANewMessage) {
    MD5_CTX context;
    unsigned char first[16], second[16], fresh[16];
    context.MD5Update(reinterpret_cast<const unsigned char*>("something else"), 14);
    context.MD5Final(first);
    context.MD5Update(reinterpret_cast<const unsigned char*>("abc"), 3);
    context.MD5Final(second);
    MD5_CTX other;
    other.MD5Update(reinterpret_cast<const unsigned char*>("abc"), 3);
    other.MD5Final(fresh);
    EXPECT_EQ(std::memcmp(second, fresh, 16), 0);
    EXPECT_NE(std::memcmp(first, second, 16), 0);
}

TEST(Md5, DigestTextsCompareWithoutRegardToLetterCase) {
    EXPECT_TRUE(
        IsSameMd5Text(L"900150983CD24FB0D6963F7D28E17F72", L"900150983cd24fb0d6963f7d28e17f72"));
    EXPECT_FALSE(
        IsSameMd5Text(L"900150983cd24fb0d6963f7d28e17f7", L"900150983cd24fb0d6963f7d28e17f72"));
    EXPECT_FALSE(IsSameMd5Text(L"", L""));
    EXPECT_FALSE(IsSameMd5Text(nullptr, L"900150983cd24fb0d6963f7d28e17f72"));
    EXPECT_FALSE(IsSameMd5Text(L"900150983cd24fb0d6963f7d28e17f72", nullptr));
}

}  // namespace
