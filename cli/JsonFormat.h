#pragma once
// The few JSON shapes velkorctl prints: strings, arrays and objects built member by
// member, in the order they are added. Pure logic (no Windows headers); the text is
// wide and becomes UTF-8 on output.
#include <string>
#include <vector>

// A JSON string literal: quotes, backslashes and control characters escaped.
std::wstring JsonString(const std::wstring& text);

// An array of already formatted values, or of strings.
std::wstring JsonArray(const std::vector<std::wstring>& values);
std::wstring JsonStringArray(const std::vector<std::wstring>& texts);

class CJsonObject
{
public:
    CJsonObject& Raw(const std::wstring& key, const std::wstring& json);
    CJsonObject& String(const std::wstring& key, const std::wstring& text);
    // A string, or null when text is empty.
    CJsonObject& StringOrNull(const std::wstring& key, const std::wstring& text);
    CJsonObject& Bool(const std::wstring& key, bool value);
    CJsonObject& Number(const std::wstring& key, unsigned long long value);
    CJsonObject& Null(const std::wstring& key);
    // Another object's members, after this one's.
    CJsonObject& Merge(const CJsonObject& other);

    std::wstring Text() const;
    // Wipes the text built so far (it may hold a recovery code).
    void Clear();

private:
    std::wstring _members;
};
