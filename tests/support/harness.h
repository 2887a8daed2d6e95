// The test harness: records every call of the global error handler and every
// trace message, resets injected faults, and fails a test that leaves a file
// descriptor open or raises an unexpected assertion.
#ifndef TESTS_SUPPORT_HARNESS_H_
#define TESTS_SUPPORT_HARNESS_H_

#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "platform/kor.h"
#include "platform/tracing.h"
#include "svx/imageserver/ImageServerProxyReply.h"

namespace testsupport {

// Installs the recorders and the per-test checks. Called once from main().
void installHarness();

// Every call of the global error handler during the current test.
class ErrorRecorder : public kor::GlobalErrorHandler {
 public:
  struct Call {
    std::string kind;   // "assert", "warning", "oom", "abort", "error", "fatal"
    std::string text;   // condition, message or error text
    std::string where;  // function (assert), type (error)
    int32_t code = 0;
  };

  void onAssert(const char* condition, const char* function) override {
    record({"assert", condition, function, 0});
  }
  void onWarning(const char* text) override { record({"warning", text, "", 0}); }
  void onOutOfMem(const char* what) override { record({"oom", what, "", 0}); }
  void onAbort(const char* text) override { record({"abort", text, "", 0}); }
  void onError(const char* type, int32_t code, const char* text) override {
    record({"error", text, type, code});
  }
  void onFatal(const char* text, const char* file, int) override {
    record({"fatal", text, file, 0});
  }

  std::vector<Call> calls();
  size_t count(const std::string& kind);
  void clear();
  // Lets the current test raise assertions and aborts without failing.
  void expectFailures() { m_expected = true; }
  bool expected() const { return m_expected; }

 private:
  void record(Call call);
  std::mutex m_mutex;
  std::vector<Call> m_calls;
  bool m_expected = false;
};
ErrorRecorder& errors();

// Every trace message that passed its channel's level during the test.
class TraceCapture : public tracing::Sink {
 public:
  struct Message {
    std::string channel;
    int16_t level;
    std::string text;
  };
  void write(const tracing::Channel& channel, int16_t level, const char* text) override;
  std::vector<Message> messages();
  // Number of messages on |channel| at |level| whose text equals |text|.
  size_t count(const std::string& channel, int16_t level, const std::string& text);
  // Number of messages on |channel| at |level| whose text contains |part|.
  size_t countContaining(const std::string& channel, int16_t level, const std::string& part);
  void clear();

 private:
  std::mutex m_mutex;
  std::vector<Message> m_messages;
};
TraceCapture& traces();

// Number of open file descriptors of this process, and of its threads
// called |name| (a sanitizer's own threads do not count).
int openFdCount();
size_t threadCount(const char* name);

// True once the worker of a service started in this process has tried its
// configuration load (it logs the outcome), so that it cannot race with what
// a test writes or logs.
bool workerReady();

// A reply endpoint that records every answer, for driving the service
// in-process. Thread-safe.
class RecordingReply : public svx::imageserver::ImageServerReplyEndpoint {
 public:
  enum Operation { IMAGE = 0, INFORMATION = 1, VERSION = 2 };
  struct Answer {
    Operation operation;
    CIPtr<CIString> locator;
    CIPtr<svx::imageserver::Image> image;
    CIPtr<svx::imageserver::ImageInformation> information;
    svx::imageserver::Result result = svx::imageserver::RESULT_OK;
    CIPtr<CIString> version;
    bool valid = false;
  };

  int requestImageResult(const CIPtr<CIString>& locator,
                         const CIPtr<svx::imageserver::Image>& image,
                         svx::imageserver::Result result) override {
    return record({IMAGE, locator, image, {}, result, {}, false});
  }
  int requestImageInformationResult(const CIPtr<CIString>& locator,
                                    const CIPtr<svx::imageserver::ImageInformation>& information,
                                    svx::imageserver::Result result) override {
    return record({INFORMATION, locator, {}, information, result, {}, false});
  }
  int updateSVXVersion(const CIPtr<CIString>& version, bool valid) override {
    return record({VERSION, {}, {}, {}, svx::imageserver::RESULT_OK, version, valid});
  }

  // Makes every later call fail with |reason| (or succeed again with null).
  void failWith(const char* reason);
  std::vector<Answer> answers();
  // Waits up to |seconds| until at least |count| answers arrived.
  bool waitFor(size_t count, double seconds = 10.0);

 private:
  int record(Answer answer);
  std::mutex m_mutex;
  std::condition_variable m_arrived;
  std::vector<Answer> m_answers;
  std::string m_failure;
};

// A heap-allocated RecordingReply with a proxy designating it; the proxy keeps
// the endpoint alive.
struct ReplyFixture {
  ReplyFixture() : endpoint(new RecordingReply()), proxy(endpoint) {}
  RecordingReply* endpoint;
  svx::imageserver::ImageServerProxyReply proxy;
};

// A temporary directory, removed with its contents on destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  const std::string& path() const { return m_path; }
  // |path()|/|name|.
  std::string file(const std::string& name) const { return m_path + "/" + name; }
  // Writes |bytes| to |name| and returns its path.
  std::string write(const std::string& name, const std::string& bytes) const;

 private:
  std::string m_path;
};

// A request array of the given locators; a null entry stays empty.
CIPtr<CIPtrArray<CIString>> locators(const std::vector<const char*>& texts);

}  // namespace testsupport

#endif  // TESTS_SUPPORT_HARNESS_H_
