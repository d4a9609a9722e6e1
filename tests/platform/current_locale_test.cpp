#include "platform/system/current_locale.h"

#include <gtest/gtest.h>

namespace platform {
namespace {

TEST(CurrentLocaleTest, LocaleNamesBecomeIdentifiers) {
  EXPECT_EQ(CurrentLocale::identifierForLocaleName("de_DE.UTF-8"), "de_DE");
  EXPECT_EQ(CurrentLocale::identifierForLocaleName("sr_RS@latin"), "sr_RS");
  EXPECT_EQ(CurrentLocale::identifierForLocaleName("pt-BR"), "pt_BR");
  EXPECT_EQ(CurrentLocale::identifierForLocaleName("fr"), "fr");
  EXPECT_EQ(CurrentLocale::identifierForLocaleName("C.UTF-8"), "en_US_POSIX");
  EXPECT_EQ(CurrentLocale::identifierForLocaleName("POSIX"), "en_US_POSIX");
  EXPECT_EQ(CurrentLocale::identifierForLocaleName(""), "en_US_POSIX");
}

TEST(CurrentLocaleTest, TheFirstSetVariableWins) {
  ::setenv("LC_ALL", "", 1);
  ::setenv("LC_MESSAGES", "nb_NO.UTF-8", 1);
  ::setenv("LANG", "en_GB.UTF-8", 1);
  EXPECT_EQ(CurrentLocale::identifier(), "nb_NO");
  ::setenv("LC_ALL", "it_IT", 1);
  EXPECT_EQ(CurrentLocale::identifier(), "it_IT");
  ::unsetenv("LC_ALL");
  ::unsetenv("LC_MESSAGES");
  ::unsetenv("LANG");
  EXPECT_EQ(CurrentLocale::identifier(), "en_US_POSIX");
}

}  // namespace
}  // namespace platform
