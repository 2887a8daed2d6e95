#include "support/harness.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "platform/lumo/sandbox.h"
#include "platform/transport.h"
#include "platform/transport/segment.h"

namespace testsupport {

// ---------------------------------------------------------------------------
// The recorders.

void ErrorRecorder::record(Call call) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_calls.push_back(std::move(call));
}

std::vector<ErrorRecorder::Call> ErrorRecorder::calls() {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_calls;
}

size_t ErrorRecorder::count(const std::string& kind) {
  size_t n = 0;
  for (const Call& call : calls()) n += call.kind == kind;
  return n;
}

void ErrorRecorder::clear() {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_calls.clear();
  m_expected = false;
}

ErrorRecorder& errors() {
  static ErrorRecorder* recorder = new ErrorRecorder();
  return *recorder;
}

void TraceCapture::write(const tracing::Channel& channel, int16_t level, const char* text) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_messages.push_back({channel.name(), level, text});
}

std::vector<TraceCapture::Message> TraceCapture::messages() {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_messages;
}

size_t TraceCapture::count(const std::string& channel, int16_t level, const std::string& text) {
  size_t n = 0;
  for (const Message& m : messages())
    n += m.channel == channel && m.level == level && m.text == text;
  return n;
}

size_t TraceCapture::countContaining(const std::string& channel, int16_t level,
                                     const std::string& part) {
  size_t n = 0;
  for (const Message& m : messages())
    n += m.channel == channel && m.level == level && m.text.find(part) != std::string::npos;
  return n;
}

void TraceCapture::clear() {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_messages.clear();
}

TraceCapture& traces() {
  static TraceCapture* capture = new TraceCapture();
  return *capture;
}

// ---------------------------------------------------------------------------
// The process.

int openFdCount() {
  // The descriptors of decoder processes' channels come and go with spares:
  // once none is starting, they are counted apart.
  const int decoders =
      lumo::internal::decodersRunning() ? int(lumo::internal::settleDecoders(2000)) : 0;
  std::error_code error;
  int count = 0;
  for (auto it = std::filesystem::directory_iterator("/proc/self/fd", error);
       it != std::filesystem::directory_iterator(); it.increment(error))
    ++count;
  return error ? -1 : count - 1 - decoders;
}

size_t threadCount(const char* name) {
  size_t count = 0;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/task", error)) {
    std::ifstream comm(entry.path() / "comm");
    std::string text;
    count += std::getline(comm, text) && text == name;
  }
  return count;
}

bool workerReady() {
  for (const auto& m : traces().messages())
    if (m.text.rfind("Cannot load image server config", 0) == 0) return true;
  return false;
}

// ---------------------------------------------------------------------------
// RecordingReply.

int RecordingReply::record(Answer answer) {
  std::lock_guard<std::mutex> lock(m_mutex);
  if (!m_failure.empty()) {
    kor::ErrorStorage::set("%s", m_failure.c_str());
    return -1;
  }
  m_answers.push_back(std::move(answer));
  m_arrived.notify_all();
  return 0;
}

void RecordingReply::failWith(const char* reason) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_failure = reason != nullptr ? reason : "";
}

std::vector<RecordingReply::Answer> RecordingReply::answers() {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_answers;
}

bool RecordingReply::waitFor(size_t count, double seconds) {
  std::unique_lock<std::mutex> lock(m_mutex);
  return m_arrived.wait_for(lock, std::chrono::duration<double>(seconds),
                            [&] { return m_answers.size() >= count; });
}

// ---------------------------------------------------------------------------
// Files and requests.

TempDir::TempDir() {
  char pattern[] = "/tmp/imageserver-test-XXXXXX";
  const char* made = mkdtemp(pattern);
  m_path = made != nullptr ? made : "";
}

TempDir::~TempDir() {
  std::error_code ignored;
  if (!m_path.empty()) std::filesystem::remove_all(m_path, ignored);
}

std::string TempDir::write(const std::string& name, const std::string& bytes) const {
  std::string path = file(name);
  std::ofstream(path, std::ios::binary).write(bytes.data(), std::streamsize(bytes.size()));
  return path;
}

CIPtr<CIPtrArray<CIString>> locators(const std::vector<const char*>& texts) {
  CIPtr<CIPtrArray<CIString>> array =
      CITypesFactory::createStringArray(static_cast<unsigned>(texts.size()));
  for (uint32_t i = 0; i < texts.size(); ++i) {
    if (texts[i] != nullptr)
      (*array)[i] = CITypesFactory::createString(texts[i], util::UnicodeString_common::kUtf8);
  }
  return array;
}

// ---------------------------------------------------------------------------
// Per-test checks.

namespace {

class HarnessListener : public ::testing::EmptyTestEventListener {
 public:
  void OnTestStart(const ::testing::TestInfo&) override {
    errors().clear();
    // Every test starts with the default repeat limit and no format counted
    // yet; what the last one left suppressed is reported and cleared here.
    tracing::setRepeatClock(nullptr);
    tracing::setRepeatLimit(tracing::kRepeatLines, tracing::kRepeatBytes);
    traces().clear();
    kor::testing::resetAllocationFailures();
    kor::ErrorStorage::ack();
    tracing::setAllLevels(2);
    m_fds = openFdCount();
  }

  void OnTestEnd(const ::testing::TestInfo& info) override {
    kor::testing::resetAllocationFailures();
    if (int fds = openFdCount(); fds != m_fds)
      ADD_FAILURE() << info.name() << " left " << (fds - m_fds) << " file descriptors open";
    if (!errors().expected() && errors().count("assert") + errors().count("abort") > 0) {
      for (const auto& call : errors().calls())
        ADD_FAILURE() << "unexpected " << call.kind << ": " << call.text << " in " << call.where;
    }
    if (kor::ErrorStorage::pending())
      ADD_FAILURE() << "error left pending on the test thread: " << kor::ErrorStorage::reason();
  }

 private:
  int m_fds = 0;
};

// A runtime folder of this test process's own, removed when it exits: every
// service a test registers listens there, so that test processes running at
// once (and a service of the machine) never meet.
// A test program started by a test inherits its parent's folder.
std::string g_runtimeRoot;
pid_t g_runtimeOwner = 0;

void makePrivateRuntimeFolder() {
  const char* inherited = std::getenv("XDG_RUNTIME_DIR");
  if (inherited != nullptr && std::strstr(inherited, "/imageserver-test-run-") != nullptr) return;
  char pattern[] = "/tmp/imageserver-test-run-XXXXXX";
  if (mkdtemp(pattern) == nullptr) return;
  g_runtimeRoot = pattern;
  g_runtimeOwner = getpid();
  setenv("XDG_RUNTIME_DIR", pattern, 1);
  std::atexit([] {
    if (getpid() != g_runtimeOwner) return;  // a forked child leaves it alone
    std::error_code ignored;
    std::filesystem::remove_all(g_runtimeRoot, ignored);
  });
}

}  // namespace

void installHarness() {
  makePrivateRuntimeFolder();
  kor::GlobalErrorHandler::install(&errors());
  // Segments made ahead of need would stay open from one test into the next
  // and blur the descriptor count; the reserve's own test turns it on.
  comm::SegmentReserve::getInstance().setLimit(0);
  // The transport's event loop descriptors are made once, at the first
  // registration, and kept; made here, they are not counted against a test.
  comm::Transport::getInstance().activate();
  tracing::setSink(&traces());
  ::testing::UnitTest::GetInstance()->listeners().Append(new HarnessListener());
}

}  // namespace testsupport
