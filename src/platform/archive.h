#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

// The stored byte format of setup documents: little-endian numbers with no padding, and
// texts as a length prefix followed by the bytes.
//
// Text length prefix as written: one byte when the length is below 255; else 0xFF and a
// word when it is below 65,534; else 0xFF, the word 0xFFFF and a 32-bit length. Readers
// also meet longer-than-needed prefixes, the 64-bit length after a 32-bit 0xFFFFFFFF, and
// wide texts (0xFF, word 0xFFFE, then a length in UTF-16 units by the same scheme and
// UTF-16LE text), which become UTF-8.
//
// Neither class allocates beyond the texts it returns (or the vector a writer was given to
// grow), and neither ever touches a byte outside its span. Both are plain values for one
// thread.

// Reads the stored format from a span of memory. The first failed read (data ends, a
// declared length larger than what is left) makes this and every later read fail, so a
// caller may read a whole record and test ok() once.
class ArchiveReader {
public:
    ArchiveReader(const uint8_t* data, size_t size) : m_data(data), m_size(size) {}

    // The numbers are read inline: a full host table means millions of them.
    bool ReadByte(uint8_t& value) {
        if (!m_ok || m_pos >= m_size)
            return Fail();
        value = m_data[m_pos++];
        return true;
    }
    bool ReadWord(uint16_t& value) {
        if (!m_ok || m_size - m_pos < 2)
            return Fail();
        const uint8_t* p = m_data + m_pos;
        value = static_cast<uint16_t>(p[0] | (p[1] << 8));
        m_pos += 2;
        return true;
    }
    bool ReadUInt(uint32_t& value) {
        if (!m_ok || m_size - m_pos < 4)
            return Fail();
        const uint8_t* p = m_data + m_pos;
        value = static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
                (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
        m_pos += 4;
        return true;
    }
    bool ReadInt(int32_t& value) {
        uint32_t raw = 0;
        if (!ReadUInt(raw))
            return false;
        value = static_cast<int32_t>(raw);
        return true;
    }
    // Copies `count` raw bytes.
    bool ReadBytes(void* out, size_t count) {
        if (!m_ok || count > remaining())
            return Fail();
        if (count != 0)
            std::memcpy(out, m_data + m_pos, count);
        m_pos += count;
        return true;
    }
    // Reads a text in any accepted form; wide texts are converted to UTF-8 (unpaired
    // surrogates become U+FFFD). A declared length larger than the bytes left fails
    // before anything is allocated.
    bool ReadText(std::string& value) {
        // Nearly every stored text has the one-byte prefix; it is taken here, inline, and
        // every other form (and every failure) goes through the full reader.
        size_t length = 0;
        if (!ShortTextLength(length))
            return ReadLongText(value);
        // Most stored texts are empty; clear() keeps that case free of the general assign.
        if (length == 0)
            value.clear();
        else
            value.assign(reinterpret_cast<const char*>(m_data + m_pos + 1), length);
        m_pos += 1 + length;
        return true;
    }
    // Steps over `count` bytes, or over one text, checking them as the reads would.
    bool Skip(size_t count) {
        if (!m_ok || count > remaining())
            return Fail();
        m_pos += count;
        return true;
    }
    bool SkipText() {
        size_t length = 0;
        if (!ShortTextLength(length))
            return SkipLongText();
        m_pos += 1 + length;
        return true;
    }

    bool ok() const { return m_ok; }
    size_t position() const { return m_pos; }
    size_t remaining() const { return m_size - m_pos; }

private:
    // True when a text with a one-byte prefix whose body is all there starts at the
    // current position; `length` is then its byte count. Moves nothing.
    bool ShortTextLength(size_t& length) const {
        if (!m_ok || m_pos >= m_size)
            return false;
        const uint8_t prefix = m_data[m_pos];
        if (prefix == 0xFF || prefix > m_size - m_pos - 1)
            return false;
        length = prefix;
        return true;
    }
    bool ReadLongText(std::string& value);
    bool SkipLongText();
    // Reads a length by the byte / word / dword / qword scheme; `wide` is set when the
    // 0xFFFE marker announced UTF-16 text.
    bool ReadTextLength(uint64_t& length, bool& wide);
    // Reads a prefix and checks its body is there; on success the body starts at the
    // current position and is `units` bytes, or UTF-16 units when `wide`.
    bool ReadTextHeader(size_t& units, bool& wide);
    // Converts `units` UTF-16LE units at the current position and steps over them.
    std::string ConvertWide(size_t units);
    bool Fail();

    const uint8_t* m_data;
    size_t m_size;
    size_t m_pos = 0;
    bool m_ok = true;
};

// Writes the stored format into a fixed span of memory, or into a vector that grows up to
// a limit. A write that does not fit writes nothing and marks the writer failed; every
// later write then fails too, so a document that does not fit is detected, never silently
// cut.
class ArchiveWriter {
public:
    ArchiveWriter(uint8_t* buffer, size_t capacity) : m_buffer(buffer), m_capacity(capacity) {}
    // Writes from the start of `grow`, enlarging it as needed but never beyond `limit`
    // bytes; the vector may end up larger than size().
    ArchiveWriter(std::vector<uint8_t>& grow, size_t limit)
        : m_buffer(grow.data()),
          m_capacity(std::min(grow.size(), limit)),
          m_grow(&grow),
          m_limit(limit) {}

    // Inline, like the reader's numbers.
    bool WriteByte(uint8_t value) {
        if (!Room(1))
            return false;
        m_buffer[m_pos++] = value;
        return true;
    }
    bool WriteWord(uint16_t value) {
        if (!Room(2))
            return false;
        m_buffer[m_pos] = static_cast<uint8_t>(value);
        m_buffer[m_pos + 1] = static_cast<uint8_t>(value >> 8);
        m_pos += 2;
        return true;
    }
    bool WriteUInt(uint32_t value) {
        if (!Room(4))
            return false;
        for (int i = 0; i < 4; ++i)
            m_buffer[m_pos + i] = static_cast<uint8_t>(value >> (8 * i));
        m_pos += 4;
        return true;
    }
    bool WriteInt(int32_t value) { return WriteUInt(static_cast<uint32_t>(value)); }
    bool WriteBytes(const void* data, size_t count);
    // Writes the canonical prefix and the bytes. Texts of 2^32 - 1 bytes or more cannot be
    // stored and fail.
    bool WriteText(std::string_view value);

    bool ok() const { return m_ok; }
    size_t size() const { return m_pos; }

private:
    // True when `count` more bytes fit, growing the vector if there is one; else fails.
    bool Room(size_t count) { return m_ok && count <= m_capacity - m_pos ? true : Grow(count); }
    bool Grow(size_t count);
    bool Fail();

    uint8_t* m_buffer;
    size_t m_capacity;
    size_t m_pos = 0;
    bool m_ok = true;
    std::vector<uint8_t>* m_grow = nullptr;
    size_t m_limit = 0;
};

// Number of bytes WriteText uses for a text of `length` bytes (prefix included).
size_t ArchiveTextSize(size_t length);
