#pragma once
// Strict reading of the CBOR that FIDO2 authenticators speak (the CTAP2 canonical form).
// No Windows headers: also built natively for sanitizers and fuzzing.
//
// Accepted, and nothing else:
// - unsigned and negative integers, byte strings, UTF-8 text strings, arrays, maps, and
//   the simple values false, true and null;
// - definite lengths only, every integer, length and count in its shortest head;
// - map keys that are integers or text strings, each key unique and in canonical order:
//   lower major type first, then the shorter encoding, then bytewise on the encoding;
// - at most CBOR_MAX_DEPTH arrays and maps nested in each other.
// Refused: tags, floats, indefinite lengths, other simple values, reserved heads. No
// length, count or size read from the input is used before it is checked against the
// bytes left, and nothing is allocated.
#include <cstddef>
#include <cstdint>

enum class CborType : uint8_t
{
    Unsigned = 0,
    Negative = 1,
    Bytes = 2,
    Text = 3,
    Array = 4,
    Map = 5,
    Tag = 6,
    Simple = 7,
};

// Containers nested in each other: a map holding an array holding a map holding an
// array is the deepest accepted.
constexpr size_t CBOR_MAX_DEPTH = 4;

// Checks that pbData starts with one complete item in the form above and stores its
// size in *pcbItem. Bytes after the item are not looked at: a caller that expects
// exactly one item compares *pcbItem with cbData.
bool CheckCanonicalCbor(const uint8_t* pbData, size_t cbData, size_t* pcbItem);

// Whether the cch bytes are well-formed UTF-8 (no overlong forms, surrogates or code
// points past U+10FFFF).
bool IsWellFormedUtf8(const char* pchText, size_t cchText);

// Walks items one after another. Every read checks the head it meets (shortest form,
// no indefinite length, length within the bytes left) and leaves the position where it
// was when it fails. The reads do not check map key order: run CheckCanonicalCbor over
// the whole message first, then walk it.
class CCborReader
{
public:
    CCborReader(const uint8_t* pbData, size_t cbData);

    // The type of the next item without moving; false at the end or on a bad head.
    bool PeekType(CborType* pType) const;

    // An unsigned integer (major type 0).
    bool ReadUnsigned(uint64_t* pValue);
    // An unsigned or negative integer that fits int64_t.
    bool ReadInteger(int64_t* pValue);
    // A byte string; *ppbValue points into the input.
    bool ReadBytes(const uint8_t** ppbValue, size_t* pcbValue);
    // A text string, checked to be UTF-8; *ppchValue points into the input and is not
    // terminated.
    bool ReadText(const char** ppchValue, size_t* pcchValue);
    bool ReadBoolean(bool* pValue);
    // The head of an array or map; the items (for a map: key, value, key, ...) follow.
    bool ReadArrayHeader(size_t* pcItems);
    bool ReadMapHeader(size_t* pcEntries);

    // Steps over one complete item, checking it as CheckCanonicalCbor does (with the
    // depth counted from this item).
    bool SkipItem();

    // Whether the next item is a text string equal to the terminated pszExpected; moves
    // past it only then.
    bool ReadTextIf(const char* pszExpected);

    size_t Offset() const { return _offset; }
    size_t Remaining() const { return _cbData - _offset; }

private:
    bool ReadHead(CborType type, uint64_t* pArgument);

    const uint8_t* _pbData;
    size_t _cbData;
    size_t _offset = 0;
};
