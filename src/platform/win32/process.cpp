#include "platform/process.h"

#include <windows.h>

#include <shellapi.h>
#include <tlhelp32.h>

#include <vector>

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

namespace {

// The volume and the file index of an open file.
bool FileIdentity(HANDLE file, uint64_t& index, DWORD& volume) {
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(file, &info))
        return false;
    index = (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    volume = info.dwVolumeSerialNumber;
    return true;
}

// Whether the image of a process is the file behind `held`: the file at the image's path, not
// followed through a reparse point, must be the held file itself.
bool ImageIsHeldFile(HANDLE process, const InputFile& held) {
    std::vector<wchar_t> name(32768);
    DWORD size = static_cast<DWORD>(name.size());
    if (!QueryFullProcessImageNameW(process, 0, name.data(), &size))
        return false;
    HANDLE image = CreateFileW(name.data(), FILE_READ_ATTRIBUTES,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                               OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (image == INVALID_HANDLE_VALUE)
        return false;
    uint64_t imageIndex = 0, heldIndex = 0;
    DWORD imageVolume = 0, heldVolume = 0;
    bool same =
        FileIdentity(image, imageIndex, imageVolume) &&
        FileIdentity(reinterpret_cast<HANDLE>(held.NativeHandle()), heldIndex, heldVolume) &&
        imageIndex == heldIndex && imageVolume == heldVolume;
    CloseHandle(image);
    return same;
}

}  // namespace

HeldStart StartHeldProgram(const InputFile& held, const std::wstring& path,
                           const std::wstring* parameters, ShowCommand show, ProcessHandle& process,
                           uint32_t& error) {
    process = nullptr;
    error = 0;
    std::wstring line = L"\"" + path + L"\"";
    if (parameters != nullptr && !parameters->empty())
        line += L" " + *parameters;
    std::vector<wchar_t> commandLine(line.begin(), line.end());
    commandLine.push_back(L'\0');
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = show == ShowCommand::Hide ? SW_HIDE : SW_SHOWDEFAULT;
    PROCESS_INFORMATION started = {};
    if (!CreateProcessW(path.c_str(), commandLine.data(), nullptr, nullptr, FALSE, CREATE_SUSPENDED,
                        nullptr, nullptr, &startup, &started)) {
        error = GetLastError();
        return HeldStart::Failed;
    }
    // The path may lead elsewhere by now (a folder renamed, a junction higher up): the process
    // runs only when what the system mapped is the file that was checked.
    if (!ImageIsHeldFile(started.hProcess, held)) {
        TerminateProcess(started.hProcess, ERROR_ACCESS_DENIED);
        WaitForSingleObject(started.hProcess, 5000);
        CloseHandle(started.hThread);
        CloseHandle(started.hProcess);
        return HeldStart::NotTheHeldFile;
    }
    ResumeThread(started.hThread);
    CloseHandle(started.hThread);
    process = started.hProcess;
    return HeldStart::Started;
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
