// Lets a decode write its pixels straight into the memory of its answer.
//
// The worker makes one AnswerBuffers and, for each job, makes it both the
// thread's pixel buffer provider (lumo::PixelBufferScope) and the endpoint of
// the thread's comm::ArrayAllocationScope, in front of the job's own reply
// endpoint. When the engine asks for a bitmap's pixel buffer, it gets the
// bytes of an array storage from the reply endpoint (a client in another
// process lends one of its shared segments). The next byte array of exactly
// that size that the job makes (CITypesFactory::createInt8Array, the
// answer's pixels) takes that same storage, so the pixels are already where
// the answer needs them and the job's copy has nothing to do. Every other
// array request goes to the reply endpoint as it would without this.
//
// Where the reply endpoint lends no storage (a client in this process, a
// client at its shared-memory limit, an answer below the transport's segment
// threshold), the engine uses its own buffer and the job copies as before.
// Everything happens on the worker thread; a bitmap made with a lent buffer
// must be destroyed before the next one is made, which every job does.
#ifndef IMAGESERVER_ANSWERBUFFERS_H_
#define IMAGESERVER_ANSWERBUFFERS_H_

#include <cstddef>
#include <cstdint>

#include "platform/comm.h"
#include "platform/lumo.h"

class AnswerBuffers final : public comm::Endpoint, public lumo::PixelBufferProvider {
 public:
  AnswerBuffers();
  // Frees a storage still lent (a bitmap that was never destroyed).
  ~AnswerBuffers() override;

  // The reply endpoint of the job about to run (null when it has none), and
  // the end of that job.
  void begin(comm::Endpoint* reply) { m_reply = reply; }
  void end() { m_reply = nullptr; }

  // lumo::PixelBufferProvider: lends the bytes of a storage from the reply
  // endpoint, one at a time.
  uint8_t* allocatePixels(size_t bytes) override;
  void releasePixels(uint8_t* pixels) override;
  // The segment of the lent storage, sealed against resizing before a
  // decoder process sees it; its id on the client's connection names it
  // (0 for a transient segment, made for this answer alone).
  int sharedPixels(const uint8_t* pixels, uint64_t* id) override;
  uint8_t* allocateForeignPixels(size_t bytes) override;
  size_t smallestLent() const override;

  // comm::Endpoint: the lent storage for an array of its exact size, else
  // whatever the reply endpoint gives (or refuses).
  CIInt8Array::Storage* allocateArrayStorage(uint32_t size, bool* refused) override;

 private:
  comm::Endpoint* m_reply = nullptr;
  // The storage whose bytes a bitmap holds, while no array has taken it.
  CIInt8Array::Storage* m_lentStorage = nullptr;
  uint32_t m_lentSize = 0;
  // The bytes lent, until the bitmap gives them back (the array may have
  // taken their storage by then).
  uint8_t* m_lentPixels = nullptr;
};

#endif  // IMAGESERVER_ANSWERBUFFERS_H_
