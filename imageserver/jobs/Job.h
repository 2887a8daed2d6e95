// The jobs of the worker queue: one per accepted locator, executed once on the
// worker thread and then destroyed.
#ifndef IMAGESERVER_JOBS_JOB_H_
#define IMAGESERVER_JOBS_JOB_H_

#include <cstdint>

#include "imageserver/ImageServer.h"

// The base of all jobs: holds the client's reply proxy.
class ImageServer::Job {
 public:
  // Copies |reply| (the copy stays usable after the request has returned).
  explicit Job(const svx::imageserver::ImageServerProxyReply& reply);
  virtual ~Job();
  Job(const Job&) = delete;
  Job& operator=(const Job&) = delete;

  // Does the job's work and sends exactly one answer through m_reply. Called
  // once, on the worker thread, with no lock held.
  virtual void execute() = 0;

  const svx::imageserver::ImageServerProxyReply& reply() const { return m_reply; }
  // The file its locator led to when it was accepted: the job opens that
  // file or none (unset: any). Set before the job is queued.
  void setAcceptedFile(const osal::FileIdentity& file) { m_acceptedFile = file; }
  const osal::FileIdentity& acceptedFile() const { return m_acceptedFile; }

 protected:
  svx::imageserver::ImageServerProxyReply m_reply;

 private:
  osal::FileIdentity m_acceptedFile;
};

// Delivers the file's bytes unchanged, with the information record when
// m_withInfo is set.
class ImageServer::FileReadJob : public ImageServer::Job {
 public:
  FileReadJob(const svx::imageserver::ImageServerProxyReply& reply, const CIPtr<CIString>& locator,
              bool withInfo);
  ~FileReadJob() override;
  void execute() override;

  const CIPtr<CIString>& locator() const { return m_locator; }
  bool withInfo() const { return m_withInfo; }

 private:
  CIPtr<CIString> m_locator;
  bool m_withInfo;
};

// Delivers the decoded pixels, reduced by m_scaling when it is 2 or more.
class ImageServer::FileDecodeJob : public ImageServer::Job {
 public:
  FileDecodeJob(const svx::imageserver::ImageServerProxyReply& reply,
                const CIPtr<CIString>& locator, int32_t scaling);
  ~FileDecodeJob() override;
  void execute() override;

  const CIPtr<CIString>& locator() const { return m_locator; }
  int32_t scaling() const { return m_scaling; }

 private:
  CIPtr<CIString> m_locator;
  int32_t m_scaling;
};

// Delivers the image's information.
class ImageServer::FileInfoJob : public ImageServer::Job {
 public:
  FileInfoJob(const svx::imageserver::ImageServerProxyReply& reply, const CIPtr<CIString>& locator);
  ~FileInfoJob() override;
  void execute() override;

  const CIPtr<CIString>& locator() const { return m_locator; }

 private:
  CIPtr<CIString> m_locator;
};

#endif  // IMAGESERVER_JOBS_JOB_H_
