#include "imageserver/ImageServer.h"

#include <new>

#include "imageserver/AnswerBuffers.h"
#include "imageserver/Channels.h"
#include "imageserver/jobs/Job.h"

ImageServer::ImageServer()
    : svx::imageserver::ImageServerSkeleton(),
      osal::Thread(&ImageServer::loopFunc, this, nullptr, 0, 0),
      m_queueCondition(kQueueSpinMicros),
      m_running(true),
      m_extensionCheck(false) {
  if (!start()) {
    kor::GlobalErrorHandler::doWarning(kor::ErrorStorage::reason());
    kor::ErrorStorage::ack();
  }
}

ImageServer::~ImageServer() {
  m_mutex.lock();
  m_running.store(false, std::memory_order_relaxed);
  m_mutex.unlock();
  enqueueJob(nullptr);
  join();

  // A request that was already being dispatched when the worker drained can
  // still have queued a job. It is destroyed here, unexecuted and unanswered,
  // like every job that was queued at stop.
  Job* late = nullptr;
  m_mutex.lock();
  while (m_jobQueue.takeFront(&late)) delete late;
  m_mutex.unlock();
}

void ImageServer::loopFunc(void* arg) { static_cast<ImageServer*>(arg)->processImages(); }

void ImageServer::processImages() {
  g_workerChannel.logC(2, "Image server worker thread started");

  CIPtr<CIString> version = CITypesFactory::createString(svx::imageserver::kInterfaceVersion,
                                                         util::UnicodeString_common::kUtf8);
  updateSVXVersion(version);

  loadConfig();

  // Decoded pixels go straight into the memory of their answer when the
  // client lends it (see AnswerBuffers); without it, the job copies them.
  AnswerBuffers* buffers = new (std::nothrow) AnswerBuffers();
  const comm::Proxy buffersProxy(buffers);

  uint32_t ahead = 0;
  while (m_running.load(std::memory_order_relaxed)) {
    Job* job = nullptr;
    Job* next[lumo::kInfoReadAhead] = {};
    uint32_t count = 0;
    m_mutex.lock();
    if (!m_jobQueue.takeFront(&job)) m_queueCondition.wait(m_mutex);
    if (job != nullptr) count = m_jobQueue.peekFront(next, lumo::kInfoReadAhead);
    m_mutex.unlock();
    if (job != nullptr) {
      {
        // A job whose client has gone is cancelled: its answer would go
        // nowhere, so a decode stops at its next check. A stop does not
        // cancel: the job in hand runs to its end and answers its client
        // (the engine's work budget keeps that short).
        comm::Endpoint* reply = job->reply().endpoint();
        kor::CancellationScope cancellation(
            [reply] { return reply != nullptr && reply->isClosed(); });
        // The arrays the job makes are its client's: a client in another
        // process gets them in reusable shared memory of its own.
        if (buffers != nullptr) buffers->begin(reply);
        comm::ArrayAllocationScope arrays(buffers != nullptr ? buffersProxy : job->reply());
        lumo::PixelBufferScope pixels(buffers);
        // Its images are read by a decoder process of its client's own.
        lumo::DecoderScope decoder(reply != nullptr ? reply->serial() : 0);
        // It reads the file that was judged when it was accepted, or none.
        osal::AcceptedFileScope accepted(job->acceptedFile());
        ahead = readAhead(job, next, count, ahead);
        job->execute();
        if (buffers != nullptr) buffers->end();
      }
      delete job;
    }
  }

  m_mutex.lock();
  Job* discarded = nullptr;
  while (m_jobQueue.takeFront(&discarded)) delete discarded;
  m_mutex.unlock();
}

uint32_t ImageServer::readAhead(Job* job, Job* const* next, uint32_t count, uint32_t ahead) {
  // A client's batch of information requests: its decoder reads the next
  // files while this job answers. The queued jobs are never destroyed
  // while this one runs, as only this thread takes jobs; and they are
  // taken in the order they are read.
  const bool jobAhead = ahead > 0;
  if (jobAhead) --ahead;
  auto* info = dynamic_cast<FileInfoJob*>(job);
  if (info == nullptr) return 0;
  uint32_t batch = 0;
  while (batch < count) {
    auto* nextInfo = dynamic_cast<FileInfoJob*>(next[batch]);
    if (nextInfo == nullptr || !(nextInfo->reply() == info->reply())) break;
    ++batch;
  }
  // Alone, it reads its own without a detour.
  if (batch == 0) return 0;
  if (!jobAhead && !lumo::readInfoAhead(resolvePath(info->locator()))) return 0;
  while (ahead < batch) {
    const auto* nextInfo = static_cast<FileInfoJob*>(next[ahead]);
    osal::AcceptedFileScope accepted(nextInfo->acceptedFile());
    if (!lumo::readInfoAhead(resolvePath(nextInfo->locator()))) break;
    ++ahead;
  }
  return ahead;
}

void ImageServer::enqueueJob(Job* job) {
  m_mutex.lock();
  bool linked = m_jobQueue.insert(job);
  m_queueCondition.signal();
  m_mutex.unlock();
  // The list has reported the missing node; the job cannot run, and is not
  // leaked either.
  if (!linked) delete job;
}

uint32_t ImageServer::getNumPendingRequests() {
  m_mutex.lock();
  uint32_t count = m_jobQueue.count();
  m_mutex.unlock();
  return count;
}
