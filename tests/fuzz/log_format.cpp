// Log text built from registry strings and other outside values. The first byte picks:
//   0: the package's own line formats with strings of any content and length (user
//      names, typed codes, stored verifiers, serials) and any numbers, into the 512-
//      character line buffer or a buffer of another size;
//   1: formats of any text, widths and conversions, known or not, some cut short;
//   2: the log header of any broken-down time.
// Every line is compared with the same text built independently.
#include "FuzzInput.h"
#include "LogFormat.h"

#include <cstdio>
#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

namespace
{
    constexpr size_t LINE_CHARS = 512;

    struct Argument
    {
        enum Kind { Text, Signed, Unsigned } kind;
        const wchar_t* text = nullptr;
        long long number = 0;
    };

    std::wstring Widen(const char* psz)
    {
        std::wstring text;
        for (; *psz != '\0'; ++psz) text += static_cast<wchar_t>(static_cast<unsigned char>(*psz));
        return text;
    }

    // The line the format and arguments stand for, built with the C library's numbers.
    std::wstring Expected(const wchar_t* pszFormat, const std::vector<Argument>& arguments)
    {
        std::wstring line;
        size_t next = 0;
        for (const wchar_t* pch = pszFormat; *pch != L'\0'; ++pch)
        {
            if (*pch != L'%')
            {
                line += *pch;
                continue;
            }
            ++pch;
            if (*pch == L'%')
            {
                line += L'%';
                continue;
            }
            const bool fZero = *pch == L'0';
            if (fZero) ++pch;
            int width = 0;
            while (*pch >= L'0' && *pch <= L'9') width = width * 10 + (*pch++ - L'0');
            if (*pch == L'l') ++pch;
            if (*pch == L'\0') break; // an unfinished conversion at the end gives nothing
            if (std::wcschr(L"sduxX", *pch) == nullptr)
            {
                line += L'%'; // an unknown one is shown as it stands, without flag and width
                line += *pch;
                continue;
            }
            const Argument& argument = arguments.at(next++);
            char number[16 + 10000];
            switch (*pch)
            {
            case L's':
                line += argument.text != nullptr ? argument.text : L"(null)";
                break;
            case L'd':
                std::snprintf(number, sizeof(number), fZero ? "%0*d" : "%*d", width, static_cast<int>(argument.number));
                line += Widen(number);
                break;
            case L'u':
            case L'x':
            case L'X':
            {
                const char* pszSpec = *pch == L'u' ? (fZero ? "%0*u" : "%*u")
                                    : *pch == L'x' ? (fZero ? "%0*x" : "%*x")
                                                   : (fZero ? "%0*X" : "%*X");
                std::snprintf(number, sizeof(number), pszSpec, width, static_cast<unsigned>(argument.number));
                line += Widen(number);
                break;
            }
            default:
                break;
            }
        }
        return line;
    }

    // A buffer of exactly cch characters; the line must be the expected one, or its cut.
    struct Line
    {
        explicit Line(size_t cch) : cch(cch), buffer(ExactCopy(std::vector<wchar_t>(cch, L'#').data(), cch)) {}

        void Check(int result, const std::wstring& expected) const
        {
            if (cch == 0)
            {
                FUZZ_CHECK(result == -1);
                return;
            }
            const size_t cchWritten = std::wcslen(buffer.get()); // stays inside the block
            if (expected.size() < cch)
            {
                FUZZ_CHECK(result == static_cast<int>(expected.size()));
                FUZZ_CHECK(expected == buffer.get());
            }
            else
            {
                FUZZ_CHECK(result == -1);
                FUZZ_CHECK(cchWritten == cch - 1);
                FUZZ_CHECK(expected.compare(0, cch - 1, buffer.get()) == 0);
            }
        }

        size_t cch;
        std::unique_ptr<wchar_t[]> buffer;
    };

    // Text of any content (UTF-16 units, up to the first null) and of any length, with
    // the lengths around the line buffer's size easy to reach.
    std::unique_ptr<wchar_t[]> Text(FuzzInput& input)
    {
        const size_t cch = input.Upto(1100);
        const size_t cchPattern = 1 + input.Upto(7);
        std::vector<wchar_t> pattern;
        for (size_t i = 0; i < cchPattern; ++i) pattern.push_back(static_cast<wchar_t>(input.Word()));
        std::vector<wchar_t> text;
        for (size_t i = 0; i < cch; ++i) text.push_back(pattern[i % cchPattern]);
        text.push_back(L'\0');
        return ExactCopy(text.data(), text.size());
    }

