#include "RecoveryCode.h"
#include "Sha256.h"

namespace
{
    const char HEX_UPPER[] = "0123456789ABCDEF";
    constexpr size_t HMAC_KEY_OFFSET = 8;
    constexpr size_t HMAC_KEY_SIZE = 8;

    int HexValue(char ch)
    {
        if (ch >= '0' && ch <= '9') return ch - '0';
        if (ch >= 'a' && ch <= 'f') return ch - 'a' + 10;
        if (ch >= 'A' && ch <= 'F') return ch - 'A' + 10;
        return -1;
    }

    bool IsHexText(const char* psz, size_t cch)
    {
        for (size_t i = 0; i < cch; ++i)
        {
            if (HexValue(psz[i]) < 0) return false;
        }
        return true;
    }

    void DecodeHex(const char* psz, uint8_t* pb, size_t cb)
    {
        for (size_t i = 0; i < cb; ++i)
        {
            pb[i] = static_cast<uint8_t>((HexValue(psz[2 * i]) << 4) | HexValue(psz[2 * i + 1]));
        }
    }

    void ComputeMac(const uint8_t (&rgbSecret)[RECOVERY_SECRET_SIZE], uint8_t (&rgbMac)[SHA256_DIGEST_SIZE])
    {
        HmacSha256(rgbSecret + HMAC_KEY_OFFSET, HMAC_KEY_SIZE, rgbSecret, RECOVERY_SECRET_SIZE, rgbMac, sizeof(rgbMac));
    }

    void Wipe(void* pv, size_t cb)
    {
        volatile uint8_t* pb = static_cast<volatile uint8_t*>(pv);
        while (cb-- > 0) *pb++ = 0;
    }
}

bool FormatRecoveryCode(const uint8_t (&rgbSecret)[RECOVERY_SECRET_SIZE], wchar_t* pszCode, size_t cchCode)
{
    if (pszCode == nullptr || cchCode < RECOVERY_CODE_CHARS + 1)
    {
        return false;
    }
    for (size_t i = 0; i < RECOVERY_SECRET_SIZE; ++i)
    {
        pszCode[2 * i] = static_cast<wchar_t>(HEX_UPPER[rgbSecret[i] >> 4]);
        pszCode[2 * i + 1] = static_cast<wchar_t>(HEX_UPPER[rgbSecret[i] & 0x0F]);
    }
    pszCode[RECOVERY_CODE_CHARS] = L'\0';
    return true;
}

void ComputeRecoveryVerifier(const uint8_t (&rgbSecret)[RECOVERY_SECRET_SIZE],
                             char (&szVerifier)[RECOVERY_VERIFIER_CHARS + 1])
{
    uint8_t rgbMac[SHA256_DIGEST_SIZE];
    ComputeMac(rgbSecret, rgbMac);
    for (size_t i = 0; i < SHA256_DIGEST_SIZE; ++i)
    {
        szVerifier[2 * i] = HEX_UPPER[rgbMac[i] >> 4];
        szVerifier[2 * i + 1] = HEX_UPPER[rgbMac[i] & 0x0F];
    }
    szVerifier[RECOVERY_VERIFIER_CHARS] = '\0';
}

bool VerifyRecoveryCode(const char* pszTyped, int cchTyped, const char* pszStored, int cchStored)
{
    if (pszTyped == nullptr || pszStored == nullptr ||
        cchTyped != static_cast<int>(RECOVERY_CODE_CHARS) || cchStored != static_cast<int>(RECOVERY_VERIFIER_CHARS) ||
        !IsHexText(pszTyped, RECOVERY_CODE_CHARS) || !IsHexText(pszStored, RECOVERY_VERIFIER_CHARS))
    {
        return false;
    }
    uint8_t rgbSecret[RECOVERY_SECRET_SIZE];
    uint8_t rgbStored[SHA256_DIGEST_SIZE];
    DecodeHex(pszTyped, rgbSecret, sizeof(rgbSecret));
    DecodeHex(pszStored, rgbStored, sizeof(rgbStored));
    uint8_t rgbMac[SHA256_DIGEST_SIZE];
    ComputeMac(rgbSecret, rgbMac);

    // Compared in full whatever differs first.
    uint8_t difference = 0;
    for (size_t i = 0; i < SHA256_DIGEST_SIZE; ++i)
    {
        difference = static_cast<uint8_t>(difference | (rgbMac[i] ^ rgbStored[i]));
    }
    Wipe(rgbSecret, sizeof(rgbSecret));
    return difference == 0;
}
