#pragma once
// Plays the administrator in front of VelkorFIDO2_GUI.exe: starts it in its own process,
// finds its windows, reads and clicks their controls and answers its message boxes.
#include <windows.h>

#include <string>
#include <vector>

struct SeenBox
{
    std::wstring text;
    bool hasOk = false;
    bool hasYesNo = false;
};

class CGuiDriver
{
public:
    CGuiDriver() = default;
    ~CGuiDriver();
    CGuiDriver(const CGuiDriver&) = delete;
    CGuiDriver& operator=(const CGuiDriver&) = delete;

    // Starts the program with this virtual PC/SC scenario (empty: no readers) and waits
    // for its main dialog. False when it did not come up.
    bool Start(const std::string& scenario);
    // Closes the dialog as the close box would; the program's exit code, or -1 if it
    // did not end.
    int Close();

    HWND Dialog() const { return m_hwndDialog; }
    HWND Item(int id) const { return GetDlgItem(m_hwndDialog, id); }
    bool Checked(int id) const;
    bool Enabled(int id) const { return IsWindowEnabled(Item(id)) != FALSE; }
    std::wstring Text(HWND hwnd) const;

    // A click that opens no box: returns once the dialog has handled it.
    void ClickCheckBox(int id);
    // A click whose handler shows boxes: returns at once.
    void ClickAndLeave(int id);
    void SystemCommand(UINT id);

    // The next box of the program, read and answered with this button (IDOK, IDYES,
    // IDNO). An empty text means no box came within the time.
    SeenBox AnswerBox(int answer);
    // No box is open (after the dialog has caught up).
    bool NoBoxOpen();

    // A top-level window of the program with this caption (null if none within the time).
    HWND WaitForWindow(const wchar_t* pszCaption, DWORD timeoutMs = 10000) const;
    // The texts of a window's static controls, in order.
    std::vector<std::wstring> StaticTexts(HWND hwnd) const;
    // Clicks a button of another window of the program and waits until that window is gone.
    bool ClickAndWaitGone(HWND hwnd, int idButton);

    // A PNG of the window as the X server shows it, written to the screenshot folder.
    // Returns the file's Windows path, or empty on failure.
    std::wstring Screenshot(HWND hwnd, const std::wstring& name);

private:
    void Sync() const;
    HWND FindBox() const;

    PROCESS_INFORMATION m_process = {};
    HWND m_hwndDialog = nullptr;
    std::wstring m_scenarioPath;
};

std::wstring UnixToDosPath(const std::string& unixPath);
