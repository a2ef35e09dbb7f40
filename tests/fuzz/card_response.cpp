// Card answers: the status word, the CPLC serial and its text, the hex trace of any
// bytes, and the result line of a call. The input is the answer itself; the trace
// buffer's size and the call's name and result are taken from its first bytes.
#include "ApduResponse.h"
#include "FuzzInput.h"
#include "HexTrace.h"

#include <algorithm>
#include <string>
#include <vector>

namespace
{
    const wchar_t* const LABELS[] = { L"APDU: ", L"RESP: ", L"SEND: ", L"RECV: " };

    std::wstring HexBytes(const uint8_t* pb, size_t cb)
    {
        static const wchar_t DIGITS[] = L"0123456789ABCDEF";
        std::wstring text;
        for (size_t i = 0; i < cb; ++i)
        {
            text += DIGITS[pb[i] >> 4];
            text += DIGITS[pb[i] & 15];
            text += L' ';
        }
        return text;
    }

    void CheckStatusAndSerial(const uint8_t* pb, size_t cb)
    {
        const bool fOk = IsStatusOk(pb, cb);
        FUZZ_CHECK(fOk == (cb >= 2 && pb[cb - 2] == 0x90 && pb[cb - 1] == 0x00));

        uint8_t serial[4] = { 0xEE, 0xEE, 0xEE, 0xEE };
        const bool fParsed = ParseCplcSerial(pb, cb, serial);
        FUZZ_CHECK(fParsed == (fOk && cb >= 21));
        if (!fParsed) return;
        for (size_t i = 0; i < 4; ++i) FUZZ_CHECK(serial[i] == pb[15 + i]);

        wchar_t text[SERIAL_TEXT_CHARS];
        FormatSerialText(serial, text);
        std::wstring expected = HexBytes(serial, 4);
        std::erase(expected, L' ');
        FUZZ_CHECK(expected == text);
    }

    void CheckHexTrace(const wchar_t* label, const uint8_t* pb, size_t cb, size_t cchBuffer)
    {
        // Exactly the characters offered, so a write past them is caught.
        const std::vector<wchar_t> filler(cchBuffer, L'#');
        const std::unique_ptr<wchar_t[]> buffer = ExactCopy(filler.data(), cchBuffer);
        std::vector<std::wstring> lines;
        WriteHexTrace(label, pb, cb, buffer.get(), cchBuffer,
                      [](void* context, const wchar_t* line) {
                          static_cast<std::vector<std::wstring>*>(context)->push_back(line);
                      },
                      &lines);
        if (cchBuffer < HEX_TRACE_MIN_BUFFER)
        {
            FUZZ_CHECK(lines.empty());
            for (size_t i = 0; i < cchBuffer; ++i) FUZZ_CHECK(buffer[i] == L'#');
            return;
        }
        FUZZ_CHECK(lines.size() == cb / HEX_TRACE_BYTES_PER_LINE + 1);
        for (size_t line = 0; line < lines.size(); ++line)
        {
            const size_t first = line * HEX_TRACE_BYTES_PER_LINE;
            const size_t count = first < cb ? std::min(cb - first, HEX_TRACE_BYTES_PER_LINE) : 0;
            const std::wstring prefix = line == 0 ? std::wstring(label, HEX_TRACE_LABEL_LENGTH) : std::wstring(6, L' ');
            FUZZ_CHECK(lines[line] == prefix + HexBytes(pb + first, count));
        }
    }

    void CheckResultLine(const std::wstring& name, uint32_t result, size_t cchBuffer)
    {
        const std::vector<wchar_t> filler(cchBuffer, L'#');
        const std::unique_ptr<wchar_t[]> buffer = ExactCopy(filler.data(), cchBuffer);
        const auto exactName = ExactCopy(name.c_str(), name.size() + 1);
        FormatResultLine(exactName.get(), result, buffer.get(), cchBuffer);
        if (cchBuffer == 0) return;
        const std::wstring written(buffer.get(), std::find(buffer.get(), buffer.get() + cchBuffer, L'\0'));
        FUZZ_CHECK(written.size() < cchBuffer); // terminated inside the buffer
        if (name.size() + 5 + 8 >= cchBuffer)
        {
            FUZZ_CHECK(written.empty());
            return;
        }
        const uint8_t bytes[4] = { uint8_t(result >> 24), uint8_t(result >> 16), uint8_t(result >> 8), uint8_t(result) };
        std::wstring digits = HexBytes(bytes, 4);
        std::erase(digits, L' ');
        FUZZ_CHECK(written == name + L" = 0x" + digits);
    }
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // The answer in a block of exactly its size.
    const std::unique_ptr<uint8_t[]> answer = ExactCopy(data, size);
    const uint8_t* pb = answer.get();
    CheckStatusAndSerial(pb, size);

    FuzzInput input(data, size);
    const size_t cchTrace = input.Upto(600);
    wchar_t label[HEX_TRACE_LABEL_LENGTH + 1] = {};
    const uint8_t labelChoice = input.Byte();
    if (labelChoice < 4 * 60)
    {
        std::copy_n(LABELS[labelChoice % 4], HEX_TRACE_LABEL_LENGTH, label);
    }
    else
    {
        // Any six characters but the terminator.
        for (size_t i = 0; i < HEX_TRACE_LABEL_LENGTH; ++i)
        {
            const uint16_t unit = input.Word();
            label[i] = unit != 0 ? static_cast<wchar_t>(unit) : L'?';
        }
    }
    const auto exactLabel = ExactCopy(label, HEX_TRACE_LABEL_LENGTH); // the six characters, no terminator
    CheckHexTrace(exactLabel.get(), pb, size, cchTrace);

    const uint32_t result = input.Dword();
    const size_t cchResult = input.Upto(80);
    std::wstring name;
    while (input.Remaining() >= 2)
    {
        const wchar_t ch = static_cast<wchar_t>(input.Word());
        if (ch == L'\0') break;
        name += ch;
    }
    CheckResultLine(name, result, cchResult);
    return 0;
}
