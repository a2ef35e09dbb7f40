#pragma once
// The package's log file as the tests see it: raw bytes and the text they decode to.
#include <string>
#include <vector>

namespace testlog
{
    extern const wchar_t PATH[]; // C:\Velkor.txt

    void Delete();
    bool Exists();
    std::vector<unsigned char> ReadBytes();
    // The UTF-16LE content (fails the test if the byte count is odd).
    std::wstring ReadText();
    // The text with the 25-character date line replaced by "<date>\n" wherever it starts
    // a header, so whole logs can be compared.
    std::wstring ReadTextWithoutDates();
}
