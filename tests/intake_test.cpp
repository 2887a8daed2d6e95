// Request intake: path access lists, locator validation, the request
// operations and the configuration load.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "imageserver/ImageServer.h"
#include "support/harness.h"
#include "tools/common/image_files.h"

namespace {

using svx::imageserver::RESULT_INVALID_IMAGE;
using svx::imageserver::RESULT_OK;
using testsupport::RecordingReply;

std::vector<std::string> entries(const kor::vector<util::UnicodeString8>& list) {
  std::vector<std::string> out;
  for (const auto& entry : list) out.push_back(entry.utf8());
  return out;
}

CIPtr<CIString> locator(const std::string& text) {
  return CIPtr<CIString>(new CIString(text.data(), text.size()));
}

// A service with no configuration, and a scratch directory of files.
class IntakeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    util::config::Provider::setStoreRoot(m_config.path().c_str());
    m_server = startImageServer(300);
    m_root = osal::Path(m_files.path().c_str()).getCanonicalized().str();
    // Let the worker finish its own configuration load (there is none), so that
    // it cannot race with what a test writes or logs.
    for (int i = 0; i < 1000 && !workerReady(); ++i) usleep(1000);
    ASSERT_TRUE(workerReady());
    testsupport::traces().clear();
  }
  static bool workerReady() {
    for (const auto& m : testsupport::traces().messages())
      if (m.text.rfind("Cannot load image server config", 0) == 0) return true;
    return false;
  }
  void TearDown() override {
    stopImageServer(m_server);
    util::config::Provider::setStoreRoot(nullptr);
  }

  // Writes a small valid BMP named |name| (directories must exist).
  std::string image(const std::string& name) {
    const uint8_t pixels[4 * 4] = {10, 20, 30, 255, 40,  50,  60,  255,
                                   70, 80, 90, 255, 100, 110, 120, 255};
    std::string path = m_root + "/" + name;
    EXPECT_TRUE(imagefiles::writeBmp(path, 2, 2, pixels));
    return path;
  }
  std::string dir(const std::string& name) {
    std::string path = m_root + "/" + name;
    mkdir(path.c_str(), 0755);
    return path;
  }
  bool accepts(const std::string& text) { return m_server->isImagePath(locator(text)); }

  testsupport::TempDir m_config;
  testsupport::TempDir m_files;
  std::string m_root;
  ImageServer* m_server = nullptr;
};

// --- Path access lists --------------------------------------------------------

TEST_F(IntakeTest, AnEntryCoveredByAnEarlierOneIsNotAddedButTheReverseIs) {
  addToWhitelist(m_server, "/a/b");
  addToWhitelist(m_server, "/a/b/c");
  addToWhitelist(m_server, "/a/b");
  EXPECT_EQ(entries(m_server->whitelist()), std::vector<std::string>{"/a/b"});

  addToBlacklist(m_server, "/x/y/z");
  addToBlacklist(m_server, "/x/y");
  EXPECT_EQ(entries(m_server->blacklist()), (std::vector<std::string>{"/x/y/z", "/x/y"}));
}

TEST_F(IntakeTest, MatchingIsABytePrefixTestOnCanonicalForms) {
  addToBlacklist(m_server, "/a//b/./c/../");  // canonical: /a/b
  EXPECT_EQ(entries(m_server->blacklist()), std::vector<std::string>{"/a/b"});
  struct Case {
    const char* path;
    bool listed;
  } cases[] = {
      {"/a/b", true},         // the entry itself
      {"/a/b/x.png", true},   // below it
      {"/a/bc/x.png", true},  // a sibling sharing the prefix: bytes, not components
      {"/a", false},          // above it
      {"/b/a/b", false},      // the entry elsewhere in the path
  };
  for (const Case& c : cases) {
    util::UnicodeString8 path(c.path);
    EXPECT_EQ(m_server->isBlacklisted(path), c.listed) << c.path;
  }
  kor::vector<util::UnicodeString8> empty;
  util::UnicodeString8 any("/a");
  EXPECT_FALSE(ImageServer::isListed(empty, any));
}

