#include "platform/process.h"

#include <windows.h>

#include <shellapi.h>
#include <tlhelp32.h>

namespace platform {

void SetDefaultErrorMode() {
    SetErrorMode(0);
}

bool StartProgram(const std::wstring& file, const std::wstring* parameters, ShowCommand show,
                  ProcessHandle& process, uint32_t& error) {
    SHELLEXECUTEINFOW info{};
    info.cbSize = sizeof(info);
    // No error dialog: a file that cannot be started must not block an unattended install pass;
    // the caller logs the failure with the error code instead.
    info.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_FLAG_NO_UI;
    info.lpFile = file.c_str();
    info.lpParameters = parameters != nullptr ? parameters->c_str() : nullptr;
    info.nShow = show == ShowCommand::Hide ? SW_HIDE : SW_SHOWDEFAULT;
    process = nullptr;
    error = 0;
    if (!ShellExecuteExW(&info)) {
        error = GetLastError();
        return false;
    }
    process = info.hProcess;
    return true;
}

uint32_t WaitForProcess(ProcessHandle process, uint32_t milliseconds) {
    return WaitForSingleObject(process, milliseconds);
}

bool GetProcessExitCode(ProcessHandle process, uint32_t& exitCode) {
    DWORD code = static_cast<DWORD>(-1);
    if (process == nullptr || !GetExitCodeProcess(process, &code) || code == STILL_ACTIVE) {
        return false;
    }
    exitCode = code;
    return true;
}

void CloseProcessHandle(ProcessHandle process) {
    if (process != nullptr)
        CloseHandle(process);
}

bool ListProcessNames(std::vector<std::wstring>& names) {
    names.clear();
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return false;
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Process32FirstW(snapshot, &entry); more;
         more = Process32NextW(snapshot, &entry)) {
        std::wstring name = entry.szExeFile;
        size_t cut = name.find_last_of(L"\\/");
        names.push_back(cut == std::wstring::npos ? name : name.substr(cut + 1));
    }
    CloseHandle(snapshot);
    return true;
}

}  // namespace platform
