#include "imageserver/Channels.h"
#include "imageserver/jobs/Job.h"

void ImageServer::FileInfoJob::execute() {
  TRACE(g_workerChannel, 1, "getting file info for %s", m_locator->utf8());
  svx::imageserver::Result result = svx::imageserver::RESULT_OK;
  CIPtr<svx::imageserver::ImageInformation> information = getInfo(m_locator, result);
  m_reply.requestImageInformationResult(m_locator, information, result);
}
