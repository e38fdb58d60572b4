// MD5 after RFC 1321: 64-byte blocks, four rounds of sixteen steps, the bit count appended
// little-endian. Whole blocks are digested straight from the caller's bytes without copying.
#include "common/md5.h"

#include <bit>
#include <cstring>

namespace {

// F and G in forms with one operation fewer than (x & y) | (~x & z) and (x & z) | (y & ~z),
// bit for bit the same: each picks, per bit, from one word or the other by a selector word.
constexpr uint32_t F(uint32_t x, uint32_t y, uint32_t z) {
    return z ^ (x & (y ^ z));
}
constexpr uint32_t G(uint32_t x, uint32_t y, uint32_t z) {
    return y ^ (z & (x ^ y));
}
constexpr uint32_t H(uint32_t x, uint32_t y, uint32_t z) {
    return x ^ y ^ z;
}
constexpr uint32_t I(uint32_t x, uint32_t y, uint32_t z) {
    return y ^ (x | ~z);
}

// One step: a = b + ((a + f(b, c, d) + x + t) <<< s).
template <uint32_t (*Round)(uint32_t, uint32_t, uint32_t)>
inline void Step(uint32_t& a, uint32_t b, uint32_t c, uint32_t d, uint32_t x, int s, uint32_t t) {
    // x + t does not wait for the previous step, so it is added first.
    a = b + std::rotl(a + (x + t) + Round(b, c, d), s);
}

// The four rounds of sixteen steps; each is called once per block, and inlined there.
inline void RoundOne(uint32_t& a, uint32_t& b, uint32_t& c, uint32_t& d, const uint32_t x[16]) {
    Step<F>(a, b, c, d, x[0], 7, 0xd76aa478);
    Step<F>(d, a, b, c, x[1], 12, 0xe8c7b756);
    Step<F>(c, d, a, b, x[2], 17, 0x242070db);
    Step<F>(b, c, d, a, x[3], 22, 0xc1bdceee);
    Step<F>(a, b, c, d, x[4], 7, 0xf57c0faf);
    Step<F>(d, a, b, c, x[5], 12, 0x4787c62a);
    Step<F>(c, d, a, b, x[6], 17, 0xa8304613);
    Step<F>(b, c, d, a, x[7], 22, 0xfd469501);
    Step<F>(a, b, c, d, x[8], 7, 0x698098d8);
    Step<F>(d, a, b, c, x[9], 12, 0x8b44f7af);
    Step<F>(c, d, a, b, x[10], 17, 0xffff5bb1);
    Step<F>(b, c, d, a, x[11], 22, 0x895cd7be);
    Step<F>(a, b, c, d, x[12], 7, 0x6b901122);
    Step<F>(d, a, b, c, x[13], 12, 0xfd987193);
    Step<F>(c, d, a, b, x[14], 17, 0xa679438e);
    Step<F>(b, c, d, a, x[15], 22, 0x49b40821);
}

inline void RoundTwo(uint32_t& a, uint32_t& b, uint32_t& c, uint32_t& d, const uint32_t x[16]) {
    Step<G>(a, b, c, d, x[1], 5, 0xf61e2562);
    Step<G>(d, a, b, c, x[6], 9, 0xc040b340);
    Step<G>(c, d, a, b, x[11], 14, 0x265e5a51);
    Step<G>(b, c, d, a, x[0], 20, 0xe9b6c7aa);
    Step<G>(a, b, c, d, x[5], 5, 0xd62f105d);
    Step<G>(d, a, b, c, x[10], 9, 0x02441453);
    Step<G>(c, d, a, b, x[15], 14, 0xd8a1e681);
    Step<G>(b, c, d, a, x[4], 20, 0xe7d3fbc8);
    Step<G>(a, b, c, d, x[9], 5, 0x21e1cde6);
    Step<G>(d, a, b, c, x[14], 9, 0xc33707d6);
    Step<G>(c, d, a, b, x[3], 14, 0xf4d50d87);
    Step<G>(b, c, d, a, x[8], 20, 0x455a14ed);
    Step<G>(a, b, c, d, x[13], 5, 0xa9e3e905);
    Step<G>(d, a, b, c, x[2], 9, 0xfcefa3f8);
    Step<G>(c, d, a, b, x[7], 14, 0x676f02d9);
    Step<G>(b, c, d, a, x[12], 20, 0x8d2a4c8a);
}

inline void RoundThree(uint32_t& a, uint32_t& b, uint32_t& c, uint32_t& d, const uint32_t x[16]) {
    Step<H>(a, b, c, d, x[5], 4, 0xfffa3942);
    Step<H>(d, a, b, c, x[8], 11, 0x8771f681);
    Step<H>(c, d, a, b, x[11], 16, 0x6d9d6122);
    Step<H>(b, c, d, a, x[14], 23, 0xfde5380c);
    Step<H>(a, b, c, d, x[1], 4, 0xa4beea44);
    Step<H>(d, a, b, c, x[4], 11, 0x4bdecfa9);
    Step<H>(c, d, a, b, x[7], 16, 0xf6bb4b60);
    Step<H>(b, c, d, a, x[10], 23, 0xbebfbc70);
    Step<H>(a, b, c, d, x[13], 4, 0x289b7ec6);
    Step<H>(d, a, b, c, x[0], 11, 0xeaa127fa);
    Step<H>(c, d, a, b, x[3], 16, 0xd4ef3085);
    Step<H>(b, c, d, a, x[6], 23, 0x04881d05);
    Step<H>(a, b, c, d, x[9], 4, 0xd9d4d039);
    Step<H>(d, a, b, c, x[12], 11, 0xe6db99e5);
    Step<H>(c, d, a, b, x[15], 16, 0x1fa27cf8);
    Step<H>(b, c, d, a, x[2], 23, 0xc4ac5665);
}

inline void RoundFour(uint32_t& a, uint32_t& b, uint32_t& c, uint32_t& d, const uint32_t x[16]) {
    Step<I>(a, b, c, d, x[0], 6, 0xf4292244);
    Step<I>(d, a, b, c, x[7], 10, 0x432aff97);
    Step<I>(c, d, a, b, x[14], 15, 0xab9423a7);
    Step<I>(b, c, d, a, x[5], 21, 0xfc93a039);
    Step<I>(a, b, c, d, x[12], 6, 0x655b59c3);
    Step<I>(d, a, b, c, x[3], 10, 0x8f0ccc92);
    Step<I>(c, d, a, b, x[10], 15, 0xffeff47d);
    Step<I>(b, c, d, a, x[1], 21, 0x85845dd1);
    Step<I>(a, b, c, d, x[8], 6, 0x6fa87e4f);
    Step<I>(d, a, b, c, x[15], 10, 0xfe2ce6e0);
    Step<I>(c, d, a, b, x[6], 15, 0xa3014314);
    Step<I>(b, c, d, a, x[13], 21, 0x4e0811a1);
    Step<I>(a, b, c, d, x[4], 6, 0xf7537e82);
    Step<I>(d, a, b, c, x[11], 10, 0xbd3af235);
    Step<I>(c, d, a, b, x[2], 15, 0x2ad7d2bb);
    Step<I>(b, c, d, a, x[9], 21, 0xeb86d391);
}

inline uint32_t LoadLittleEndian(const unsigned char* bytes) {
    if constexpr (std::endian::native == std::endian::little) {
        uint32_t word;
        std::memcpy(&word, bytes, sizeof word);
        return word;
    } else {
        return uint32_t(bytes[0]) | uint32_t(bytes[1]) << 8 | uint32_t(bytes[2]) << 16 |
               uint32_t(bytes[3]) << 24;
    }
}

inline void StoreLittleEndian(uint32_t word, unsigned char* bytes) {
    bytes[0] = static_cast<unsigned char>(word);
    bytes[1] = static_cast<unsigned char>(word >> 8);
    bytes[2] = static_cast<unsigned char>(word >> 16);
    bytes[3] = static_cast<unsigned char>(word >> 24);
}

}  // namespace

