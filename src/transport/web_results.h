// What a WebQuery operation returns besides byte counts and server numbers, shared by the front
// and both transports.
#pragma once

#include <cstdint>

namespace qz {

inline constexpr int32_t kWebException = -1;
inline constexpr int32_t kWebConnectFailed = -2;
inline constexpr int32_t kWebOpenRequestFailed = -3;
inline constexpr int32_t kWebCallbackFailed = -4;
inline constexpr int32_t kWebSendFailed = -5;
inline constexpr int32_t kWebReceiveFailed = -6;
inline constexpr int32_t kWebStatusUnreadable = -7;
inline constexpr int32_t kWebHttpError = -8;
inline constexpr int32_t kWebSizeMismatch = -9;
inline constexpr int32_t kWebDataFailed = -10;
inline constexpr int32_t kWebBufferTooSmall = -11;
inline constexpr int32_t kWebRangeFailed = -12;
inline constexpr int32_t kWebFileOpenFailed = -13;
inline constexpr int32_t kWebFileWriteFailed = -14;
inline constexpr int32_t kWebRenameFailed = -15;
inline constexpr int32_t kWebSendTimeout = -17;
inline constexpr int32_t kWebResponseTimeout = -18;
inline constexpr int32_t kWebReceiveTimeout = -19;
inline constexpr int32_t kWebUploadWriteFailed = -20;
inline constexpr int32_t kWebCurlBase = -10000;          // request: -10000 - curl code
inline constexpr int32_t kWebCurlTransferBase = -2000;   // download/upload: -2000 - curl code

inline constexpr char16_t kWebUserAgent[] = u"VH-KSM Agent/1.0";

}  // namespace qz
