// The only file that includes libcurl's header (and so, on Windows, <windows.h>): it includes
// nothing of the platform.
#include "transport/curl_easy.h"

#include <curl/curl.h>

namespace qz::curl {

static_assert(kOk == CURLE_OK && kFailedInit == CURLE_FAILED_INIT && kHttpReturnedError == CURLE_HTTP_RETURNED_ERROR &&
              kWriteError == CURLE_WRITE_ERROR);
static_assert(kMaxWriteSize == CURL_MAX_WRITE_SIZE && kReadAbort == CURL_READFUNC_ABORT);

namespace {

CURL* Easy(Handle handle) { return static_cast<CURL*>(handle); }

CURLoption ToCurl(Option option) {
  switch (option) {
    case Option::ConnectTimeoutMs: return CURLOPT_CONNECTTIMEOUT_MS;
    case Option::TimeoutMs: return CURLOPT_TIMEOUT_MS;
    case Option::LowSpeedLimit: return CURLOPT_LOW_SPEED_LIMIT;
    case Option::LowSpeedTime: return CURLOPT_LOW_SPEED_TIME;
    case Option::UserAgent: return CURLOPT_USERAGENT;
    case Option::Proxy: return CURLOPT_PROXY;
    case Option::SslVerifyPeer: return CURLOPT_SSL_VERIFYPEER;
    case Option::SslVerifyHost: return CURLOPT_SSL_VERIFYHOST;
    case Option::NoSignal: return CURLOPT_NOSIGNAL;
    case Option::Url: return CURLOPT_URL;
    case Option::PostFieldSize: return CURLOPT_POSTFIELDSIZE;
    case Option::PostFields: return CURLOPT_POSTFIELDS;
    case Option::BufferSize: return CURLOPT_BUFFERSIZE;
    case Option::HttpGet: return CURLOPT_HTTPGET;
    case Option::FailOnError: return CURLOPT_FAILONERROR;
  }
  return CURLOPT_LASTENTRY;
}

// Headers set for one transfer and removed after it.
class ScopedHeaders {
 public:
  ScopedHeaders(CURL* curl, const std::vector<std::string>& headers) : curl_(curl) {
    for (const auto& h : headers) list_ = curl_slist_append(list_, h.c_str());
    if (list_) curl_easy_setopt(curl_, CURLOPT_HTTPHEADER, list_);
  }
  ~ScopedHeaders() {
    curl_easy_setopt(curl_, CURLOPT_HTTPHEADER, static_cast<curl_slist*>(nullptr));
    curl_slist_free_all(list_);
  }
  ScopedHeaders(const ScopedHeaders&) = delete;
  ScopedHeaders& operator=(const ScopedHeaders&) = delete;

 private:
  CURL* curl_;
  curl_slist* list_ = nullptr;
};

}  // namespace

Handle Open() {
  curl_global_init(CURL_GLOBAL_ALL);
  CURL* curl = curl_easy_init();
  if (!curl) curl_global_cleanup();
  return curl;
}

void Close(Handle handle) {
  if (!handle) return;
  curl_easy_cleanup(Easy(handle));
  curl_global_cleanup();
}

bool Set(Handle handle, Option option, long value) {
  return handle && curl_easy_setopt(Easy(handle), ToCurl(option), value) == CURLE_OK;
}

bool Set(Handle handle, Option option, const char* text) {
  return handle && curl_easy_setopt(Easy(handle), ToCurl(option), text) == CURLE_OK;
}

bool SetWriter(Handle handle, DataCallback write, void* user) {
  return handle && curl_easy_setopt(Easy(handle), CURLOPT_WRITEFUNCTION, write) == CURLE_OK &&
         curl_easy_setopt(Easy(handle), CURLOPT_WRITEDATA, user) == CURLE_OK;
}

int Perform(Handle handle, const std::vector<std::string>& headers) {
  if (!handle) return CURLE_FAILED_INIT;
  ScopedHeaders scoped(Easy(handle), headers);
  return curl_easy_perform(Easy(handle));
}

int PostFileForm(Handle handle, const std::string& fileName, int64_t size, DataCallback read, void* user) {
  if (!handle) return CURLE_FAILED_INIT;
  CURL* curl = Easy(handle);
  curl_mime* mime = curl_mime_init(curl);
  curl_mimepart* part = curl_mime_addpart(mime);
  curl_mime_name(part, "sendfile");
  curl_mime_filename(part, fileName.c_str());
  curl_mime_data_cb(part, static_cast<curl_off_t>(size), read, nullptr, nullptr, user);
  part = curl_mime_addpart(mime);
  curl_mime_name(part, "filename");
  curl_mime_data(part, fileName.c_str(), CURL_ZERO_TERMINATED);
  part = curl_mime_addpart(mime);
  curl_mime_name(part, "submit");
  curl_mime_data(part, "send", CURL_ZERO_TERMINATED);
  curl_easy_setopt(curl, CURLOPT_MIMEPOST, mime);
  const int rc = Perform(handle, {"Expect:"});
  curl_easy_setopt(curl, CURLOPT_MIMEPOST, static_cast<curl_mime*>(nullptr));
  curl_mime_free(mime);
  return rc;
}

long ResponseCode(Handle handle) {
  long status = 0;
  if (handle) curl_easy_getinfo(Easy(handle), CURLINFO_RESPONSE_CODE, &status);
  return status;
}

}  // namespace qz::curl
