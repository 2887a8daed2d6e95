// The image service object: one per start call, with its own job queue and
// worker thread.
#ifndef IMAGESERVER_IMAGESERVER_H_
#define IMAGESERVER_IMAGESERVER_H_

#include <atomic>
#include <cstdint>

#include "imageserver/ImageServerControl.h"
#include "platform/comm.h"
#include "platform/kor.h"
#include "platform/lumo.h"
#include "platform/osal.h"
#include "platform/util.h"
#include "svx/imageserver/ImageServerS.h"

class ImageServer : public svx::imageserver::ImageServerSkeleton, public osal::Thread {
 public:
  class Job;
  class FileReadJob;
  class FileDecodeJob;
  class FileInfoJob;

  // Builds the skeleton, the members and starts the worker thread.
  ImageServer();
  // Stops and joins the worker: the job in hand runs to its end and answers
  // its client; queued jobs are destroyed unexecuted and unanswered.
  ~ImageServer() override;

  // --- Request operations (IPC dispatch threads) ---------------------------
  void requestImage(const CIPtr<CIPtrArray<CIString>>& resourceLocator, int8_t scaling, bool decode,
                    svx::imageserver::ImageServerProxyReply& reply) override;
  void requestImageInformation(const CIPtr<CIPtrArray<CIString>>& resourceLocator,
                               svx::imageserver::ImageServerProxyReply& reply) override;

  // --- Job queue and worker ------------------------------------------------
  // Thread entry: runs processImages() on the ImageServer |arg|.
  static void loopFunc(void* arg);
  // The worker's body. Called only on the worker thread.
  void processImages();
  // Appends |job| (null allowed: a wake-up entry) and takes ownership of it.
  // A job whose queue entry cannot be allocated is reported to the assertion
  // handler and destroyed unexecuted. Thread-safe; never blocks longer than
  // taking m_mutex.
  void enqueueJob(Job* job);
  // Number of queued entries. Thread-safe.
  uint32_t getNumPendingRequests();
  // Before |job| runs: when it and the jobs queued after it (|next|,
  // |count| of them) read the information of images for the same client,
  // its decoder process reads them ahead, up to lumo::kInfoReadAhead at
  // once. |ahead|: how many jobs at the queue's front (|job| first) were
  // read ahead before; returns that number for the next call. Worker
  // thread.
  static uint32_t readAhead(Job* job, Job* const* next, uint32_t count, uint32_t ahead);

  // --- Control -------------------------------------------------------------
  // Written by the host, read by the IPC threads without a lock.
  void setExtensionCheck(bool enabled) {
    m_extensionCheck.store(enabled, std::memory_order_relaxed);
  }
  bool extensionCheck() const { return m_extensionCheck.load(std::memory_order_relaxed); }

  // --- Path access lists (thread-safe) ----------------------------------------
  // Canonicalises |path| and appends it to the whitelist (true) or blacklist
  // unless an entry of that list is already a prefix of it.
  void addToPathList(const char* path, bool whitelist);
  // Empties one list.
  void clearPathList(bool whitelist);
  // True if |path| begins with some entry of |list| (byte prefix, not path
  // components: /media/usb also covers /media/usb2). The caller holds
  // m_mutex or owns |list|.
  static bool isListed(kor::vector<util::UnicodeString8>& list, util::UnicodeString8& path);
  bool isBlacklisted(util::UnicodeString8& path);
  bool isWhitelisted(util::UnicodeString8& path);
  // Copies of the lists, for the host and tests.
  kor::vector<util::UnicodeString8> blacklist();
  kor::vector<util::UnicodeString8> whitelist();

  // --- Configuration (worker thread) ------------------------------------------
  void loadConfig();

  // --- Locator validation --------------------------------------------------
  // The locator's text with "file://" removed. Thread-safe.
  static util::UnicodeString8 resolvePath(CIPtr<CIString> locator);
  // True if the locator may be served. Called on the IPC threads.
  bool isImagePath(CIPtr<CIString> locator);
  // As above; when true, |*accepted| names the file that was judged, which
  // the job must find when it opens the locator (osal::AcceptedFileScope).
  bool isImagePath(CIPtr<CIString> locator, osal::FileIdentity* accepted);
  // Why isImagePath() refused a locator.
  enum class Rejection {
    kNone,
    kPermissionDenied,  // the service's user may not search a folder on the path
    kNoSuchFile,        // missing, or its path cannot be resolved
    kNotRegularFile,
    kBlacklisted,
    kExtension,
  };
  // The cause as the log names it: "permission denied for the service's
  // user", "no such file", ...; "" for kNone.
  static const char* rejectionText(Rejection why);
  // As above; when false, |*why| (when not null) says why.
  bool isImagePath(CIPtr<CIString> locator, osal::FileIdentity* accepted, Rejection* why);
  // After the engine failed on |locator|, its failure still pending in
  // kor::ErrorStorage: when the failure's code says that it lies with the
  // file, one line on "IMS_Worker" at level 3 (a refused request, not a
  // failure of the service) names the cause ("not an image", "damaged
  // image", "permission denied for the service's user").
  static void logFileFault(const CIPtr<CIString>& locator);

  // --- Image information (worker thread) -----------------------------------
  static CIPtr<svx::imageserver::ImageInformation> getInfo(CIPtr<CIString> locator,
                                                           svx::imageserver::Result& result);
  // The file size of |path| in |size| and as the hash (size in both 32-bit
  // halves); 0 and 0 when the file cannot be opened.
  static long long calcHash(const util::UnicodeString8& path, long long& size);
  static svx::imageserver::ImageFormat getType(lumo::BitmapInfo::SourceType type);
  static svx::imageserver::ImageFormat getFormat(lumo::BitmapInfo::Format format);

 private:
  // How long the idle worker watches the queue before it sleeps (while its
  // idle gaps stay that short). A client that sends its next request as
  // soon as the answer comes finds the worker still awake: no sleep and
  // wake-up between them.
  static constexpr uint32_t kQueueSpinMicros = 100;

  kor::List<Job*> m_jobQueue;                // Guarded by m_mutex.
  osal::ConditionVariable m_queueCondition;  // Signalled once per enqueued entry.
  osal::Mutex m_mutex;
  // Written under m_mutex by the destructor; read by the worker between
  // jobs, without the lock. Atomic (relaxed) so that the unlocked read is
  // defined.
  std::atomic<bool> m_running;
  // Written by the host, read by the IPC threads without a lock.
  std::atomic<bool> m_extensionCheck;
  kor::vector<util::UnicodeString8> m_blacklist;  // Guarded by m_mutex.
  kor::vector<util::UnicodeString8> m_whitelist;  // Guarded by m_mutex.
};

#endif  // IMAGESERVER_IMAGESERVER_H_
