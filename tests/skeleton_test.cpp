// The service skeleton: registration and the interface-version attribute.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "support/harness.h"
#include "svx/imageserver/ImageServerS.h"

namespace {

using svx::imageserver::ImageServerProxyReply;
using testsupport::RecordingReply;

// A skeleton with the two request slots stubbed out, so that publication can
// be driven by the test instead of a worker thread.
class TestSkeleton : public svx::imageserver::ImageServerSkeleton {
 public:
  void requestImage(const CIPtr<CIPtrArray<CIString>>&, int8_t, bool,
                    ImageServerProxyReply&) override {}
  void requestImageInformation(const CIPtr<CIPtrArray<CIString>>&,
                               ImageServerProxyReply&) override {}
};

CIPtr<CIString> version() {
  return CITypesFactory::createString("2.0.1", util::UnicodeString_common::UTF8);
}

CIPtr<CIUInt32Array> ids(std::vector<uint32_t> values) {
  CIPtr<CIUInt32Array> array =
      CITypesFactory::createUInt32Array(static_cast<unsigned>(values.size()));
  for (uint32_t i = 0; i < values.size(); ++i) (*array)[i] = values[i];
  return array;
}

// The version answers that |reply| received, as (text, valid) pairs; "" for an
// empty handle.
std::vector<std::pair<std::string, bool>> versions(RecordingReply* reply) {
  std::vector<std::pair<std::string, bool>> out;
  for (const auto& answer : reply->answers()) {
    if (answer.operation != RecordingReply::VERSION) continue;
    out.emplace_back(answer.version.isNull() ? "" : answer.version->utf8(), answer.valid);
  }
  return out;
}

using Versions = std::vector<std::pair<std::string, bool>>;

// --- Registration -----------------------------------------------------------

TEST(Registration, ASecondRegistrationReportsCode21AndKeepsTheFirst) {
  TestSkeleton skeleton;
  ASSERT_EQ(skeleton.registerSelf(42), 0);
  comm::ServiceRegistrationRecord* first = skeleton.registration().record();

  EXPECT_NE(skeleton.registerSelf(7), 0);
  auto calls = testsupport::errors().calls();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].kind, "error");
  EXPECT_EQ(calls[0].where, "comm");
  EXPECT_EQ(calls[0].code, 21);
  EXPECT_EQ(calls[0].text, "8d042df8-ec1b-43d0-a72b-371a030c1d6f:0x0000002a");
  EXPECT_EQ(skeleton.registration().record(), first);
  EXPECT_TRUE(comm::ServiceDirectory::instance().isRegistered("svx.imageserver.ImageServer", 42));
  EXPECT_FALSE(comm::ServiceDirectory::instance().isRegistered("svx.imageserver.ImageServer", 7));
  skeleton.unregisterSelf();
}

TEST(Registration, TheDirectoryRefusesASecondObjectWithTheSameNameAndInstance) {
  TestSkeleton first;
  TestSkeleton second;
  ASSERT_EQ(first.registerSelf(43), 0);
  EXPECT_NE(second.registerSelf(43), 0);
  EXPECT_NE(std::string(kor::ErrorStorage::reason()).find("registered already"), std::string::npos);
  kor::ErrorStorage::ack();
  EXPECT_FALSE(second.registration().isAlive());
  second.unregisterSelf();  // a failed registration: nothing to do
  EXPECT_TRUE(first.registration().isAlive());
  EXPECT_EQ(testsupport::errors().count("assert"), 0u);
  first.unregisterSelf();
}

TEST(Registration, UnregisteringWhatIsNotRegisteredDoesNothing) {
  TestSkeleton never;
  never.unregisterSelf();
  TestSkeleton twice;
  ASSERT_EQ(twice.registerSelf(44), 0);
  twice.unregisterSelf();
  EXPECT_FALSE(twice.registration().isAlive());
  EXPECT_EQ(twice.registration().record(), nullptr);
  twice.unregisterSelf();
  EXPECT_TRUE(testsupport::errors().calls().empty());
}

TEST(Registration, DeletingARegisteredObjectUnregistersIt) {
  auto* skeleton = new TestSkeleton();
  ASSERT_EQ(skeleton->registerSelf(45), 0);
  delete skeleton;
  EXPECT_FALSE(comm::ServiceDirectory::instance().isRegistered("svx.imageserver.ImageServer", 45));
  TestSkeleton again;  // the pair is free again
  EXPECT_EQ(again.registerSelf(45), 0);
}

