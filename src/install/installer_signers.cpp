#include "install/installer_signers.h"

#include <algorithm>
#include <mutex>

#include "base/ascii.h"
#include "install/pe_image.h"
#include "platform/signature.h"

namespace installer_signers {

namespace {

// The build's pins, ';'-separated (generated from PALLATON_INSTALLER_SIGNERS).
constexpr char kBuildPins[] =
#include "install/installer_signers.inc"
    ;

std::mutex g_pinsLock;
bool g_pinsOverridden = false;
std::string g_pinsForTesting;

std::vector<std::string> SplitPins(const std::string& list) {
    std::vector<std::string> pins;
    size_t start = 0;
    while (start <= list.size()) {
        size_t end = list.find(';', start);
        if (end == std::string::npos)
            end = list.size();
        std::string pin = ToLowerAscii(list.substr(start, end - start));
        if (!pin.empty())
            pins.push_back(pin);
        start = end + 1;
    }
    return pins;
}

}  // namespace

std::vector<std::string> Pins() {
    std::lock_guard<std::mutex> lock(g_pinsLock);
    return SplitPins(g_pinsOverridden ? g_pinsForTesting : std::string(kBuildPins));
}

void SetPinsForTesting(const std::string* list) {
    std::lock_guard<std::mutex> lock(g_pinsLock);
    g_pinsOverridden = list != nullptr;
    g_pinsForTesting = list != nullptr ? *list : std::string();
}

std::wstring FindRefusal(const platform::InputFile& file, const std::wstring& path,
                         std::wstring& signer) {
    signer = L"none";
    std::vector<std::string> pins = Pins();
    if (pins.empty())
        return std::wstring();
    platform::SignatureCheck check = platform::CheckFileSignature(file, path);
    // Where the system checks no signature, the pins cannot be honoured: the pass runs as it
    // would without them, which the log said at its start.
    if (!check.supported)
        return std::wstring();
    if (!check.signer.empty())
        signer = check.signer;
    if (!check.intact || !check.problem.empty())
        return check.problem.empty() ? std::wstring(L"signature not valid") : check.problem;
    if (!check.chainTrusted)
        return L"chain not trusted";
    if (!check.codeSigning)
        return L"signer not for code signing";
    if (std::find(pins.begin(), pins.end(), check.keySha256) == pins.end())
        return L"signer key not pinned";
    // A good signature says nothing of the name, which picks the program that opens the file,
    // nor of the certificate table, which the signature's digest leaves out.
    return pe_image::FindProblem(file, path);
}

}  // namespace installer_signers