TEST_F(IntakeTest, TheListsAreIndependent) {
  addToBlacklist(m_server, "/same");
  addToWhitelist(m_server, "/same");
  addToWhitelist(m_server, "/other");
  EXPECT_EQ(m_server->blacklist().size(), 1u);
  EXPECT_EQ(m_server->whitelist().size(), 2u);
  clearBlacklist(m_server);
  EXPECT_EQ(m_server->blacklist().size(), 0u);
  EXPECT_EQ(m_server->whitelist().size(), 2u);
  addToBlacklist(m_server, "/again");
  clearWhitelist(m_server);
  EXPECT_EQ(entries(m_server->blacklist()), std::vector<std::string>{"/again"});
  EXPECT_EQ(m_server->whitelist().size(), 0u);
}

TEST_F(IntakeTest, AnEntryWithoutACanonicalFormIsNotAdded) {
  addToWhitelist(m_server, "");
  EXPECT_EQ(m_server->whitelist().size(), 0u);
  EXPECT_TRUE(testsupport::errors().calls().empty());
}

TEST_F(IntakeTest, EntriesForDirectoriesThatDoNotExistYetStillMatch) {
  addToWhitelist(m_server, (m_root + "/media/usb/../usb").c_str());
  EXPECT_EQ(entries(m_server->whitelist()), std::vector<std::string>{m_root + "/media/usb"});
  enableFileExtensionCheck(m_server, 1);
  dir("media");
  dir("media/usb");
  std::string raw = m_root + "/media/usb/raw.dat";
  imagefiles::writeFile(raw, "x");
  EXPECT_TRUE(accepts(raw));
}

// --- Locator validation -------------------------------------------------------

TEST_F(IntakeTest, WithTheCheckOffAnyExistingRegularFileIsAccepted) {
  std::string notes = m_root + "/notes.txt";
  imagefiles::writeFile(notes, "text");
  addToBlacklist(m_server, m_root.c_str());
  EXPECT_TRUE(accepts(notes));
  EXPECT_TRUE(accepts("file://" + notes));
  EXPECT_FALSE(accepts(m_root + "/missing.png"));
  EXPECT_FALSE(accepts(dir("dir.png")));
}

TEST_F(IntakeTest, WithTheCheckOnTheListsAndTheExtensionDecide) {
  enableFileExtensionCheck(m_server, 1);
  dir("img");
  struct Case {
    const char* name;
    bool accepted;
  } cases[] = {
      {"img/A.JPG", true}, {"img/b.Jpeg", true},     {"img/c.png", true},  {"img/d.gif", true},
      {"img/e.BMP", true}, {"img/a.jpe", false},     {"img/noext", false}, {"img/a.png.txt", false},
      {"img/.png", false}, {"img/trailing.", false},
  };
  for (const Case& c : cases) {
    std::string path = image(c.name);
    EXPECT_EQ(accepts(path), c.accepted) << c.name;
    EXPECT_EQ(accepts("file://" + path), c.accepted) << "file://" << c.name;
  }

  std::string raw = m_root + "/img/raw.dat";
  imagefiles::writeFile(raw, "raw");
  EXPECT_FALSE(accepts(raw));
  addToWhitelist(m_server, (m_root + "/img").c_str());
  EXPECT_TRUE(accepts(raw));  // whitelisted: the extension is not looked at

  addToBlacklist(m_server, (m_root + "/img/c.png").c_str());
  EXPECT_FALSE(accepts(m_root + "/img/c.png"));  // the blacklist wins
  EXPECT_FALSE(accepts(dir("img/dir.png")));
}

