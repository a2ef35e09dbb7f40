#pragma once
// Collects what this process sends to OutputDebugStringW while an instance lives, by
// catching the debug-print exception that call raises.
#include <mutex>
#include <string>
#include <vector>

class CDebugOutputCapture
{
public:
    CDebugOutputCapture();
    ~CDebugOutputCapture();
    CDebugOutputCapture(const CDebugOutputCapture&) = delete;
    CDebugOutputCapture& operator=(const CDebugOutputCapture&) = delete;

    std::vector<std::wstring> Lines() const;
    void Clear();

private:
    void* _pHandler = nullptr;
};
