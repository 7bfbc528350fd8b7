#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

// Text encoders behind one interface. The SMTP client uses the Base64 encoding of the
// login user name and password; the other paths exist for completeness. Objects are made,
// used and destroyed on one thread; nothing is shared.

// Base of the encoders. Its own Encode/Decode pack every three bytes into four 7-bit
// characters, each holding six bits of the group (values 0 to 63, no alphabet).
class CMimeAlgo {
public:
    virtual ~CMimeAlgo() = default;

    // Replaces `result` with the encoding of `length` bytes at `input`; true on success.
    virtual bool Encode(std::string& result, const uint8_t* input, size_t length) const;
    // Replaces `result` with the bytes that `input` encodes; false (and `result` empty)
    // when `input` is not a valid encoding.
    virtual bool Decode(std::string& result, const uint8_t* input, size_t length) const;

    // The OR of 1 << (7 - i) for i = from to to: bit positions counted from the most
    // significant bit, so BitMask(0, 5) is the top six bits and BitMask(6, 7) the lowest two.
    static uint8_t BitMask(int from, int to);
};

// Base64 with the standard alphabet and "=" padding, never broken into lines.
class CBase64Algo : public CMimeAlgo {
public:
    CBase64Algo();
    ~CBase64Algo() override = default;

    bool Encode(std::string& result, const uint8_t* input, size_t length) const override;
    // Accepts only the standard alphabet with correct padding; anything else is refused.
    bool Decode(std::string& result, const uint8_t* input, size_t length) const override;

    // Six-bit group j (0 to 3) of the three-byte block at `block`.
    static uint8_t GetSextet(const uint8_t* block, int j);
    // Writes the four characters for the last 1 or 2 bytes (`rest`) at `out`, with padding.
    void EncodeTail(char* out, const uint8_t* input, size_t rest) const;
    // Puts six-bit value `value` as group j (0 to 3) into the three-byte block at `block`.
    static void PutSextet(uint8_t* block, int j, uint8_t value);

private:
    static constexpr int kNotInAlphabet = 0xFF;
    char m_alphabet[64];
    uint8_t m_reverse[256];  // character -> index, kNotInAlphabet when not in the alphabet
};

// Holder that converts one string once, in its constructor, and keeps the result.
class CMimeString {
public:
    enum Direction { kEncode = 0, kDecode = 1 };
    enum Algorithm { kMimeAlgo = 0, kBase64Algo = 1 };

    // direction 0 encodes, 1 decodes; algorithm 0 is CMimeAlgo, 1 CBase64Algo. An unknown
    // algorithm or direction, or input that does not decode, leaves no result.
    CMimeString(int direction, int algorithm, const std::string& input);
    virtual ~CMimeString();
    CMimeString(const CMimeString&) = delete;
    CMimeString& operator=(const CMimeString&) = delete;

    // True when the conversion produced a result.
    bool HasResult() const { return m_bHasResult; }
    // The result as zero-terminated text ("" without a result).
    const char* GetResult() const { return m_result.c_str(); }
    // The result's length in bytes, without the terminating zero.
    size_t GetLength() const { return m_result.size(); }
    const std::string& GetString() const { return m_result; }

private:
    void Convert(int direction, int algorithm, const std::string& input);

    std::unique_ptr<CMimeAlgo> m_pAlgo;
    std::string m_result;
    bool m_bHasResult = false;
};