TEST_F(IntakeTest, ValidationJudgesTheCanonicalPathNotTheSpelling) {
  enableFileExtensionCheck(m_server, 1);
  dir("private");
  dir("public");
  std::string secret = image("private/secret.png");
  addToBlacklist(m_server, (m_root + "/private").c_str());
  addToWhitelist(m_server, (m_root + "/public").c_str());

  EXPECT_FALSE(accepts(m_root + "/public/../private/secret.png"));
  EXPECT_FALSE(accepts(m_root + "//private/./secret.png"));
  // A link inside the whitelisted folder that leads into the blacklisted one.
  std::string link = m_root + "/public/link.png";
  ASSERT_EQ(symlink(secret.c_str(), link.c_str()), 0);
  EXPECT_FALSE(accepts(link));
  std::string dirLink = m_root + "/public/door";
  ASSERT_EQ(symlink((m_root + "/private").c_str(), dirLink.c_str()), 0);
  EXPECT_FALSE(accepts(dirLink + "/secret.png"));
}

TEST_F(IntakeTest, LocatorsThatAreNotPlainFilesAreRejectedWithoutBlocking) {
  std::string fifo = m_root + "/pipe.png";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  std::string dangling = m_root + "/dangling.png";
  ASSERT_EQ(symlink((m_root + "/nowhere.png").c_str(), dangling.c_str()), 0);
  const std::string rejected[] = {fifo,
                                  dangling,
                                  "/dev/null",
                                  m_root,
                                  "",
                                  "file://",
                                  "file://file://" + image("twice.png"),
                                  std::string("/tmp/\xff\xfe-not-utf8.png"),
                                  std::string("/tmp/with\0nul.png", 17),
                                  std::string(5000, '/') + "x.png",
                                  std::string(70000, 'a')};
  for (const std::string& text : rejected) {
    EXPECT_FALSE(accepts(text)) << text.substr(0, 80);
    EXPECT_FALSE(kor::ErrorStorage::pending()) << text.substr(0, 80);
  }
}

TEST_F(IntakeTest, NamesWithSpacesAndNonAsciiBytesAreServed) {
  enableFileExtensionCheck(m_server, 1);
  EXPECT_TRUE(accepts(image("with space.png")));
  EXPECT_TRUE(accepts(image("\xc3\xa4pfel \xe2\x82\xac.JPG")));
  EXPECT_TRUE(accepts(image("raw-\xff.gif")));
}

// --- Request operations -------------------------------------------------------

TEST_F(IntakeTest, NullAndEmptyArraysAreLoggedOrIgnoredAndNeverAnswered) {
  testsupport::ReplyFixture client;
  m_server->requestImage(CIPtr<CIPtrArray<CIString>>(), 0, false, client.proxy);
  m_server->requestImageInformation(CIPtr<CIPtrArray<CIString>>(), client.proxy);
  m_server->requestImage(testsupport::locators({}), 0, true, client.proxy);
  m_server->requestImageInformation(testsupport::locators({}), client.proxy);
  EXPECT_TRUE(client.endpoint->answers().empty());
  EXPECT_EQ(testsupport::traces().count("IMS_Interface", 3,
                                        "requestImageFileArrayAsBlob: resourceLocator is NULL"),
            1u);
  EXPECT_EQ(testsupport::traces().count("IMS_Interface", 3,
                                        "requestImageInformation: resourceLocator is NULL"),
            1u);
  EXPECT_EQ(testsupport::traces().messages().size(), 2u);
}

TEST_F(IntakeTest, EveryNonNullLocatorIsAnsweredOnceNamingItsOwnObject) {
  std::string good = image("good.bmp");
  std::string missing = m_root + "/missing.bmp";
  auto request = testsupport::locators({good.c_str(), missing.c_str(), nullptr, good.c_str()});
  testsupport::ReplyFixture client;
  m_server->requestImageInformation(request, client.proxy);
  ASSERT_TRUE(client.endpoint->waitFor(3));

  // Answers may come in any order (the worker can answer the first locator
  // before the second is validated); each names its own locator object.
  auto answers = client.endpoint->answers();
  ASSERT_EQ(answers.size(), 3u);
  auto answerFor = [&](uint32_t index) {
    std::vector<RecordingReply::Answer> found;
    for (const auto& answer : answers)
      if (answer.locator == (*request)[index]) found.push_back(answer);
    return found;
  };
  ASSERT_EQ(answerFor(1).size(), 1u);
  EXPECT_EQ(answerFor(1)[0].result, RESULT_INVALID_IMAGE);
  EXPECT_TRUE(answerFor(1)[0].information.isNull());
  ASSERT_EQ(answerFor(0).size(), 1u);
  ASSERT_EQ(answerFor(3).size(), 1u);
  EXPECT_EQ(answerFor(0)[0].result, RESULT_OK);
  EXPECT_EQ(answerFor(3)[0].result, RESULT_OK);
  for (const auto& answer : answers) EXPECT_EQ(answer.operation, RecordingReply::INFORMATION);

  EXPECT_EQ(testsupport::traces().count("IMS_Interface", 3,
                                        "requestImageInformation: resourceLocator 2 is NULL"),
            1u);
  EXPECT_EQ(testsupport::traces().count("IMS_Interface", 3,
                                        "requestImageInformation: resourceLocator " + missing +
                                            " appears to be no valid image"),
            1u);
}

