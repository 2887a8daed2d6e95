#include "imageserver/jobs/Job.h"

ImageServer::Job::Job(const svx::imageserver::ImageServerProxyReply& reply) { m_reply = reply; }

ImageServer::Job::~Job() = default;

ImageServer::FileReadJob::FileReadJob(const svx::imageserver::ImageServerProxyReply& reply,
                                      const CIPtr<CIString>& locator, bool withInfo)
    : Job(reply), m_locator(locator), m_withInfo(withInfo) {}

ImageServer::FileReadJob::~FileReadJob() = default;

ImageServer::FileDecodeJob::FileDecodeJob(const svx::imageserver::ImageServerProxyReply& reply,
                                          const CIPtr<CIString>& locator, int32_t scaling)
    : Job(reply), m_locator(locator), m_scaling(scaling) {}

ImageServer::FileDecodeJob::~FileDecodeJob() = default;

ImageServer::FileInfoJob::FileInfoJob(const svx::imageserver::ImageServerProxyReply& reply,
                                      const CIPtr<CIString>& locator)
    : Job(reply), m_locator(locator) {}

ImageServer::FileInfoJob::~FileInfoJob() = default;
