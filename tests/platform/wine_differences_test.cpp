#include "support/wine_differences.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <set>
#include <string>

namespace qztest {
namespace {

constexpr WineDifference kAll[] = {
    WineDifference::EveryProcessElevated,
    WineDifference::StartDriverMissingFile,
    WineDifference::StrictTlsUnknownCa,
    WineDifference::StrictTlsSecureFailureFlags,
    WineDifference::DriverPathInNtForm,
    WineDifference::MessageBoxWithoutDisplay,
    WineDifference::RegCreateWithoutCreateSubKeyRight,
    WineDifference::RegSubkeyOrderOfUnderscore,
    WineDifference::RegValueOrderOfFirstMade,
    WineDifference::FolderDaclEntriesOfCreatedDacl,
    WineDifference::FolderWithoutDaclHasExplicitDacl,
    WineDifference::RenameFolderHoldingAnOpenFile,
    WineDifference::WriteToReadOnlyFileAsRoot,
    WineDifference::VersionUnknownSizeLastError,
    WineDifference::SnapshotListsIdleProcess,
};

TEST(WineDifferences, EachDifferenceHasOneRowWithTwoDistinctValues) {
  std::set<WineDifference> seen;
  std::set<std::string> names;
  for (const auto& d : WineDifferences()) {
    EXPECT_TRUE(seen.insert(d.what).second) << d.name;
    EXPECT_TRUE(names.insert(d.name).second) << d.name;
    EXPECT_NE(d.windows, d.wine) << d.name << ": no difference to list";
  }
  for (auto what : kAll) EXPECT_EQ(seen.count(what), 1u);
  EXPECT_EQ(seen.size(), std::size(kAll));
}

TEST(WineDifferences, WindowsValuesAreTheRealOnes) {
  EXPECT_EQ(WineDifferenceOf(WineDifference::StartDriverMissingFile).windows, 2);       // ERROR_FILE_NOT_FOUND
  EXPECT_EQ(WineDifferenceOf(WineDifference::StrictTlsUnknownCa).windows, 12175);      // ERROR_WINHTTP_SECURE_FAILURE
  EXPECT_EQ(WineDifferenceOf(WineDifference::StartDriverMissingFile).wine, 1114);
  EXPECT_EQ(WineDifferenceOf(WineDifference::StrictTlsUnknownCa).wine, 12157);
  EXPECT_EQ(WineDifferenceOf(WineDifference::RegCreateWithoutCreateSubKeyRight).windows, 5);  // ERROR_ACCESS_DENIED
  EXPECT_EQ(WineDifferenceOf(WineDifference::RenameFolderHoldingAnOpenFile).windows, 5);
  EXPECT_EQ(WineDifferenceOf(WineDifference::WriteToReadOnlyFileAsRoot).windows, 5);
  EXPECT_EQ(WineDifferenceOf(WineDifference::VersionUnknownSizeLastError).windows, 122);  // ERROR_INSUFFICIENT_BUFFER
}

// The Wine runner marks its runs; Wine must be recognised there and nowhere else.
TEST(WineDifferences, WineIsRecognisedExactlyWhereTheRunnerRuns) {
  const char* mark = std::getenv("QZ_WINE_RUN");
  bool underRunner = mark != nullptr && std::string(mark) == "1";
  EXPECT_EQ(UnderWine(), underRunner);
}

// Away from Wine every difference expects what Windows answers. (Under Wine asking would report
// the difference as met by a test that never met it.)
TEST(WineDifferences, AwayFromWineTheWindowsValueIsExpected) {
  if (UnderWine()) GTEST_SKIP() << "under Wine";
  for (const auto& d : WineDifferences()) EXPECT_EQ(Expected(d.what), d.windows) << d.name;
}

}  // namespace
}  // namespace qztest
