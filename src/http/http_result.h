// The owner's side of the transfer engine: the interfaces through which requests and downloads
// report their results and progress.
#pragma once

class IHttpRequestResult {
  public:
    // The end of a request. `body` is valid only during the call.
    virtual void OnRequestResult(int taskId, int success, long httpCode, const char* body) = 0;

  protected:
    ~IHttpRequestResult() = default;
};

class IHttpDownloadResult {
  public:
    // The end of a download. `localPath` is valid only during the call.
    virtual void OnDownloadResult(int taskId, int success, const char* localPath) = 0;
    // Progress of a running download as the fraction of the file received; called on several
    // threads at once during the segmented phase.
    virtual void OnDownloadProgress(int taskId, double fraction) = 0;

  protected:
    ~IHttpDownloadResult() = default;
};

// The base an owner derives from to receive both kinds of result; it implements nothing.
template <typename TRequestResult, typename TDownloadResult>
class CHttpDelegate : public TRequestResult, public TDownloadResult {};
