// The updater's message boxes, exactly as users see them.
#pragma once

namespace qz {

inline constexpr char16_t kCaptionAgent[] = u"VH-KSM 에이전트";
inline constexpr char16_t kCaptionError[] = u"VH-KSM 오류";
inline constexpr char16_t kTextAnotherUpdater[] = u"이미 에이전트가 설치되어 업데이트가 진행 중입니다.";
inline constexpr char16_t kTextOsRefused[] =
    u"해당 OS는 지원하지 않는 환경입니다.\n사이트 관리자에게 문의해 주시기 바랍니다.";
inline constexpr char16_t kTextPrepareFailed[] =
    u"VH-KSM 에이전트 설치 초기화가 실패하였습니다.\n잠시 후 설치 프로그램을 다시 실행해 주시기 바랍니다.";
inline constexpr char16_t kTextInstallFailed[] =
    u"VH-KSM 에이전트 설치가 실패하였습니다.\n잠시 후 설치 프로그램을 다시 실행해 주시기 바랍니다.";

}  // namespace qz
