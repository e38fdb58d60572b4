// The program folder (the folder of the updater's own executable) and path helpers built on it.
#pragma once

#include <string>

// The executable's path cut at its last separator, without the separator.
std::wstring GetProgramFolder();

// An absolute path is used unchanged; any other is joined to the program folder.
std::wstring ResolveProgramPath(const std::wstring& path);

bool PathExistsAt(const std::wstring& path);

// Creates the folder with all missing parents; an existing folder counts as success.
bool CreateFolderTree(const std::wstring& path);

// Creates the parent folder of a file path; refused when the path holds one of < > " | * ?.
bool CreateParentFolder(const std::wstring& filePath);
