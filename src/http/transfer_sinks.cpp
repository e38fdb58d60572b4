#include "http/transfer_sinks.h"

#include "diagnostics/log.h"

namespace http_transfer {

bool IsStopping(const IHttpTaskCallback* tasks) {
    return tasks != nullptr && tasks->IsStopping();
}

size_t WriteRequestBody(char* data, size_t size, size_t count, void* sink) {
    auto* request = static_cast<RequestSink*>(sink);
    size_t bytes = size * count;
    if (request == nullptr || data == nullptr)
        return bytes;
    if (IsStopping(request->tasks))
        return 0;
    // Beyond the cap the answer cannot be what the owner expects; returning less than given
    // makes libcurl fail the request.
    if (bytes > kMaxRequestBodyBytes - request->body.size())
        return 0;
    request->body.append(data, bytes);
    return bytes;
}

size_t WriteFileData(char* data, size_t size, size_t count, void* sink) {
    auto* target = static_cast<FileSink*>(sink);
    if (target == nullptr || target->file == nullptr || data == nullptr) {
        LogPrint(GetLogUtility(), L"WriteData return 0");
        return 0;
    }
    if (IsStopping(target->tasks))
        return 0;
    uint64_t bytes = static_cast<uint64_t>(size) * count;
    if (bytes > target->limit - target->written) {
        if (!target->overrun)
            LogPrint(GetLogUtility(), L"WriteData: more than the %llu bytes asked for, try cut off",
                     static_cast<unsigned long long>(target->limit));
        target->overrun = true;
        return 0;
    }
    size_t stored = std::fwrite(data, 1, static_cast<size_t>(bytes), target->file);
    target->written += stored;
    if (stored < bytes) {
        target->writeFailed = true;
        return 0;
    }
    return size == 0 ? 0 : count;
}

int AbortWhenStopping(void* tasks, double, double, double, double) {
    return IsStopping(static_cast<IHttpTaskCallback*>(tasks)) ? 1 : 0;
}

}  // namespace http_transfer
