#include "JsonFormat.h"

namespace
{
    const wchar_t HEX_DIGITS[] = L"0123456789abcdef";
}

std::wstring JsonString(const std::wstring& text)
{
    std::wstring json = L"\"";
    for (wchar_t ch : text)
    {
        switch (ch)
        {
        case L'"': json += L"\\\""; break;
        case L'\\': json += L"\\\\"; break;
        case L'\n': json += L"\\n"; break;
        case L'\r': json += L"\\r"; break;
        case L'\t': json += L"\\t"; break;
        default:
            if (ch < 0x20 || ch == 0x7F)
            {
                json += L"\\u00";
                json += HEX_DIGITS[(ch >> 4) & 0xF];
                json += HEX_DIGITS[ch & 0xF];
            }
            else
            {
                json += ch;
            }
        }
    }
    json += L'"';
    return json;
}

std::wstring JsonArray(const std::vector<std::wstring>& values)
{
    std::wstring json = L"[";
    for (size_t i = 0; i < values.size(); ++i)
    {
        if (i > 0) json += L",";
        json += values[i];
    }
    return json + L"]";
}

std::wstring JsonStringArray(const std::vector<std::wstring>& texts)
{
    std::vector<std::wstring> values;
    for (const std::wstring& text : texts) values.push_back(JsonString(text));
    return JsonArray(values);
}

CJsonObject& CJsonObject::Raw(const std::wstring& key, const std::wstring& json)
{
    if (!_members.empty()) _members += L",";
    _members += JsonString(key) + L":" + json;
    return *this;
}

CJsonObject& CJsonObject::String(const std::wstring& key, const std::wstring& text)
{
    return Raw(key, JsonString(text));
}

CJsonObject& CJsonObject::StringOrNull(const std::wstring& key, const std::wstring& text)
{
    return text.empty() ? Null(key) : String(key, text);
}

CJsonObject& CJsonObject::Bool(const std::wstring& key, bool value)
{
    return Raw(key, value ? L"true" : L"false");
}

CJsonObject& CJsonObject::Number(const std::wstring& key, unsigned long long value)
{
    return Raw(key, std::to_wstring(value));
}

CJsonObject& CJsonObject::Null(const std::wstring& key)
{
    return Raw(key, L"null");
}

CJsonObject& CJsonObject::Merge(const CJsonObject& other)
{
    if (other._members.empty()) return *this;
    if (!_members.empty()) _members += L",";
    _members += other._members;
    return *this;
}

void CJsonObject::Clear()
{
    for (wchar_t& ch : _members)
    {
        // volatile: an optimiser must not drop a store that nothing reads again.
        *static_cast<volatile wchar_t*>(&ch) = L'\0';
    }
    _members.clear();
}

std::wstring CJsonObject::Text() const
{
    return L"{" + _members + L"}";
}
