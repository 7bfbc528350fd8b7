#include "platform/archive.h"

#include <cstring>

namespace {

constexpr uint8_t kByteEscape = 0xFF;
constexpr uint16_t kWordEscape = 0xFFFF;
constexpr uint16_t kWideMarker = 0xFFFE;
constexpr uint32_t kDwordEscape = 0xFFFFFFFF;

void AppendUtf8(std::string& out, uint32_t code) {
    if (code < 0x80) {
        out.push_back(static_cast<char>(code));
    } else if (code < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (code >> 6)));
        out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else if (code < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (code >> 12)));
        out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (code >> 18)));
        out.push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    }
}

uint16_t Utf16At(const uint8_t* p, size_t unit) {
    return static_cast<uint16_t>(p[2 * unit] | (p[2 * unit + 1] << 8));
}

}  // namespace

bool ArchiveReader::Fail() {
    m_ok = false;
    return false;
}

bool ArchiveReader::ReadTextLength(uint64_t& length, bool& wide) {
    wide = false;
    uint8_t b = 0;
    if (!ReadByte(b))
        return false;
    if (b != kByteEscape) {
        length = b;
        return true;
    }
    uint16_t w = 0;
    if (!ReadWord(w))
        return false;
    if (w == kWideMarker) {
        // The length that follows counts UTF-16 units, by the same scheme; after the
        // marker 0xFFFE is an ordinary word length.
        wide = true;
        if (!ReadByte(b))
            return false;
        if (b != kByteEscape) {
            length = b;
            return true;
        }
        if (!ReadWord(w))
            return false;
    }
    if (w != kWordEscape) {
        length = w;
        return true;
    }
    uint32_t d = 0;
    if (!ReadUInt(d))
        return false;
    if (d != kDwordEscape) {
        length = d;
        return true;
    }
    uint32_t low = 0;
    uint32_t high = 0;
    if (!ReadUInt(low) || !ReadUInt(high))
        return false;
    length = (static_cast<uint64_t>(high) << 32) | low;
    return true;
}

bool ArchiveReader::ReadTextHeader(size_t& units, bool& wide) {
    uint64_t length = 0;
    if (!ReadTextLength(length, wide))
        return false;
    // Bound the declared size by what is left before any allocation.
    const uint64_t left = remaining();
    if (length > left || (wide && length > left / 2))
        return Fail();
    units = static_cast<size_t>(length);
    return true;
}

std::string ArchiveReader::ConvertWide(size_t units) {
    const uint8_t* p = m_data + m_pos;
    std::string out;
    out.reserve(units);
    for (size_t i = 0; i < units; ++i) {
        uint32_t code = Utf16At(p, i);
        if (code >= 0xD800 && code <= 0xDBFF && i + 1 < units) {
            const uint32_t low = Utf16At(p, i + 1);
            if (low >= 0xDC00 && low <= 0xDFFF) {
                code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
                ++i;
                AppendUtf8(out, code);
                continue;
            }
        }
        if (code >= 0xD800 && code <= 0xDFFF)
            code = 0xFFFD;
        AppendUtf8(out, code);
    }
    m_pos += units * 2;
    return out;
}

bool ArchiveReader::SkipLongText() {
    size_t units = 0;
    bool wide = false;
    if (!ReadTextHeader(units, wide))
        return false;
    m_pos += wide ? units * 2 : units;
    return true;
}

bool ArchiveReader::ReadLongText(std::string& value) {
    size_t units = 0;
    bool wide = false;
    if (!ReadTextHeader(units, wide))
        return false;
    if (wide) {
        value = ConvertWide(units);
    } else {
        value.assign(reinterpret_cast<const char*>(m_data + m_pos), units);
        m_pos += units;
    }
    return true;
}

bool ArchiveWriter::Grow(size_t count) {
    if (!m_ok || m_grow == nullptr || count > m_limit - m_pos)
        return Fail();
    // Doubling keeps a large document to a few copies; a small one starts with 64 KiB.
    const size_t wanted = std::max({m_pos + count, 2 * m_capacity, size_t{64 * 1024}});
    m_grow->resize(std::min(wanted, m_limit));
    m_buffer = m_grow->data();
    m_capacity = m_grow->size();
    return true;
}

bool ArchiveWriter::Fail() {
    m_ok = false;
    return false;
}

bool ArchiveWriter::WriteBytes(const void* data, size_t count) {
    if (!Room(count))
        return false;
    if (count != 0)
        std::memcpy(m_buffer + m_pos, data, count);
    m_pos += count;
    return true;
}

size_t ArchiveTextSize(size_t length) {
    if (length < kByteEscape)
        return 1 + length;
    if (length < kWideMarker)
        return 3 + length;
    return 7 + length;
}

bool ArchiveWriter::WriteText(std::string_view value) {
    const size_t length = value.size();
    if (static_cast<uint64_t>(length) >= kDwordEscape)
        return Fail();
    // Check the whole text first, so a text that does not fit leaves no prefix behind.
    if (!Room(ArchiveTextSize(length)))
        return false;
    if (length < kByteEscape) {
        WriteByte(static_cast<uint8_t>(length));
    } else if (length < kWideMarker) {
        WriteByte(kByteEscape);
        WriteWord(static_cast<uint16_t>(length));
    } else {
        WriteByte(kByteEscape);
        WriteWord(kWordEscape);
        WriteUInt(static_cast<uint32_t>(length));
    }
    return WriteBytes(value.data(), length);
}