MD5_CTX::MD5_CTX() {
    MD5Init();
}

MD5_CTX::~MD5_CTX() = default;

void MD5_CTX::MD5Init() {
    state_[0] = 0x67452301;
    state_[1] = 0xefcdab89;
    state_[2] = 0x98badcfe;
    state_[3] = 0x10325476;
    count_[0] = 0;
    count_[1] = 0;
    std::memset(buffer_, 0, sizeof buffer_);
    std::memset(padding_, 0, sizeof padding_);
    padding_[0] = 0x80;
}

void MD5_CTX::MD5Update(const unsigned char* input, unsigned int length) {
    if (length == 0)
        return;
    unsigned int index = (count_[0] >> 3) & 0x3F;
    uint32_t bits = static_cast<uint32_t>(length) << 3;
    count_[0] += bits;
    if (count_[0] < bits)
        ++count_[1];
    count_[1] += static_cast<uint32_t>(length) >> 29;

    unsigned int room = 64 - index;
    unsigned int done = 0;
    if (length >= room) {
        std::memcpy(&buffer_[index], input, room);
        Transform(buffer_);
        for (done = room; done + 63 < length; done += 64)
            Transform(&input[done]);
        index = 0;
    }
    std::memcpy(&buffer_[index], &input[done], length - done);
}

void MD5_CTX::MD5Final(unsigned char digest[16]) {
    unsigned char bits[8];
    StoreLittleEndian(count_[0], bits);
    StoreLittleEndian(count_[1], bits + 4);
    // Pad to 56 bytes modulo 64, then append the length before padding.
    unsigned int index = (count_[0] >> 3) & 0x3F;
    unsigned int padLength = index < 56 ? 56 - index : 120 - index;
    MD5Update(padding_, padLength);
    MD5Update(bits, 8);
    for (int i = 0; i < 4; ++i)
        StoreLittleEndian(state_[i], digest + 4 * i);

    std::memset(state_, 0, sizeof state_);
    std::memset(count_, 0, sizeof count_);
    std::memset(buffer_, 0, sizeof buffer_);
    MD5Init();
}

void MD5_CTX::Transform(const unsigned char block[64]) {
    uint32_t x[16];
    for (int i = 0; i < 16; ++i)
        x[i] = LoadLittleEndian(block + 4 * i);
    uint32_t a = state_[0], b = state_[1], c = state_[2], d = state_[3];

    RoundOne(a, b, c, d, x);
    RoundTwo(a, b, c, d, x);
    RoundThree(a, b, c, d, x);
    RoundFour(a, b, c, d, x);

    state_[0] += a;
    state_[1] += b;
    state_[2] += c;
    state_[3] += d;
}
