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
using testsupport::ReplyFixture;
using Versions = std::vector<std::pair<std::string, bool>>;

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
  return CITypesFactory::createString("2.0.1", util::UnicodeString_common::kUtf8);
}

CIPtr<CIUInt32Array> ids(std::vector<uint32_t> values) {
  CIPtr<CIUInt32Array> array =
      CITypesFactory::createUInt32Array(static_cast<unsigned>(values.size()));
  for (uint32_t i = 0; i < values.size(); ++i) (*array)[i] = values[i];
  return array;
}

// The version answers that |reply| received, as (text, valid) pairs; "" for an
// empty handle.
Versions versions(RecordingReply* reply) {
  Versions out;
  for (const auto& answer : reply->answers()) {
    if (answer.operation != RecordingReply::VERSION) continue;
    out.emplace_back(answer.version.isNull() ? "" : answer.version->utf8(), answer.valid);
  }
  return out;
}

bool registered(uint32_t instance) {
  return comm::ServiceDirectory::getInstance().isRegistered("svx.imageserver.ImageServer",
                                                            instance);
}

// --- Registration -----------------------------------------------------------

TEST(Registration, RecordsCarryTheIdentityAndASecondRegistrationReportsCode21) {
  TestSkeleton skeleton, other;
  ASSERT_EQ(skeleton.registerSelf(42), 0);
  ASSERT_EQ(other.registerSelf(48), 0);
  const comm::ServiceRegistrationRecord* first = skeleton.registration().record();
  EXPECT_EQ(first->identity().toString(), "8d042df8-ec1b-43d0-a72b-371a030c1d6f");
  EXPECT_EQ(first->serviceName(), "svx.imageserver.ImageServer");
  // One second UUID for the whole process.
  EXPECT_EQ(first->secondary().toString(), "6043b5ea-f526-5902-8f8e-a258f712dd76");
  EXPECT_EQ(other.registration().record()->secondary().toString(),
            "6043b5ea-f526-5902-8f8e-a258f712dd76");

  EXPECT_NE(skeleton.registerSelf(7), 0);
  auto calls = testsupport::errors().calls();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(
      std::make_tuple(calls[0].kind, calls[0].where, calls[0].code, calls[0].text),
      std::make_tuple("error", "comm", 21, "8d042df8-ec1b-43d0-a72b-371a030c1d6f:0x0000002a"));
  EXPECT_EQ(skeleton.registration().record(), first);
  EXPECT_TRUE(registered(42));
  EXPECT_FALSE(registered(7));
}

TEST(Registration, AFailedRegistrationLeavesNothingToUndo) {
  TestSkeleton first, second, starved;
  ASSERT_EQ(first.registerSelf(43), 0);
  EXPECT_NE(second.registerSelf(43), 0);
  EXPECT_NE(std::string(kor::ErrorStorage::reason()).find("registered already"), std::string::npos);
  kor::ErrorStorage::ack();
  // A record that cannot be allocated is a fatal error.
  kor::testing::failAllocations("ServiceRegistration");
  EXPECT_NE(starved.registerSelf(46), 0);
  auto calls = testsupport::errors().calls();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].kind, "fatal");
  EXPECT_EQ(calls[0].text, "can't create ServiceRegistration, OOM ");
  EXPECT_FALSE(registered(46));
  for (TestSkeleton* failed : {&second, &starved}) {
    EXPECT_FALSE(failed->registration().isAlive());
    failed->unregisterSelf();  // nothing to do
  }
  EXPECT_TRUE(first.registration().isAlive());
}

TEST(Registration, UnregisteringTwiceDoesNothingMoreAndDeletionUnregisters) {
  TestSkeleton never;
  never.unregisterSelf();
  auto* skeleton = new TestSkeleton();
  ASSERT_EQ(skeleton->registerSelf(44), 0);
  skeleton->unregisterSelf();
  EXPECT_FALSE(skeleton->registration().isAlive());
  EXPECT_EQ(skeleton->registration().record(), nullptr);
  skeleton->unregisterSelf();
  ASSERT_EQ(skeleton->registerSelf(45), 0);
  delete skeleton;
  EXPECT_FALSE(registered(45));
  TestSkeleton again;  // the pair is free again
  EXPECT_EQ(again.registerSelf(45), 0);
  EXPECT_TRUE(testsupport::errors().calls().empty());
}

TEST(Registration, UnregistrationWaitsForCallsInFlight) {
  auto* skeleton = new TestSkeleton();
  ASSERT_EQ(skeleton->registerSelf(49), 0);
  auto* lease = new comm::ServiceDirectory::Lease();
  ASSERT_TRUE(
      comm::ServiceDirectory::getInstance().acquire("svx.imageserver.ImageServer", 49, lease));
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
      comm::ServiceDirectory::getInstance().acquire("svx.imageserver.ImageServer", 49, &other));
  delete lease;
  stopper.join();
  EXPECT_TRUE(unregistered.load());
  delete skeleton;
}

