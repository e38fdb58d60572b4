// The MD5 message digest of RFC 1321: feed bytes with MD5Update, take the 16-byte digest with
// MD5Final.
#pragma once

#include <cstdint>

class MD5_CTX {
  public:
    MD5_CTX();
    virtual ~MD5_CTX();

    // Starts a new message.
    void MD5Init();

    // Feeds `length` more bytes of the message.
    void MD5Update(const unsigned char* input, unsigned int length);

    // Pads the message, writes its 16-byte digest, then wipes the state and starts a new
    // message, so the object can digest another one.
    void MD5Final(unsigned char digest[16]);

  private:
    void Transform(const unsigned char block[64]);

    uint32_t state_[4];          // the chaining values A, B, C, D
    uint32_t count_[2];          // bits fed so far, modulo 2^64, low word first
    unsigned char buffer_[64];   // the partial input block
    unsigned char padding_[64];  // 0x80 followed by zeros
};
