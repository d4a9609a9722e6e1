#include "client/core/move_to_applications.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "platform/foundation/format.h"
#include "platform/system/file_util.h"
#include "platform/system/paths.h"
#include "platform/system/user_defaults.h"
#include "support/temp_root.h"

namespace {

class RecordingUI : public client::MoveToApplicationsUI {
 public:
  Answer askToMove(const std::string& message, const std::string& informative) override {
    messages.push_back(message);
    informatives.push_back(informative);
    return answer;
  }
  void showError(const std::string& message) override { errors.push_back(message); }
  Answer answer;
  std::vector<std::string> messages, informatives, errors;
};

class MoveToApplicationsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::UserDefaults::resetStandardUserDefaults();
    downloads_ = root_.home() + "/Downloads";
    bundle_ = downloads_ + "/Varnel's VPN.app";
    platform::paths::createDirectories(bundle_);
    ASSERT_TRUE(platform::files::writeFileAtomically(bundle_ + "/VarnelVPN", "#!/bin/sh\n", 0755));
    // The user's Applications folder holds an application, so it is the destination.
    platform::paths::createDirectories(platform::paths::applications() + "/Other.app");
    options_.bundlePath = bundle_;
    options_.executableName = "VarnelVPN";
    options_.exitProcess = [this](int status) { exits_.push_back(status); };
    options_.runInBackground = [this](const std::string& command) {
      commands_.push_back(command);
      return true;
    };
  }
  void TearDown() override { platform::UserDefaults::resetStandardUserDefaults(); }
  bool exists(const std::string& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0;
  }

  varnel::testing::TempRoot root_;
  std::string downloads_, bundle_;
  client::MoveToApplicationsOptions options_;
  std::vector<int> exits_;
  std::vector<std::string> commands_;
  RecordingUI ui_;
};

TEST_F(MoveToApplicationsTest, NothingIsOfferedInsideAnApplicationsFolderOrWhenSuppressed) {
  options_.bundlePath = platform::paths::applications() + "/Other.app";
  client::offerMoveToApplicationsFolder(&ui_, options_);
  options_.bundlePath = root_.home() + "/x/Applications/y/Varnel.app";
  client::offerMoveToApplicationsFolder(&ui_, options_);
  EXPECT_TRUE(ui_.messages.empty());

  options_.bundlePath = bundle_;
  ui_.answer = {false, true};  // declined with the box ticked
  client::offerMoveToApplicationsFolder(&ui_, options_);
  ASSERT_EQ(ui_.messages.size(), 1u);
  EXPECT_TRUE(platform::UserDefaults::standardUserDefaults()->boolForKey(
      client::kMoveToApplicationsSuppressKey));
  client::offerMoveToApplicationsFolder(&ui_, options_);
  EXPECT_EQ(ui_.messages.size(), 1u);
  EXPECT_TRUE(exits_.empty());
  EXPECT_TRUE(exists(bundle_));
}

TEST_F(MoveToApplicationsTest, DecliningWithoutTheBoxAsksAgainNextTime) {
  ui_.answer = {false, false};
  client::offerMoveToApplicationsFolder(&ui_, options_);
  client::offerMoveToApplicationsFolder(&ui_, options_);
  ASSERT_EQ(ui_.messages.size(), 2u);
  EXPECT_EQ(ui_.messages[0], "Move to Applications folder in your Home folder?");
  if (::geteuid() != 0) {
    EXPECT_EQ(ui_.informatives[0],
              "I can move myself to the Applications folder if you'd like. This will keep your "
              "Downloads folder uncluttered.");
  }
}

TEST_F(MoveToApplicationsTest, MoveCopiesRemovesTheOldFolderRelaunchesAndExits) {
  const std::string destination = platform::paths::applications() + "/Varnel's VPN.app";
  // An old copy at the destination goes to the Trash.
  platform::paths::createDirectories(destination);
  ASSERT_TRUE(platform::files::writeFileAtomically(destination + "/old", "old", 0644));
  ui_.answer = {true, false};
  client::offerMoveToApplicationsFolder(&ui_, options_);
  EXPECT_TRUE(ui_.errors.empty());
  ASSERT_EQ(exits_, std::vector<int>{0});
  EXPECT_TRUE(exists(destination + "/VarnelVPN"));
  EXPECT_FALSE(exists(destination + "/old"));
  EXPECT_FALSE(exists(bundle_));
  EXPECT_TRUE(exists(platform::paths::applicationSupport() + "/Trash/files/Varnel's VPN.app/old"));
  ASSERT_EQ(commands_.size(), 1u);
  const std::string quoted =
      "'" + platform::paths::applications() + "/Varnel'\\''s VPN.app/VarnelVPN'";
  EXPECT_EQ(commands_[0],
            platform::format("(while /bin/kill -0 %d >/dev/null 2>&1; do /bin/sleep 0.1; done; "
                             "%@ >/dev/null 2>&1) &",
                             static_cast<int>(::getpid()), quoted));
}

TEST(MoveToApplicationsRulesTest, QuotingTrashAndDiskImages) {
  EXPECT_EQ(client::shellQuotedString("a'b"), "'a'\\''b'");
  EXPECT_EQ(client::shellQuotedString(""), "''");
  varnel::testing::TempRoot root;
  const std::string file = root.home() + "/note";
  ASSERT_TRUE(platform::files::writeFileAtomically(file, "x", 0644));
  ASSERT_TRUE(client::moveItemToTrash(file));
  ASSERT_TRUE(platform::files::writeFileAtomically(file, "y", 0644));
  ASSERT_TRUE(client::moveItemToTrash(file));
  const std::string trash = platform::paths::applicationSupport() + "/Trash";
  EXPECT_EQ(platform::files::readFile(trash + "/files/note"), "x");
  EXPECT_EQ(platform::files::readFile(trash + "/files/note.1"), "y");
  auto info = platform::files::readFile(trash + "/info/note.trashinfo");
  ASSERT_TRUE(info);
  EXPECT_NE(info->find("Path=" + file), std::string::npos);
  EXPECT_FALSE(client::moveItemToTrash(root.home() + "/missing"));
  // The temporary folder is not on a loop device.
  EXPECT_EQ(client::diskImageDeviceForPath(root.home()), "");
}

}  // namespace

// The installed client's folder has no ".app" suffix on this system: its own
// name must still qualify for the administrator's move, or a user whose
// applications folder needs rights could never move it.
TEST(MoveToApplicationsNames, TheInstallationsOwnNameQualifiesForTheAuthorizedMove) {
  EXPECT_TRUE(client::isApplicationFolderName("VarnelVPN Client"));
  EXPECT_TRUE(client::isApplicationFolderName("Varnel's VPN.app"));
  EXPECT_FALSE(client::isApplicationFolderName(".app"));
  EXPECT_FALSE(client::isApplicationFolderName("VarnelVPN Client (1)"));
  EXPECT_FALSE(client::isApplicationFolderName("Documents"));
  EXPECT_FALSE(client::isApplicationFolderName(""));
}
