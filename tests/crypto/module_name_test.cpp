// The rule for the file names a module definition may hold, which the agent and the publisher
// tool both apply.
#include "crypto/module_name.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(ModuleName, AcceptsPlainAgentFileNames) {
  for (const char16_t* name : {u"qzAgentUtil.dll", u"server.cfg", u"lmvAgent.exe", u"console.dll", u"CONx.dll",
                               u"COM10.dll", u"COM0", u"LPT.dll", u"modules", u"x.logs", u"module.dll", u"x.r",
                               u"x.rr33", u"x.r33a", u"a.b.c", u"name with blanks.dll", u"x..y.dll",
                               u"\uD55C\uAE00.dll"}) {
    SCOPED_TRACE(std::string(name, name + std::char_traits<char16_t>::length(name)).c_str());
    EXPECT_EQ(qz::ModuleNameRefusal(name), "");
  }
  EXPECT_EQ(qz::ModuleNameRefusal(std::u16string(75, u'n') + u".dll"), "");
}

TEST(ModuleName, RefusesWhatTheAgentCannotPlaceOrWouldMistake) {
  const struct {
    std::u16string name;
    std::string_view why;
  } rows[] = {
      {u"", "empty"},
      {std::u16string(76, u'n') + u".dll", "longer than 79 characters"},
      {u"..", "a folder, not a file"},
      {u".", "a folder, not a file"},
      {u"..\\qzUpdater.exe", "holds a separator, wildcard or control character (\\ / : * ? \" < > |)"},
      {u"sub/x.dll", "holds a separator, wildcard or control character (\\ / : * ? \" < > |)"},
      {u"C:x.dll", "holds a separator, wildcard or control character (\\ / : * ? \" < > |)"},
      {u"q*.dll", "holds a separator, wildcard or control character (\\ / : * ? \" < > |)"},
      {u"q?.dll", "holds a separator, wildcard or control character (\\ / : * ? \" < > |)"},
      {u"tab\t.dll", "holds a separator, wildcard or control character (\\ / : * ? \" < > |)"},
      {u".hidden.dll", "begins with '.'"},
      {u".r33", "begins with '.'"},
      {u"module", "the name of a folder of the agent"},
      {u"Module", "the name of a folder of the agent"},
      {u"logs", "the name of a folder of the agent"},
      {u"LOGS", "the name of a folder of the agent"},
      {u"CON", "a Windows device name"},
      {u"con.dll", "a Windows device name"},
      {u"Nul.txt", "a Windows device name"},
      {u"prn", "a Windows device name"},
      {u"aux.a.b", "a Windows device name"},
      {u"CON .txt", "a Windows device name"},
      {u"COM1", "a Windows device name"},
      {u"com9.dll", "a Windows device name"},
      {u"LPT1.sys", "a Windows device name"},
      {u"lpt9", "a Windows device name"},
      {u"x.r330", "ends with .r and digits, as the agent's backups do"},
      {u"qzAgentUtil.dll.R1", "ends with .r and digits, as the agent's backups do"},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(std::string(r.name.begin(), r.name.end()));
    EXPECT_EQ(qz::ModuleNameRefusal(r.name), r.why);
  }
}

// The plain-name part alone still lets the agent's own dot-files and folder names through, for the
// callers that name files the agent makes itself.
TEST(ModuleName, PlainFileNameIsTheSeparatorAndLengthPartAlone) {
  EXPECT_TRUE(qz::IsPlainFileName(u".journal"));
  EXPECT_TRUE(qz::IsPlainFileName(u"CON"));
  EXPECT_TRUE(qz::IsPlainFileName(std::u16string(79, u'n')));
  EXPECT_FALSE(qz::IsPlainFileName(std::u16string(80, u'n')));
  EXPECT_FALSE(qz::IsPlainFileName(u"a|b"));
  EXPECT_FALSE(qz::IsPlainFileName(u".."));
}

}  // namespace
