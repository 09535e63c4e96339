#include "transport/web_query.h"

#include <exception>
#include <optional>

#include "platform/file_util.h"
#include "platform/platform.h"
#include "platform/text.h"
#include "transport/curl_transport.h"
#include "transport/sinks.h"
#include "transport/winhttp_transport.h"

namespace qz {

using namespace win;

WebQuery::WebQuery(uint32_t timeoutMs)
    : state_(timeoutMs),
      winhttp_(std::make_unique<WinHttpTransport>(state_)),
      curl_(std::make_unique<CurlTransport>(state_)) {}

WebQuery::~WebQuery() {
  winhttp_.reset();
  curl_.reset();
}

bool WebQuery::Initialize(ILogger* logger) {
  state_.logger = logger;
  winhttp_->AdoptCurrentHost();
  if (!winhttp_->OpenSessions(u"Initialize")) return false;

  OSVERSIONINFOEXW v;
  Os().GetVersionExW(&v);
  useCurl_ = v.dwMajorVersion < 6 || (v.dwMajorVersion == 6 && v.dwMinorVersion == 0);
  if (useCurl_ && !curl_->IsOpen()) curl_->Open();
  ready_ = true;
  return true;
}

bool WebQuery::Reinitialize_WinHttp() { return winhttp_->Reopen(); }

void WebQuery::SecureFailure(DWORD flags) { winhttp_->SecureFailure(flags); }

void WebQuery::SetCertificateCheck(CertificateCheck check) {
  std::lock_guard lock(state_.requestLock);
  state_.certificateCheck = std::move(check);
}

bool WebQuery::SetHost(std::u16string_view host) {
  state_.host = std::u16string(host.substr(0, kMaxHost));
  state_.hostA = WideToAnsi(state_.host);
  if (state_.hostA.size() > kMaxHostA) state_.hostA.resize(kMaxHostA);
  return true;
}

bool WebQuery::SetTimeout(uint32_t ms) {
  state_.timeout = ms;
  const bool ok = winhttp_->SetTimeout(ms);
  return curl_->SetTimeout(ms) && ok;
}

std::string WebQuery::CurlUrl(std::u16string_view path) const { return curl_->Url(path); }

int32_t WebQuery::RequestSecure(std::u16string_view path, std::string_view body, std::span<char> answer,
                                bool check) {
  return Request(u"RequestSecure #2", WebForm::Post, path, body, &answer, check);
}

int32_t WebQuery::RequestSecure(std::u16string_view path, std::span<char> answer, bool check) {
  return Request(u"RequestSecure", WebForm::Get, path, {}, &answer, check);
}

int32_t WebQuery::SimpleRequestSecure(std::u16string_view path, std::string_view body, bool check) {
  return Request(u"SimpleRequestSecure #2", WebForm::Post, path, body, nullptr, check);
}

int32_t WebQuery::SimpleRequestSecure(std::u16string_view path, bool check) {
  return Request(u"SimpleRequestSecure", WebForm::Get, path, {}, nullptr, check);
}

int32_t WebQuery::Request(const char16_t* func, WebForm form, std::u16string_view path, std::string_view body,
                          std::span<char>* answer, bool check) {
  if (!ready_) return kWebException;
  try {
    std::optional<AnswerSink> sink;
    if (answer) sink.emplace(*answer);
    AnswerSink* into = sink ? &*sink : nullptr;
    // libcurl requests run no certificate check.
    return useCurl_ ? curl_->Request(form, path, body, into)
                    : winhttp_->Request(func, form, path, body, into, check);
  } catch (const std::exception&) {
    state_.lastResult = kWebException;
    return kWebException;
  }
}

int64_t WebQuery::DownloadPlain(std::u16string_view path, std::u16string_view name, std::u16string_view folder,
                                bool restart) {
  if (!ready_) return kWebException;
  CreateFolderPath(folder);
  const int32_t size = winhttp_->QueryContentLength(path);
  if (size <= 0) return size;
  DownloadSink file(Fmt(u"%s\\%s", folder, name), Fmt(u"%s\\%s.tmp", folder, name));
  return winhttp_->Download(false, path, size, file, restart);
}

int64_t WebQuery::DownloadHttps(std::u16string_view path, int64_t expectedSize, std::u16string_view name,
                                std::u16string_view folder, bool restart) {
  if (!ready_) return kWebException;
  DownloadSink file(Fmt(u"%s\\%s", folder, name), Fmt(u"%s\\%s.tmp", folder, name));
  if (useCurl_) return curl_->Download(path, expectedSize, file, restart);
  CreateFolderPath(folder);
  return winhttp_->Download(true, path, expectedSize, file, restart);
}

int32_t WebQuery::UploadPlain(std::u16string_view path, std::string_view fileName, std::string_view folder,
                              std::string_view preamble) {
  if (!ready_) return kWebException;
  return winhttp_->Upload(false, path, fileName, folder, preamble);
}

int32_t WebQuery::UploadHttps(std::u16string_view path, std::string_view fileName, std::string_view folder,
                              std::string_view preamble) {
  if (!ready_) return kWebException;
  if (useCurl_) return curl_->Upload(path, fileName, folder);
  return winhttp_->Upload(true, path, fileName, folder, preamble);
}

}  // namespace qz