TEST_F(IntakeTest, ImageRequestsAnswerThroughTheImageReply) {
  std::string missing = m_root + "/missing.png";
  auto request = testsupport::locators({missing.c_str(), nullptr, nullptr});
  testsupport::ReplyFixture client;
  m_server->requestImage(request, 2, true, client.proxy);
  auto answers = client.endpoint->answers();
  ASSERT_EQ(answers.size(), 1u);
  EXPECT_EQ(answers[0].operation, RecordingReply::IMAGE);
  EXPECT_EQ(answers[0].result, RESULT_INVALID_IMAGE);
  EXPECT_TRUE(answers[0].image.isNull());
  EXPECT_EQ(testsupport::traces().count("IMS_Interface", 3,
                                        "requestImageFileArrayAsBlob: filename 2 is NULL"),
            1u);
  EXPECT_EQ(testsupport::traces().count(
                "IMS_Interface", 3,
                "requestImage: resourceLocator " + missing + " appears to be no valid image"),
            1u);
}

TEST_F(IntakeTest, TheScalingArgumentSelectsTheJobsOption) {
  std::string path = image("opt.bmp");
  struct Case {
    int8_t scaling;
    bool decode;
    bool withInformation;  // read jobs attach the information record
  } cases[] = {{0, false, false}, {5, false, true}, {-3, false, true}, {-3, true, true}};
  for (const Case& c : cases) {
    testsupport::ReplyFixture client;
    m_server->requestImage(testsupport::locators({path.c_str()}), c.scaling, c.decode,
                           client.proxy);
    ASSERT_TRUE(client.endpoint->waitFor(1));
    auto answer = client.endpoint->answers()[0];
    ASSERT_EQ(answer.result, RESULT_OK) << int(c.scaling);
    EXPECT_EQ(answer.image->decoded, c.decode);
    EXPECT_EQ(!answer.image->imageInformation.isNull(), c.withInformation) << int(c.scaling);
    if (c.decode) {
      EXPECT_EQ(answer.image->imageInformation->width, 2u);  // -3: no scaling
    }
  }
}

TEST_F(IntakeTest, AJobKeepsTheLocatorAliveAfterTheRequestIsGone) {
  std::string path = image("alive.bmp");
  testsupport::ReplyFixture client;
  CIPtr<CIString> text;
  {
    auto request = testsupport::locators({path.c_str()});
    text = (*request)[0];
    m_server->requestImageInformation(request, client.proxy);
  }
  ASSERT_TRUE(client.endpoint->waitFor(1));
  EXPECT_EQ(client.endpoint->answers()[0].locator, text);
  EXPECT_STREQ(client.endpoint->answers()[0].locator->utf8(), path.c_str());
}

TEST_F(IntakeTest, AJobThatCannotBeAllocatedIsAnsweredOutOfMemory) {
  std::string path = image("oom.bmp");
  testsupport::ReplyFixture client;
  kor::testing::failAllocations("job");
  m_server->requestImage(testsupport::locators({path.c_str()}), 0, false, client.proxy);
  auto answers = client.endpoint->answers();
  ASSERT_EQ(answers.size(), 1u);
  EXPECT_EQ(answers[0].result, svx::imageserver::RESULT_OUT_OF_MEMORY);
}