TEST(Registration, ARecordThatCannotBeAllocatedIsAFatalErrorAndRegistersNothing) {
  TestSkeleton skeleton;
  kor::testing::failAllocations("ServiceRegistration");
  EXPECT_NE(skeleton.registerSelf(46), 0);
  auto calls = testsupport::errors().calls();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].kind, "fatal");
  EXPECT_EQ(calls[0].text, "can't create ServiceRegistration, OOM ");
  EXPECT_FALSE(comm::ServiceDirectory::instance().isRegistered("svx.imageserver.ImageServer", 46));
  skeleton.unregisterSelf();
}

TEST(Registration, RecordsCarryTheIdentityAndOneProcessWideSecondUuid) {
  TestSkeleton a;
  TestSkeleton b;
  ASSERT_EQ(a.registerSelf(47), 0);
  ASSERT_EQ(b.registerSelf(48), 0);
  EXPECT_EQ(a.registration().record()->identity().toString(),
            "8d042df8-ec1b-43d0-a72b-371a030c1d6f");
  EXPECT_EQ(a.registration().record()->secondary().toString(),
            "6043b5ea-f526-5902-8f8e-a258f712dd76");
  EXPECT_EQ(b.registration().record()->secondary().toString(),
            "6043b5ea-f526-5902-8f8e-a258f712dd76");
  EXPECT_EQ(a.registration().record()->serviceName(), "svx.imageserver.ImageServer");
}

