#include <algorithm>
#include <climits>

#include "imageserver/Channels.h"
#include "imageserver/jobs/Job.h"

using svx::imageserver::Image;
using svx::imageserver::ImageInformation;
using svx::imageserver::Result;

void ImageServer::FileReadJob::execute() {
  TRACE(g_workerChannel, 1, "reading undecoded image for %s", m_locator->utf8());

  Result result = svx::imageserver::RESULT_OK;
  CIPtr<ImageInformation> information = getInfo(m_locator, result);
  if (information.isNull()) {
    m_reply.requestImageResult(m_locator, CIPtr<Image>(), result);
    return;
  }

  util::UnicodeString8 path = resolvePath(m_locator);
  osal::RegularFile file;
  if (!file.open(path.utf8()).ok()) {
    m_reply.requestImageResult(m_locator, CIPtr<Image>(), svx::imageserver::RESULT_INVALID_IMAGE);
    return;
  }

  // The size from the file's status at opening: no block is read just to
  // find the end.
  if (file.size() > INT32_MAX) {
    // No 32-bit array can hold the file: it cannot be delivered.
    m_reply.requestImageResult(m_locator, CIPtr<Image>(), svx::imageserver::RESULT_OUT_OF_MEMORY);
    return;
  }
  const uint32_t size = static_cast<uint32_t>(std::max<int64_t>(file.size(), 0));

  CIPtr<CIInt8Array> bytes = CITypesFactory::createInt8Array(size);
  if (bytes.isNull()) {
    m_reply.requestImageResult(m_locator, CIPtr<Image>(), svx::imageserver::RESULT_OUT_OF_MEMORY);
    return;
  }
  // A read error shows as a short count.
  size_t count = 0;
  (void)file.readFully(bytes->data(), size, 0, &count);
  file.close();

  CIPtr<Image> image = svx::imageserver::ImageFactory::createImage();
  if (image.isNull()) {
    m_reply.requestImageResult(m_locator, CIPtr<Image>(), svx::imageserver::RESULT_OUT_OF_MEMORY);
    return;
  }
  if (count != size) {
    m_reply.requestImageResult(m_locator, image, svx::imageserver::RESULT_READ_INCOMPLETE);
    return;
  }

  image->decoded = false;
  image->data = bytes;
  image->dataLength = static_cast<uint32_t>(count);
  if (m_withInfo) image->imageInformation = information;
  m_reply.requestImageResult(m_locator, image, result);
}
