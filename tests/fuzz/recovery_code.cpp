// Typed recovery codes and stored verifiers: any bytes, any lengths, including lengths
// that disagree with the text (the caller passes the registry's sizes minus one, so an
// empty value gives -1). The first input byte picks how the rest is read:
//   0: as the caller holds it: two 256-byte value buffers and the sizes returned;
//   1: two blocks of exactly the given lengths, with lengths up to one past them;
//   2: a secret, its own code text and verifier, with case changes and one altered
//      character, so that the matching path is reached too.
#include "FuzzInput.h"
#include "RecoveryCode.h"

#include <cctype>
#include <cstring>
#include <string>

namespace
{
    constexpr size_t VALUE_BUFFER_SIZE = 256;

    bool IsHex(const char* psz, size_t cch)
    {
        for (size_t i = 0; i < cch; ++i)
        {
            if (!std::isxdigit(static_cast<unsigned char>(psz[i]))) return false;
        }
        return true;
    }

    // What the answer must be, worked out the other way round: the verifier of the typed
    // secret, as text, against the stored text.
    bool Expected(const char* pszTyped, int cchTyped, const char* pszStored, int cchStored)
    {
        if (cchTyped != 32 || cchStored != 64 || !IsHex(pszTyped, 32) || !IsHex(pszStored, 64)) return false;
        uint8_t secret[RECOVERY_SECRET_SIZE];
        for (size_t i = 0; i < RECOVERY_SECRET_SIZE; ++i)
        {
            const char pair[3] = { pszTyped[2 * i], pszTyped[2 * i + 1], '\0' };
            secret[i] = static_cast<uint8_t>(std::strtoul(pair, nullptr, 16));
        }
        char verifier[RECOVERY_VERIFIER_CHARS + 1];
        ComputeRecoveryVerifier(secret, verifier);
        for (size_t i = 0; i < 64; ++i)
        {
            if (std::toupper(static_cast<unsigned char>(pszStored[i])) != verifier[i]) return false;
        }
        return true;
    }

    void Check(const char* pszTyped, int cchTyped, const char* pszStored, int cchStored)
    {
        const bool fMatched = VerifyRecoveryCode(pszTyped, cchTyped, pszStored, cchStored);
        FUZZ_CHECK(fMatched == Expected(pszTyped, cchTyped, pszStored, cchStored));
    }

    // A registry value as the package reads it: a fixed buffer and the size returned.
    std::unique_ptr<char[]> ValueBuffer(FuzzInput& input, int& cbValue)
    {
        const std::vector<char> zeros(VALUE_BUFFER_SIZE, '\0');
        std::unique_ptr<char[]> buffer = ExactCopy(zeros.data(), VALUE_BUFFER_SIZE);
        cbValue = static_cast<int>(input.Upto(VALUE_BUFFER_SIZE));
        const std::vector<uint8_t> bytes = input.Bytes(input.Upto(VALUE_BUFFER_SIZE));
        if (!bytes.empty()) std::memcpy(buffer.get(), bytes.data(), bytes.size());
        return buffer;
    }

    void CallerValues(FuzzInput& input)
    {
        int cbTyped = 0;
        int cbStored = 0;
        const auto typed = ValueBuffer(input, cbTyped);
        const auto stored = ValueBuffer(input, cbStored);
        Check(typed.get(), cbTyped - 1, stored.get(), cbStored - 1);
    }

    void ExactBlocks(FuzzInput& input)
    {
        const std::vector<uint8_t> typedBytes = input.Bytes(input.Upto(80));
        const std::vector<uint8_t> storedBytes = input.Bytes(input.Upto(80));
        const auto typed = ExactCopy(reinterpret_cast<const char*>(typedBytes.data()), typedBytes.size());
        const auto stored = ExactCopy(reinterpret_cast<const char*>(storedBytes.data()), storedBytes.size());
        // Any length the block can back, and -1 as an empty value gives it.
        const int cchTyped = static_cast<int>(input.Upto(typedBytes.size() + 1)) - 1;
        const int cchStored = static_cast<int>(input.Upto(storedBytes.size() + 1)) - 1;
        Check(typed.get(), cchTyped, stored.get(), cchStored);
    }

    void OwnCode(FuzzInput& input)
    {
        uint8_t secret[RECOVERY_SECRET_SIZE];
        for (uint8_t& b : secret) b = input.Byte();

        const size_t cchCode = input.Upto(40);
        const std::vector<wchar_t> filler(cchCode, L'#');
        const auto code = ExactCopy(filler.data(), cchCode);
        const bool fFormatted = FormatRecoveryCode(secret, code.get(), cchCode);
        FUZZ_CHECK(fFormatted == (cchCode >= RECOVERY_CODE_CHARS + 1));
        if (!fFormatted)
        {
            for (size_t i = 0; i < cchCode; ++i) FUZZ_CHECK(code[i] == L'#');
            return;
        }
        FUZZ_CHECK(code[RECOVERY_CODE_CHARS] == L'\0');

        std::string typed;
        for (size_t i = 0; i < RECOVERY_CODE_CHARS; ++i) typed += static_cast<char>(code[i]);
        char verifier[RECOVERY_VERIFIER_CHARS + 1];
        ComputeRecoveryVerifier(secret, verifier);
        FUZZ_CHECK(std::strlen(verifier) == RECOVERY_VERIFIER_CHARS);
        std::string stored = verifier;

        const uint32_t typedCase = input.Dword();
        const uint64_t storedCase = (static_cast<uint64_t>(input.Dword()) << 32) | input.Dword();
        for (size_t i = 0; i < typed.size(); ++i)
        {
            if ((typedCase >> i) & 1) typed[i] = static_cast<char>(std::tolower(static_cast<unsigned char>(typed[i])));
        }
        for (size_t i = 0; i < stored.size(); ++i)
        {
            if ((storedCase >> i) & 1) stored[i] = static_cast<char>(std::tolower(static_cast<unsigned char>(stored[i])));
        }
        FUZZ_CHECK(VerifyRecoveryCode(typed.c_str(), 32, stored.c_str(), 64));

        // One character replaced, in either text; the answer must follow.
        const uint8_t where = input.Byte();
        const char replacement = static_cast<char>(input.Byte());
        std::string& target = where & 0x80 ? stored : typed;
        target[(where & 0x7F) % target.size()] = replacement;
        const auto typedBlock = ExactCopy(typed.data(), typed.size());
        const auto storedBlock = ExactCopy(stored.data(), stored.size());
        Check(typedBlock.get(), 32, storedBlock.get(), 64);
    }
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzInput input(data, size);
    switch (input.Byte() % 3)
    {
    case 0: CallerValues(input); break;
    case 1: ExactBlocks(input); break;
    default: OwnCode(input); break;
    }
    return 0;
}