TEST(Registration, UnregistrationWaitsForCallsInFlight) {
  auto* skeleton = new TestSkeleton();
  ASSERT_EQ(skeleton->registerSelf(49), 0);
  auto* lease = new comm::ServiceDirectory::Lease();
  ASSERT_TRUE(comm::ServiceDirectory::instance().acquire("svx.imageserver.ImageServer", 49, lease));
  std::atomic<bool> unregistered{false};
  std::thread stopper([&] {
    skeleton->unregisterSelf();
    unregistered = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  EXPECT_FALSE(unregistered.load());
  // No new call reaches the object once unregistration has begun.
  comm::ServiceDirectory::Lease other;
  EXPECT_FALSE(
      comm::ServiceDirectory::instance().acquire("svx.imageserver.ImageServer", 49, &other));
  delete lease;
  stopper.join();
  EXPECT_TRUE(unregistered.load());
  delete skeleton;
}

// --- The version attribute ----------------------------------------------------

TEST(VersionAttribute, AnEarlySubscriberGetsEmptyThenThePublishedValue) {
  TestSkeleton skeleton;
  testsupport::ReplyFixture client;
  skeleton.setNotification(client.proxy);
  skeleton.updateSVXVersion(version());
  EXPECT_EQ(versions(client.endpoint), (Versions{{"", false}, {"2.0.1", true}}));

  testsupport::ReplyFixture late;
  skeleton.setNotification(23, late.proxy);
  EXPECT_EQ(versions(late.endpoint), (Versions{{"2.0.1", true}}));
}

TEST(VersionAttribute, ThePublishedValueIsACopyOfTheCallersString) {
  TestSkeleton skeleton;
  CIPtr<CIString> published = version();
  skeleton.updateSVXVersion(published);
  published.reset();
  testsupport::ReplyFixture client;
  skeleton.setNotification(client.proxy);
  auto answers = client.endpoint->answers();
  ASSERT_EQ(answers.size(), 1u);
  EXPECT_STREQ(answers[0].version->utf8(), "2.0.1");
}

TEST(VersionAttribute, AListNamingTheAttributeTwiceAnswersTwice) {
  TestSkeleton skeleton;
  skeleton.updateSVXVersion(version());
  testsupport::ReplyFixture client;
  skeleton.setNotification(ids({23, 23}), client.proxy);
  EXPECT_EQ(versions(client.endpoint), (Versions{{"2.0.1", true}, {"2.0.1", true}}));
  // Stored once: a publication notifies the client once.
  skeleton.updateSVXVersion(version());
  EXPECT_EQ(versions(client.endpoint).size(), 3u);
}

TEST(VersionAttribute, AnUnsupportedIdIsLoggedRecordedAndNeverAnswered) {
  TestSkeleton skeleton;
  testsupport::ReplyFixture client;
  skeleton.setNotification(5, client.proxy);
  EXPECT_TRUE(client.endpoint->answers().empty());
  EXPECT_EQ(testsupport::traces().count("SVX_IMAGESERVER_IMAGESERVER_ATTR", 4,
                                        "[sendAttributeUpdate] unsupported attribute id 5"),
            1u);
  EXPECT_EQ(skeleton.notificationContainer().count(), 1u);
  skeleton.updateSVXVersion(version());
  EXPECT_TRUE(client.endpoint->answers().empty());
}

TEST(VersionAttribute, EmptyOrMissingIdListsDoNothing) {
  TestSkeleton skeleton;
  testsupport::ReplyFixture client;
  skeleton.setNotification(CIPtr<CIUInt32Array>(), client.proxy);
  skeleton.setNotification(ids({}), client.proxy);
  skeleton.clearNotification(CIPtr<CIUInt32Array>(), client.proxy);
  EXPECT_TRUE(client.endpoint->answers().empty());
  EXPECT_EQ(skeleton.notificationContainer().count(), 0u);
}

TEST(VersionAttribute, UnsubscribingStopsTheUpdates) {
  TestSkeleton skeleton;
  testsupport::ReplyFixture one, all, listed;
  skeleton.setNotification(23, one.proxy);
  skeleton.setNotification(all.proxy);
  skeleton.setNotification(ids({23, 5}), listed.proxy);
  skeleton.clearNotification(23, one.proxy);
  skeleton.clearNotification(all.proxy);
  skeleton.clearNotification(ids({23}), listed.proxy);
  EXPECT_EQ(skeleton.notificationContainer().count(), 1u);  // listed's id 5
  skeleton.updateSVXVersion(version());
  EXPECT_EQ(versions(one.endpoint).size(), 1u);
  EXPECT_EQ(versions(all.endpoint).size(), 1u);
  EXPECT_EQ(versions(listed.endpoint).size(), 1u);
}

TEST(VersionAttribute, AFailingSubscriberDoesNotStopTheOthers) {
  TestSkeleton skeleton;
  testsupport::ReplyFixture first, failing, last;
  skeleton.setNotification(first.proxy);
  skeleton.setNotification(failing.proxy);
  skeleton.setNotification(last.proxy);
  failing.endpoint->failWith("connection reset");
  skeleton.updateSVXVersion(version());
  EXPECT_EQ(versions(first.endpoint).back(), std::make_pair(std::string("2.0.1"), true));
  EXPECT_EQ(versions(last.endpoint).back(), std::make_pair(std::string("2.0.1"), true));
  EXPECT_EQ(testsupport::traces().count(
                "SVX_IMAGESERVER_IMAGESERVER_ATTR", 4,
                "[updateSVXVersion] error calling updateSVXVersion() (reason=connection reset)"),
            1u);
  EXPECT_FALSE(kor::ErrorStorage::pending());
  EXPECT_EQ(skeleton.notificationContainer().count(), 3u);  // the subscription stays

  testsupport::ReplyFixture refused;
  refused.endpoint->failWith("gone");
  skeleton.setNotification(23, refused.proxy);
  EXPECT_EQ(testsupport::traces().count(
                "SVX_IMAGESERVER_IMAGESERVER_ATTR", 4,
                "[sendAttributeUpdate] error calling update method for attribute 23 (reason=gone)"),
            1u);
  EXPECT_FALSE(kor::ErrorStorage::pending());
}

TEST(VersionAttribute, AClosedReplyInterfaceLosesItsSubscriptions) {
  TestSkeleton skeleton;
  testsupport::ReplyFixture stays, leaves;
  skeleton.setNotification(stays.proxy);
  skeleton.setNotification(ids({23, 5}), leaves.proxy);
  EXPECT_EQ(skeleton.notificationContainer().count(), 3u);
  leaves.endpoint->close();
  EXPECT_EQ(skeleton.notificationContainer().count(), 1u);
}

TEST(VersionAttribute, NoConcurrentSubscriberMissesThePublication) {
  constexpr int kThreads = 4;
  constexpr int kPerThread = 50;
  TestSkeleton skeleton;
  std::vector<testsupport::ReplyFixture> clients(kThreads * kPerThread);
  std::atomic<bool> go{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      while (!go.load()) std::this_thread::yield();
      for (int i = 0; i < kPerThread; ++i)
        skeleton.setNotification(clients[t * kPerThread + i].proxy);
    });
  }
  go = true;
  skeleton.updateSVXVersion(version());
  for (auto& thread : threads) thread.join();

  for (auto& client : clients) {
    Versions got = versions(client.endpoint);
    // Either subscribed before the publication (empty, then the value) or
    // after it (the value at once): the value always arrives, whole.
    ASSERT_FALSE(got.empty());
    EXPECT_EQ(got.back(), std::make_pair(std::string("2.0.1"), true));
    if (got.size() == 2) {
      EXPECT_EQ(got.front(), std::make_pair(std::string(""), false));
    }
    EXPECT_LE(got.size(), 2u);
  }
}

}  // namespace