    size_t BufferSize(FuzzInput& input)
    {
        return input.Byte() < 200 ? LINE_CHARS : input.Upto(600);
    }

    void PackageLines(FuzzInput& input)
    {
        const uint8_t choice = input.Byte();
        const Line line(BufferSize(input));
        const auto text = Text(input);
        const wchar_t* pszText = input.Byte() == 0xFF ? nullptr : text.get();
        const int number = static_cast<int>(input.Dword());
        const unsigned value = input.Dword();
        wchar_t* const pszLine = line.buffer.get();
        const Argument s{ Argument::Text, pszText, 0 };
        const Argument d{ Argument::Signed, nullptr, number };
        const Argument x{ Argument::Unsigned, nullptr, value };
        const wchar_t* pszFormat = nullptr;
        int result = 0;
        std::vector<Argument> arguments;
        switch (choice % 9)
        {
        case 0: pszFormat = L"User: %s\r\n"; result = FormatLine(pszLine, line.cch, pszFormat, pszText); arguments = { s }; break;
        case 1: pszFormat = L"secKey = [%s] secKeyLength = %d\r\n"; result = FormatLine(pszLine, line.cch, pszFormat, pszText, number); arguments = { s, d }; break;
        case 2: pszFormat = L"recoveryKey = [%s] recoveryKeyLength = %d\r\n"; result = FormatLine(pszLine, line.cch, pszFormat, pszText, number); arguments = { s, d }; break;
        case 3: pszFormat = L"Serial number: %s\r\n"; result = FormatLine(pszLine, line.cch, pszFormat, pszText); arguments = { s }; break;
        case 4: pszFormat = L"uname from registry: %s\r\n"; result = FormatLine(pszLine, line.cch, pszFormat, pszText); arguments = { s }; break;
        case 5: pszFormat = L"Connect failed: %X\r\n"; result = FormatLine(pszLine, line.cch, pszFormat, value); arguments = { x }; break;
        case 6: pszFormat = L"Smart card service unavailable: 0x%08X\r\n"; result = FormatLine(pszLine, line.cch, pszFormat, value); arguments = { x }; break;
        case 7: pszFormat = L"returnVal 0x%08X *Authoritative %d\r\n"; result = FormatLine(pszLine, line.cch, pszFormat, value, number); arguments = { x, d }; break;
        default: pszFormat = L"Reader: %ls\r\n"; result = FormatLine(pszLine, line.cch, pszFormat, pszText); arguments = { s }; break;
        }
        line.Check(result, Expected(pszFormat, arguments));
    }

    // Conversions are taken in this order of argument types, so the call below always
    // matches what the format asks for.
    const Argument::Kind SLOTS[] = { Argument::Text, Argument::Unsigned, Argument::Text, Argument::Signed,
                                     Argument::Text, Argument::Unsigned, Argument::Signed, Argument::Text };

    void BuiltFormats(FuzzInput& input)
    {
        const Line line(BufferSize(input));
        const uint8_t ending = input.Byte();
        std::vector<std::unique_ptr<wchar_t[]>> texts;
        std::vector<Argument> arguments;
        for (Argument::Kind kind : SLOTS)
        {
            Argument argument{ kind, nullptr, 0 };
            if (kind == Argument::Text)
            {
                texts.push_back(Text(input));
                argument.text = texts.back().get();
            }
            else
            {
                argument.number = kind == Argument::Signed ? static_cast<long long>(static_cast<int>(input.Dword()))
                                                           : static_cast<long long>(input.Dword());
            }
            arguments.push_back(argument);
        }

        std::wstring format;
        size_t used = 0;
        while (input.Remaining() > 0)
        {
            const uint8_t step = input.Byte();
            if (step < 0x80) // literal text: any unit but the terminator and %
            {
                const wchar_t ch = static_cast<wchar_t>(input.Word());
                format += ch == L'\0' || ch == L'%' ? L'.' : ch;
            }
            else if (step < 0x88)
            {
                format += L"%%";
            }
            else if (step < 0x90) // a conversion the formatter does not know
            {
                format += L'%';
                if (step & 1) format += L'0';
                if (step & 2) format += std::to_wstring(input.Upto(99));
                if (step & 4) format += L'l';
                const wchar_t ch = static_cast<wchar_t>(input.Word());
                const bool fKnown = ch == L'\0' || ch == L'l' || (ch >= L'0' && ch <= L'9') ||
                                    std::wcschr(L"sduxX%", ch) != nullptr;
                format += fKnown ? L'q' : ch;
            }
            else if (used < std::size(SLOTS))
            {
                const Argument::Kind kind = SLOTS[used++];
                format += L'%';
                if (kind == Argument::Text)
                {
                    format += step & 1 ? L"ls" : L"s";
                    continue;
                }
                if (step & 1) format += L'0';
                if (step & 2) format += std::to_wstring(input.Upto(9999));
                if (step & 4) format += L'l';
                format += kind == Argument::Signed ? L'd' : (step & 8 ? L'X' : (step & 16 ? L'x' : L'u'));
            }
        }
        // Some formats end in the middle of a conversion.
        static const wchar_t* const ENDINGS[] = { L"", L"%", L"%0", L"%12", L"%l", L"%0l", L"%3l" };
        format += ENDINGS[ending % std::size(ENDINGS)];
        const auto block = ExactCopy(format.c_str(), format.size() + 1);
        const int result = FormatLine(line.buffer.get(), line.cch, block.get(), arguments[0].text,
                                      static_cast<unsigned>(arguments[1].number), arguments[2].text,
                                      static_cast<int>(arguments[3].number), arguments[4].text,
                                      static_cast<unsigned>(arguments[5].number), static_cast<int>(arguments[6].number),
                                      arguments[7].text);
        arguments.resize(used);
        line.Check(result, Expected(format.c_str(), arguments));
    }

