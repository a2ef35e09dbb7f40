#include "Base64Url.h"

#include <utility>

namespace
{
    const char ALPHABET[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";

    int ValueOf(char ch)
    {
        if (ch >= 'A' && ch <= 'Z') return ch - 'A';
        if (ch >= 'a' && ch <= 'z') return ch - 'a' + 26;
        if (ch >= '0' && ch <= '9') return ch - '0' + 52;
        if (ch == '-') return 62;
        if (ch == '_') return 63;
        return -1;
    }
}

std::string Base64UrlEncode(const std::vector<uint8_t>& bytes)
{
    std::string text;
    text.reserve((bytes.size() * 4 + 2) / 3);
    size_t i = 0;
    for (; i + 3 <= bytes.size(); i += 3)
    {
        const uint32_t group = (uint32_t(bytes[i]) << 16) | (uint32_t(bytes[i + 1]) << 8) | bytes[i + 2];
        text += ALPHABET[(group >> 18) & 0x3F];
        text += ALPHABET[(group >> 12) & 0x3F];
        text += ALPHABET[(group >> 6) & 0x3F];
        text += ALPHABET[group & 0x3F];
    }
    const size_t rest = bytes.size() - i;
    if (rest == 1)
    {
        const uint32_t group = uint32_t(bytes[i]) << 16;
        text += ALPHABET[(group >> 18) & 0x3F];
        text += ALPHABET[(group >> 12) & 0x3F];
    }
    else if (rest == 2)
    {
        const uint32_t group = (uint32_t(bytes[i]) << 16) | (uint32_t(bytes[i + 1]) << 8);
        text += ALPHABET[(group >> 18) & 0x3F];
        text += ALPHABET[(group >> 12) & 0x3F];
        text += ALPHABET[(group >> 6) & 0x3F];
    }
    return text;
}

bool Base64UrlDecode(const std::string& text, std::vector<uint8_t>* pBytes)
{
    pBytes->clear();
    // One character alone holds only 6 bits: never a whole byte.
    if (text.size() % 4 == 1)
    {
        return false;
    }
    std::vector<uint8_t> bytes;
    bytes.reserve(text.size() * 3 / 4);
    uint32_t bits = 0;
    int bitCount = 0;
    for (char ch : text)
    {
        const int value = ValueOf(ch);
        if (value < 0)
        {
            return false;
        }
        bits = (bits << 6) | static_cast<uint32_t>(value);
        bitCount += 6;
        if (bitCount >= 8)
        {
            bitCount -= 8;
            bytes.push_back(static_cast<uint8_t>((bits >> bitCount) & 0xFF));
        }
    }
    // What is left over must be zero: "AB" and "AC" may not both mean the same byte.
    if ((bits & ((1u << bitCount) - 1)) != 0)
    {
        return false;
    }
    *pBytes = std::move(bytes);
    return true;
}
