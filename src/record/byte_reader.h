// A bounded reader over bytes received from a peer. Every read is checked
// against the bytes the reader really holds; a read that does not fit fails
// and leaves the reader where it was, so no parse can run past its message.
#ifndef VESK_RECORD_BYTE_READER_H
#define VESK_RECORD_BYTE_READER_H

#include <cstddef>
#include <cstdint>

namespace vesk::net {

class ByteReader {
public:
    ByteReader(const unsigned char* data, size_t length) : m_Data(data), m_Length(data != nullptr ? length : 0) {}

    size_t Remaining() const { return m_Length; }
    // Where a format says nothing follows, bytes left over are refused.
    bool AtEnd() const { return m_Length == 0; }

    bool ReadU8(uint8_t* out) { return ReadInteger(1, out); }
    bool ReadU16(uint16_t* out) { return ReadInteger(2, out); }
    bool ReadU24(uint32_t* out) { return ReadInteger(3, out); }
    // Message headers travel least significant byte first.
    bool ReadU16LE(uint16_t* out) { return ReadInteger(2, out, true); }
    bool ReadU32LE(uint32_t* out) { return ReadInteger(4, out, true); }

    // The next n bytes, in place.
    bool ReadBytes(size_t n, const unsigned char** out)
    {
        if (n > m_Length)
            return false;
        *out = m_Data;
        Skip(n);
        return true;
    }

    // A reader over the next n bytes, which this reader then skips.
    bool ReadSub(size_t n, ByteReader* out)
    {
        const unsigned char* bytes = nullptr;
        if (!ReadBytes(n, &bytes))
            return false;
        *out = ByteReader(bytes, n);
        return true;
    }

private:
    // `width` bytes as an integer, most significant byte first unless
    // `little_endian`.
    template <class Integer>
    bool ReadInteger(size_t width, Integer* out, bool little_endian = false)
    {
        if (width > m_Length)
            return false;
        Integer value = 0;
        for (size_t i = 0; i < width; ++i)
            value = static_cast<Integer>(value << 8 | m_Data[little_endian ? width - 1 - i : i]);
        *out = value;
        Skip(width);
        return true;
    }

    void Skip(size_t n)
    {
        m_Data += n;
        m_Length -= n;
    }

    const unsigned char* m_Data;
    size_t m_Length;
};

// Builds records into a fixed buffer; an append that does not fit fails the
// whole build instead of writing past it. A 3-byte length is reserved ahead
// of the bytes it counts and filled in once they are written.
class ByteWriter {
public:
    ByteWriter(unsigned char* buffer, size_t capacity) : m_Buffer(buffer), m_Capacity(capacity) {}

    bool Ok() const { return m_bOk; }
    size_t Length() const { return m_Length; }
    const unsigned char* Data() const { return m_Buffer; }

    void U8(uint32_t value) { BigEndian(value, 1); }
    void U16(uint32_t value) { BigEndian(value, 2); }
    void Bytes(const unsigned char* bytes, size_t n)
    {
        if (!Reserve(n))
            return;
        for (size_t i = 0; i < n; ++i)
            m_Buffer[m_Length + i] = bytes[i];
        m_Length += n;
    }

    // Where the length goes; Close or FillIn fills it in.
    size_t ReserveU24() { return BigEndian(0, kU24Bytes); }
    // The reserved length counts the bytes written since.
    void Close(size_t reserved, size_t limit) { FillIn(reserved, m_bOk ? m_Length - reserved - kU24Bytes : 0, limit); }
    // A count above `limit`, or more than 3 bytes can hold, fails the build.
    void FillIn(size_t reserved, size_t count, size_t limit)
    {
        m_bOk = m_bOk && count <= limit && count >> (8 * kU24Bytes) == 0;
        if (m_bOk)
            PutBigEndian(m_Buffer + reserved, count, kU24Bytes);
    }

private:
    static constexpr size_t kU24Bytes = 3;

    bool Reserve(size_t n)
    {
        m_bOk = m_bOk && n <= m_Capacity - m_Length;
        return m_bOk;
    }
    // Where the value goes.
    size_t BigEndian(size_t value, size_t width)
    {
        const size_t at = m_Length;
        if (Reserve(width)) {
            PutBigEndian(m_Buffer + at, value, width);
            m_Length += width;
        }
        return at;
    }
    static void PutBigEndian(unsigned char* at, size_t value, size_t width)
    {
        for (size_t i = 0; i < width; ++i)
            at[i] = static_cast<unsigned char>(value >> (8 * (width - 1 - i)));
    }

    unsigned char* m_Buffer;
    size_t m_Capacity;
    size_t m_Length = 0;
    bool m_bOk = true;
};

}  // namespace vesk::net

#endif
