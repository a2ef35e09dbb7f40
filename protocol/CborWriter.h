#pragma once
// Writing CBOR items into a caller's buffer, in the shortest heads the canonical form
// asks for. No Windows headers, no heap, no exceptions: also built natively.
//
// The writer does not sort: a caller writes map entries in canonical key order itself
// (lower major type, then shorter encoding, then bytewise; for small integer keys that is
// 1, 2, 3, ..., then -1, -2, ...; for text keys the shorter text first).
#include <cstddef>
#include <cstdint>

class CCborWriter
{
public:
    // A null buffer holds nothing: the first write that has bytes fails the writer.
    CCborWriter(uint8_t* pbBuffer, size_t cbBuffer);

    void WriteUnsigned(uint64_t value);
    void WriteInteger(int64_t value);
    void WriteBytes(const uint8_t* pbValue, size_t cbValue);
    // Text that is not well-formed UTF-8 fails the writer.
    void WriteText(const char* pchValue, size_t cchValue);
    void WriteText(const char* pszValue);
    void WriteBoolean(bool value);
    // The head of an array or map; the caller then writes that many items (for a map:
    // key, value, key, ...).
    void WriteArrayHeader(size_t cItems);
    void WriteMapHeader(size_t cEntries);
    // Bytes that are already CBOR, copied as they are.
    void WriteEncoded(const uint8_t* pbItem, size_t cbItem);

    // Once a write did not fit (or was refused) every later write is ignored and the
    // writer stays failed: check once at the end.
    bool Failed() const { return _failed; }
    // The bytes written so far; 0 once failed.
    size_t Length() const { return _failed ? 0 : _offset; }

private:
    void WriteHead(uint8_t majorType, uint64_t argument);
    void Put(const uint8_t* pb, size_t cb);

    uint8_t* _pbBuffer;
    size_t _cbBuffer;
    size_t _offset = 0;
    bool _failed = false;
};
