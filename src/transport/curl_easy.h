// libcurl's easy interface as far as the libcurl path uses it, behind a header of our own: on
// Windows <curl/curl.h> brings <windows.h>, whose macros clash with the platform's names, so only
// curl_easy.cpp includes it and it includes nothing of the platform.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace qz::curl {

// The CURLcode values callers tell apart (checked against libcurl's own where it is included).
inline constexpr int kOk = 0;
inline constexpr int kFailedInit = 2;
inline constexpr int kHttpReturnedError = 22;
inline constexpr int kWriteError = 23;
inline constexpr long kMaxWriteSize = 16384;
// A read callback's answer that aborts the transfer.
inline constexpr size_t kReadAbort = 0x10000000;

enum class Option {
  ConnectTimeoutMs,
  TimeoutMs,
  LowSpeedLimit,
  LowSpeedTime,
  UserAgent,
  Proxy,
  SslVerifyPeer,
  SslVerifyHost,
  NoSignal,
  Url,
  PostFieldSize,
  PostFields,  // not copied: the text must live until the transfer ends
  BufferSize,
  HttpGet,
  FailOnError,
};

using Handle = void*;
using DataCallback = size_t (*)(char* data, size_t size, size_t count, void* user);

// An easy handle holding one reference to libcurl's global state (libcurl counts them, so one
// handle going away never pulls the state from under another); null when none could be made.
Handle Open();
void Close(Handle handle);

bool Set(Handle handle, Option option, long value);
bool Set(Handle handle, Option option, const char* text);
bool SetWriter(Handle handle, DataCallback write, void* user);

// Runs the transfer with the extra request headers given (none when empty), which are removed
// again afterwards; the CURLcode.
int Perform(Handle handle, const std::vector<std::string>& headers = {});
// Posts a multipart form of three parts: "sendfile" (the file's bytes from read, named fileName),
// "filename" (fileName) and "submit" ("send"), without "Expect: 100-continue"; the CURLcode.
int PostFileForm(Handle handle, const std::string& fileName, int64_t size, DataCallback read, void* user);
long ResponseCode(Handle handle);

}  // namespace qz::curl