// --- The version attribute ----------------------------------------------------

TEST(VersionAttribute, SubscribersGetTheValueAtOnceAndEachPublicationOnce) {
  TestSkeleton skeleton;
  comm::AttributeNotificationContainer& stored = skeleton.notificationContainer();
  // Before the first publication the value is empty.
  ReplyFixture early;
  skeleton.setNotification(early.proxy);
  // The published value is a copy of the caller's string.
  CIPtr<CIString> published = version();
  skeleton.updateSVXVersion(published);
  published.reset();
  EXPECT_EQ(versions(early.endpoint), (Versions{{"", false}, {"2.0.1", true}}));
  skeleton.clearNotification(early.proxy);

  const std::pair<std::string, bool> value("2.0.1", true);
  enum Call { kAll, kOne, kList, kNoList };
  struct Case {
    const char* what;
    Call call;
    std::vector<uint32_t> ids;
    size_t answers;  // at once
    size_t stored;
    size_t published;  // answers at a later publication
  } cases[] = {
      {"every attribute", kAll, {}, 1, 1, 1},
      {"one", kOne, {23}, 1, 1, 1},
      {"an unsupported id", kOne, {5}, 0, 1, 0},
      {"a list naming it twice", kList, {23, 23}, 2, 1, 1},
      {"a list with an unsupported id", kList, {23, 5}, 1, 2, 1},
      {"an empty list", kList, {}, 0, 0, 0},
      {"no list", kNoList, {}, 0, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ReplyFixture client;
    const size_t before = stored.count();
    if (c.call == kAll) skeleton.setNotification(client.proxy);
    if (c.call == kOne) skeleton.setNotification(c.ids[0], client.proxy);
    if (c.call != kAll && c.call != kOne)
      skeleton.setNotification(c.call == kList ? ids(c.ids) : CIPtr<CIUInt32Array>(), client.proxy);
    EXPECT_EQ(versions(client.endpoint), Versions(c.answers, value));
    EXPECT_EQ(stored.count(), before + c.stored);
    skeleton.updateSVXVersion(version());
    EXPECT_EQ(versions(client.endpoint), Versions(c.answers + c.published, value));
    skeleton.clearNotification(client.proxy);
    EXPECT_EQ(stored.count(), before);
  }
  EXPECT_EQ(testsupport::traces().count("SVX_IMAGESERVER_IMAGESERVER_ATTR", 4,
                                        "[sendAttributeUpdate] unsupported attribute id 5"),
            2u);
}

TEST(VersionAttribute, EachWayToUnsubscribeRemovesWhatItNames) {
  TestSkeleton skeleton;
  ReplyFixture one, all, listed;
  skeleton.setNotification(23, one.proxy);
  skeleton.setNotification(all.proxy);
  skeleton.setNotification(ids({23, 5}), listed.proxy);
  skeleton.clearNotification(CIPtr<CIUInt32Array>(), listed.proxy);  // nothing
  EXPECT_EQ(skeleton.notificationContainer().count(), 4u);
  skeleton.clearNotification(23, one.proxy);
  skeleton.clearNotification(all.proxy);
  skeleton.clearNotification(ids({23}), listed.proxy);
  EXPECT_EQ(skeleton.notificationContainer().count(), 1u);  // listed's id 5
  skeleton.updateSVXVersion(version());
  for (ReplyFixture* client : {&one, &all, &listed})
    EXPECT_EQ(versions(client->endpoint).size(), 1u);
  // A closed reply interface loses every subscription.
  listed.endpoint->close();
  EXPECT_EQ(skeleton.notificationContainer().count(), 0u);
}

TEST(VersionAttribute, AFailingSubscriberDoesNotStopTheOthers) {
  TestSkeleton skeleton;
  ReplyFixture first, failing, last;
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

  ReplyFixture refused;
  refused.endpoint->failWith("gone");
  skeleton.setNotification(23, refused.proxy);
  EXPECT_EQ(testsupport::traces().count(
                "SVX_IMAGESERVER_IMAGESERVER_ATTR", 4,
                "[sendAttributeUpdate] error calling update method for attribute 23 (reason=gone)"),
            1u);
  EXPECT_FALSE(kor::ErrorStorage::pending());
}

TEST(VersionAttribute, NoConcurrentSubscriberMissesThePublication) {
  constexpr int kThreads = 4;
  constexpr int kPerThread = 50;
  TestSkeleton skeleton;
  std::vector<ReplyFixture> clients(kThreads * kPerThread);
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

  // Either subscribed before the publication (empty, then the value) or
  // after it (the value at once): the value always arrives, whole.
  const Versions before = {{"", false}, {"2.0.1", true}}, after = {{"2.0.1", true}};
  for (auto& client : clients) {
    const Versions got = versions(client.endpoint);
    EXPECT_TRUE(got == before || got == after) << testing::PrintToString(got);
  }
}

}  // namespace
