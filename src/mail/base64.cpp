#include "mail/base64.h"

#include <cstring>

namespace {

// Six-bit value at group j of a three-byte block, cut with the bit masks so the grouping
// reads the same as the layout diagram: 6 | 2+4 | 4+2 | 6.
uint8_t Group(const uint8_t* b, int j) {
    switch (j) {
        case 0:
            return static_cast<uint8_t>((b[0] & CMimeAlgo::BitMask(0, 5)) >> 2);
        case 1:
            return static_cast<uint8_t>(((b[0] & CMimeAlgo::BitMask(6, 7)) << 4) |
                                        ((b[1] & CMimeAlgo::BitMask(0, 3)) >> 4));
        case 2:
            return static_cast<uint8_t>(((b[1] & CMimeAlgo::BitMask(4, 7)) << 2) |
                                        ((b[2] & CMimeAlgo::BitMask(0, 1)) >> 6));
        default:
            return static_cast<uint8_t>(b[2] & CMimeAlgo::BitMask(2, 7));
    }
}

void Put(uint8_t* b, int j, uint8_t v) {
    v &= 0x3F;
    switch (j) {
        case 0:
            b[0] = static_cast<uint8_t>((b[0] & 0x03) | (v << 2));
            break;
        case 1:
            b[0] = static_cast<uint8_t>((b[0] & 0xFC) | (v >> 4));
            b[1] = static_cast<uint8_t>((b[1] & 0x0F) | ((v & 0x0F) << 4));
            break;
        case 2:
            b[1] = static_cast<uint8_t>((b[1] & 0xF0) | (v >> 2));
            b[2] = static_cast<uint8_t>((b[2] & 0x3F) | ((v & 0x03) << 6));
            break;
        default:
            b[2] = static_cast<uint8_t>((b[2] & 0xC0) | v);
            break;
    }
}

}  // namespace

uint8_t CMimeAlgo::BitMask(int from, int to) {
    unsigned mask = 0;
    for (int i = from; i <= to; ++i)
        mask |= 1u << (7 - i);
    return static_cast<uint8_t>(mask);
}

bool CMimeAlgo::Encode(std::string& result, const uint8_t* input, size_t length) const {
    result.clear();
    result.reserve(length / 3 * 4 + 4);
    size_t i = 0;
    for (; i + 3 <= length; i += 3)
        for (int j = 0; j < 4; ++j)
            result.push_back(static_cast<char>(Group(input + i, j)));
    const size_t rest = length - i;
    if (rest > 0) {
        // A tail of r bytes needs r + 1 groups; nothing pads it, the length tells.
        uint8_t block[3] = {0, 0, 0};
        std::memcpy(block, input + i, rest);
        for (size_t j = 0; j <= rest; ++j)
            result.push_back(static_cast<char>(Group(block, static_cast<int>(j))));
    }
    return true;
}

bool CMimeAlgo::Decode(std::string& result, const uint8_t* input, size_t length) const {
    result.clear();
    if (length % 4 == 1)
        return false;
    for (size_t i = 0; i < length; ++i)
        if (input[i] > 0x3F)
            return false;
    size_t i = 0;
    for (; i < length; i += 4) {
        const size_t groups = length - i < 4 ? length - i : 4;
        uint8_t block[3] = {0, 0, 0};
        for (size_t j = 0; j < groups; ++j)
            Put(block, static_cast<int>(j), input[i + j]);
        result.append(reinterpret_cast<const char*>(block), groups - 1);
    }
    return true;
}

CBase64Algo::CBase64Algo() {
    static const char kAlphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::memcpy(m_alphabet, kAlphabet, 64);
    std::memset(m_reverse, kNotInAlphabet, sizeof m_reverse);
    for (int i = 0; i < 64; ++i)
        m_reverse[static_cast<uint8_t>(m_alphabet[i])] = static_cast<uint8_t>(i);
}

uint8_t CBase64Algo::GetSextet(const uint8_t* block, int j) {
    return Group(block, j);
}

void CBase64Algo::PutSextet(uint8_t* block, int j, uint8_t value) {
    Put(block, j, value);
}

void CBase64Algo::EncodeTail(char* out, const uint8_t* input, size_t rest) const {
    std::memset(out, '=', 4);
    uint8_t block[3] = {0, 0, 0};
    std::memcpy(block, input, rest);
    out[0] = m_alphabet[GetSextet(block, 0)];
    out[1] = m_alphabet[GetSextet(block, 1)];
    if (rest == 2)
        out[2] = m_alphabet[GetSextet(block, 2)];
}

bool CBase64Algo::Encode(std::string& result, const uint8_t* input, size_t length) const {
    const size_t blocks = length / 3;
    const size_t rest = length - blocks * 3;
    result.assign(blocks * 4 + (rest > 0 ? 4 : 0), '\0');
    char* out = result.data();
    for (size_t b = 0; b < blocks; ++b, out += 4)
        for (int j = 0; j < 4; ++j)
            out[j] = m_alphabet[GetSextet(input + b * 3, j)];
    if (rest > 0)
        EncodeTail(out, input + blocks * 3, rest);
    return true;
}

bool CBase64Algo::Decode(std::string& result, const uint8_t* input, size_t length) const {
    result.clear();
    if (length % 4 != 0)
        return false;
    std::string out;
    out.reserve(length / 4 * 3);
    for (size_t i = 0; i < length; i += 4) {
        const bool last = i + 4 == length;
        // Padding may only end the last quartet: "xx==" or "xxx=".
        size_t groups = 4;
        if (last && input[i + 3] == '=')
            groups = input[i + 2] == '=' ? 2 : 3;
        uint8_t block[3] = {0, 0, 0};
        for (size_t j = 0; j < groups; ++j) {
            const uint8_t v = m_reverse[input[i + j]];
            if (v == kNotInAlphabet)
                return false;
            PutSextet(block, static_cast<int>(j), v);
        }
        // Bits beyond the last whole byte must be zero, or the text is not canonical.
        if ((groups == 2 && (block[1] != 0)) || (groups == 3 && (block[2] != 0)))
            return false;
        out.append(reinterpret_cast<const char*>(block), groups - 1);
    }
    result.swap(out);
    return true;
}

CMimeString::CMimeString(int direction, int algorithm, const std::string& input) {
    Convert(direction, algorithm, input);
}

CMimeString::~CMimeString() = default;

void CMimeString::Convert(int direction, int algorithm, const std::string& input) {
    if (algorithm == kMimeAlgo)
        m_pAlgo = std::make_unique<CMimeAlgo>();
    else if (algorithm == kBase64Algo)
        m_pAlgo = std::make_unique<CBase64Algo>();
    else
        return;
    const auto* bytes = reinterpret_cast<const uint8_t*>(input.data());
    if (direction == kEncode)
        m_bHasResult = m_pAlgo->Encode(m_result, bytes, input.size());
    else if (direction == kDecode)
        m_bHasResult = m_pAlgo->Decode(m_result, bytes, input.size());
    if (!m_bHasResult)
        m_result.clear();
}
