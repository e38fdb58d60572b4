// One HTTP GET on a worker thread of its own; the answer body, held in memory, goes to the
// owner's IHttpRequestResult. One attempt, no log lines.
#pragma once

#include <string>
#include <utility>

#include "http/curl_api.h"
#include "http/http_object.h"
#include "http/http_result.h"
#include "http/transfer.h"
#include "http/transfer_sinks.h"

template <typename T>
class CHttpRequestCommand : public IHttpCommand<T> {
  public:
    // The body of an ordinary answer fits without growing.
    static constexpr size_t kBodyChars = 16384;

    CHttpRequestCommand(std::string url, int taskId) : url_(std::move(url)), taskId_(taskId) {
        body_.body.reserve(kBodyChars);
        this->thread_ = platform::CreateWorkerThread(&HttpThreadProc, this, true);
    }

  private:
    static unsigned HttpThreadProc(void* argument) {
        auto* command = static_cast<CHttpRequestCommand*>(argument);
        if (!command->IsDiscarded())
            command->Execute();
        return command->FinishTask();
    }

    void Execute() {
        int success = 0;
        long httpCode = 0;
        body_.tasks = this->taskCallback_;
        if (!this->IsStopping()) {
            http_transfer::TransferOptions options;
            options.timeoutSeconds = 20;
            options.followRedirects = true;
            options.write = &http_transfer::WriteRequestBody;
            options.writeData = &body_;
            // Only so that a shutdown aborts the request at once instead of after 20 s.
            options.progress = &http_transfer::AbortWhenStopping;
            options.progressData = static_cast<void*>(this->taskCallback_);
            http_transfer::Transfer request;
            if (request.Run(url_, options) == CURLE_OK) {
                httpCode = request.ResponseCode();
                success = 1;
            }
        }
        if (this->owner_ != nullptr && !this->IsStopping()) {
            static_cast<IHttpRequestResult*>(this->owner_)
                ->OnRequestResult(taskId_, success, httpCode, body_.body.c_str());
        }
    }

    http_transfer::RequestSink body_;
    std::string url_;
    int taskId_;
};