// --- Configuration ------------------------------------------------------------

class ConfigTest : public IntakeTest {
 protected:
  void writeConfig(const std::string& json) {
    mkdir((m_config.path() + "/imageserver").c_str(), 0755);
    imagefiles::writeFile(m_config.path() + "/imageserver/config.json", json);
  }
  // Runs the load again on the test thread, with routine messages on.
  void load() {
    testsupport::traces().clear();
    tracing::setLevel("IMS_Worker", 1);
    m_server->loadConfig();
  }
  size_t loadedMessages(int white, int black) {
    char text[128];
    snprintf(text, sizeof(text), "config loaded, %d entries in whitelist, %d entries in blacklist",
             white, black);
    return testsupport::traces().count("IMS_Worker", 1, text);
  }
};

TEST_F(ConfigTest, EntriesAreAddedAndCountedWithThoseTheHostAdded) {
  addToBlacklist(m_server, "/host/black");
  writeConfig(R"({"whitelist": ["/srv/a", "", "/srv/b"], "blacklist": ["/srv/a/private"]})");
  load();
  EXPECT_EQ(loadedMessages(2, 2), 1u);
  EXPECT_EQ(entries(m_server->whitelist()), (std::vector<std::string>{"/srv/a", "/srv/b"}));
}

TEST_F(ConfigTest, CoveredEntriesMissingKeysAndOtherValuesAreLeftOut) {
  writeConfig(R"({"whitelist": ["/d", "/d/sub", 7, null, "/e/sub", "/e"], "other": ["/x"]})");
  load();
  EXPECT_EQ(entries(m_server->whitelist()), (std::vector<std::string>{"/d", "/e/sub", "/e"}));
  EXPECT_EQ(loadedMessages(3, 0), 1u);
  writeConfig(R"({"whitelist": "/not-a-list", "blacklist": {"a": "/b"}})");
  clearWhitelist(m_server);
  load();
  EXPECT_EQ(loadedMessages(0, 0), 1u);
}

TEST_F(ConfigTest, AnUnusableConfigurationIsReportedOnceAndTheListsStay) {
  addToWhitelist(m_server, "/kept");
  struct Case {
    const char* what;
    std::string content;
    const char* reasonPart;
  } cases[] = {
      {"not JSON", "whitelist = /a", "parse error at line 1, column"},
      {"cut short", "{\n  \"whitelist\": [\"/a\",\n", "parse error at line 3"},
      {"root not an object", "[\"/a\"]", "the root is not an object"},
      {"too deep", std::string(100, '[') + std::string(100, ']'), "nested deeper than"},
      {"too large", "{\"whitelist\": [\"" + std::string(2 << 20, 'a') + "\"]}", "larger than"},
      // Found by fuzzing: a number out of range was refused by another path
      // of the parser, which leaked the half-built document.
      {"number overflow", "{\"whitelist\": [269e8654\"]", "number overflow"},
  };
  for (const Case& c : cases) {
    writeConfig(c.content);
    load();
    auto messages = testsupport::traces().messages();
    ASSERT_EQ(messages.size(), 1u) << c.what;
    EXPECT_EQ(messages[0].level, 3);
    EXPECT_EQ(messages[0].text.rfind("Cannot load image server config (", 0), 0u) << c.what;
    EXPECT_NE(messages[0].text.find(c.reasonPart), std::string::npos) << messages[0].text;
    EXPECT_NE(messages[0].text.find("), starting with defaults"), std::string::npos);
    EXPECT_FALSE(kor::ErrorStorage::pending());
  }
  EXPECT_EQ(entries(m_server->whitelist()), std::vector<std::string>{"/kept"});
}

TEST_F(ConfigTest, NoConfigurationAtAllNamesTheMissingFile) {
  load();
  auto messages = testsupport::traces().messages();
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_NE(messages[0].text.find("no configuration file " + m_config.path() +
                                  "/imageserver/config.json"),
            std::string::npos)
      << messages[0].text;
}

}  // namespace
