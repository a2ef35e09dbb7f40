// DER signatures to r || s. An accepted signature written back as DER gives the input
// bytes (there is one strict DER form per pair); and any 64 bytes with r and s not zero
// go to DER and back unchanged.
#include "EcdsaSignature.h"
#include "FuzzInput.h"

#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::unique_ptr<uint8_t[]> input = ExactCopy(data, size);
    uint8_t raw[ECDSA_P256_SIGNATURE_BYTES];
    std::memset(raw, 0xEE, sizeof(raw));
    if (ConvertDerSignature(input.get(), size, raw))
    {
        uint8_t der[ECDSA_P256_DER_MAX_BYTES];
        FUZZ_CHECK(EncodeDerSignature(raw, der, sizeof(der)) == size);
        FUZZ_CHECK(std::memcmp(der, input.get(), size) == 0);
        FUZZ_CHECK(EncodeDerSignature(raw, der, size - 1) == 0);
    }
    else
    {
        for (uint8_t b : raw) FUZZ_CHECK(b == 0xEE); // untouched on refusal
    }

    if (size >= ECDSA_P256_SIGNATURE_BYTES)
    {
        std::memcpy(raw, data, sizeof(raw));
        uint8_t der[ECDSA_P256_DER_MAX_BYTES];
        const size_t cbDer = EncodeDerSignature(raw, der, sizeof(der));
        bool fZero = true, sZero = true;
        for (size_t i = 0; i < ECDSA_P256_SCALAR_BYTES; ++i)
        {
            fZero = fZero && raw[i] == 0;
            sZero = sZero && raw[ECDSA_P256_SCALAR_BYTES + i] == 0;
        }
        FUZZ_CHECK((cbDer == 0) == (fZero || sZero));
        if (cbDer != 0)
        {
            uint8_t back[ECDSA_P256_SIGNATURE_BYTES];
            FUZZ_CHECK(ConvertDerSignature(der, cbDer, back));
            FUZZ_CHECK(std::memcmp(back, raw, sizeof(raw)) == 0);
        }
    }
    return 0;
}
