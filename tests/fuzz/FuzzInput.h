#pragma once
// Reads the fuzzer's bytes as the values a target needs. Once the bytes run out every
// read gives zero, so any input is a valid one.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

class FuzzInput
{
public:
    FuzzInput(const uint8_t* pbData, size_t cbData) : _pb(pbData), _cb(cbData) {}

    size_t Remaining() const { return _cb - _offset; }

    uint8_t Byte()
    {
        return _offset < _cb ? _pb[_offset++] : 0;
    }

    uint16_t Word()
    {
        const uint16_t low = Byte();
        return static_cast<uint16_t>(low | (Byte() << 8));
    }

    uint32_t Dword()
    {
        const uint32_t low = Word();
        return low | (static_cast<uint32_t>(Word()) << 16);
    }

    // A value in [0, limit]; limit below 65536.
    size_t Upto(size_t limit)
    {
        return limit == 0 ? 0 : Word() % (limit + 1);
    }

    std::vector<uint8_t> Bytes(size_t cb)
    {
        std::vector<uint8_t> bytes;
        while (cb-- > 0 && Remaining() > 0) bytes.push_back(Byte());
        return bytes;
    }

    std::vector<uint8_t> Rest()
    {
        return Bytes(Remaining());
    }

private:
    const uint8_t* _pb;
    size_t _cb;
    size_t _offset = 0;
};

// A heap block of exactly count elements (none for zero), so that AddressSanitizer
// catches any access outside what the code under test was given.
template <typename T>
std::unique_ptr<T[]> ExactCopy(const T* p, size_t count)
{
    std::unique_ptr<T[]> block(new T[count]);
    for (size_t i = 0; i < count; ++i) block[i] = p[i];
    return block;
}

// A check the target makes on what the product returned; a failure is a finding.
#define FUZZ_CHECK(condition)                                                                                   \
    do                                                                                                          \
    {                                                                                                           \
        if (!(condition))                                                                                       \
        {                                                                                                       \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition);                  \
            std::abort();                                                                                       \
        }                                                                                                       \
    } while (0)