    // Mostly values near the valid range [low, high], sometimes any int at all.
    int Field(FuzzInput& input, int low, int high)
    {
        if (input.Byte() < 32) return static_cast<int>(input.Dword());
        return low - 2 + static_cast<int>(input.Upto(static_cast<size_t>(high - low + 4)));
    }

    void Header(FuzzInput& input)
    {
        struct tm time = {};
        time.tm_sec = Field(input, 0, 60);
        time.tm_min = Field(input, 0, 59);
        time.tm_hour = Field(input, 0, 23);
        time.tm_mday = Field(input, 1, 31);
        time.tm_mon = Field(input, 0, 11);
        time.tm_year = Field(input, 1000 - 1900, 9999 - 1900);
        time.tm_wday = Field(input, 0, 6);
        time.tm_yday = Field(input, 0, 365);
        time.tm_isdst = Field(input, -1, 1);

        // On the heap, so that a write past the array is caught.
        const std::unique_ptr<wchar_t[][LOG_HEADER_CHARS + 1]> block(new wchar_t[1][LOG_HEADER_CHARS + 1]);
        wchar_t (&header)[LOG_HEADER_CHARS + 1] = block[0];
        std::wmemset(header, L'#', LOG_HEADER_CHARS + 1);
        const bool fFormatted = FormatLogHeader(time, header);

        const long long year = 1900LL + time.tm_year;
        const bool fShowable = time.tm_wday >= 0 && time.tm_wday <= 6 && time.tm_mon >= 0 && time.tm_mon <= 11 &&
                               time.tm_mday >= 1 && time.tm_mday <= 31 && time.tm_hour >= 0 && time.tm_hour <= 23 &&
                               time.tm_min >= 0 && time.tm_min <= 59 && time.tm_sec >= 0 && time.tm_sec <= 60 &&
                               year >= 1000 && year <= 9999;
        FUZZ_CHECK(fFormatted == fShowable);
        if (!fShowable)
        {
            FUZZ_CHECK(header[0] == L'\0');
            return;
        }
        // The C standard's own description of asctime.
        static const char DAYS[7][4] = { "Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat" };
        static const char MONTHS[12][4] = { "Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                            "Jul", "Aug", "Sep", "Oct", "Nov", "Dec" };
        char expected[64];
        std::snprintf(expected, sizeof(expected), "%.3s %.3s%3d %.2d:%.2d:%.2d %d\n", DAYS[time.tm_wday],
                      MONTHS[time.tm_mon], time.tm_mday, time.tm_hour, time.tm_min, time.tm_sec,
                      static_cast<int>(year));
        FUZZ_CHECK(std::strlen(expected) == LOG_HEADER_CHARS);
        FUZZ_CHECK(Widen(expected) == header);
    }
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzInput input(data, size);
    switch (input.Byte() % 3)
    {
    case 0: PackageLines(input); break;
    case 1: BuiltFormats(input); break;
    default: Header(input); break;
    }
    return 0;
}
