#include <cstring>

#include "imageserver/Channels.h"
#include "imageserver/jobs/Job.h"

using svx::imageserver::Image;
using svx::imageserver::ImageInformation;

namespace {

// Logs an engine failure for |locator| with |format| and acknowledges it. A
// decode cancelled because its client has gone is no failure of the engine
// or the file: one routine line says so.
void reportEngineFailure(const char* format, const CIPtr<CIString>& locator) {
  if (kor::isCancelled())
    TRACE(g_workerChannel, 2, "decoding image for %s cancelled: its client has gone",
          locator->utf8());
  else {
    TRACE(g_workerChannel, 4, format, locator->utf8(), kor::ErrorStorage::reason());
    ImageServer::logFileFault(locator);
  }
  kor::ErrorStorage::ack();
}

}  // namespace

void ImageServer::FileDecodeJob::execute() {
  TRACE(g_workerChannel, 1, "reading decoded image for %s, scaling %i", m_locator->utf8(),
        static_cast<int>(m_scaling));

  util::UnicodeString8 path = resolvePath(m_locator);
  lumo::Bitmap* bitmap = nullptr;
  if (m_scaling <= 1) {
    bitmap =
        lumo::Engine::getInstance().createBitmap(path, lumo::BitmapInfo::kFormatDefault, nullptr);
  } else {
    lumo::BitmapInfo* header = lumo::Engine::getInstance().getImageInfo(path);
    if (header == nullptr) {
      reportEngineFailure("decoding image (reading header) for %s failed; %s", m_locator);
      m_reply.requestImageResult(m_locator, CIPtr<Image>(), svx::imageserver::RESULT_INVALID_IMAGE);
      return;
    }
    const uint32_t divisor = static_cast<uint32_t>(m_scaling);
    const lumo::Vec2<unsigned int> target = {header->width / divisor, header->height / divisor};
    lumo::Engine::getInstance().destroyBitmapInfo(header);
    bitmap =
        lumo::Engine::getInstance().createBitmap(path, lumo::BitmapInfo::kFormatDefault, target,
                                                 lumo::Bitmap::kScalingAreaAverage, false, nullptr);
  }
  if (bitmap == nullptr) {
    reportEngineFailure("decoding image (processing data) for %s failed; %s", m_locator);
    m_reply.requestImageResult(m_locator, CIPtr<Image>(), svx::imageserver::RESULT_INVALID_IMAGE);
    return;
  }

  CIPtr<Image> image = svx::imageserver::ImageFactory::createImage();
  if (image.isNull()) {
    g_workerChannel.logC(4, "Decoding image: OOM1");
    lumo::Engine::getInstance().destroyBitmap(bitmap);
    m_reply.requestImageResult(m_locator, CIPtr<Image>(), svx::imageserver::RESULT_OUT_OF_MEMORY);
    return;
  }

  image->imageInformation =
      CIPtr<ImageInformation>(kor::tryNew<ImageInformation>("ImageInformation"));
  if (image->imageInformation.isNull()) {
    g_workerChannel.logC(4, "Decoding image: OOM2");
    lumo::Engine::getInstance().destroyBitmap(bitmap);
    m_reply.requestImageResult(m_locator, CIPtr<Image>(), svx::imageserver::RESULT_OUT_OF_MEMORY);
    return;
  }

  ImageInformation& information = *image->imageInformation;
  const uint32_t bpp = lumo::BitmapInfo::getBpp(bitmap->format);
  information.width = bitmap->width;
  information.height = bitmap->height;
  image->decoded = true;
  information.format = getFormat(bitmap->format);
  image->dataLength = bitmap->width * bitmap->height * bpp;

  image->data = CITypesFactory::createInt8Array(bpp * bitmap->width * bitmap->height);
  if (image->data.isNull()) {
    g_workerChannel.logC(4, "Decoding image: OOM3");
    image->dataLength = 0;
    m_reply.requestImageResult(m_locator, image, svx::imageserver::RESULT_OUT_OF_MEMORY);
    lumo::Engine::getInstance().destroyBitmap(bitmap);
    return;
  }

  // The engine may have decoded straight into the answer's memory (see
  // AnswerBuffers); then there is nothing to copy.
  void* destination = image->data->data();
  if (destination != bitmap->pixels)
    std::memcpy(destination, bitmap->pixels, bpp * bitmap->width * bitmap->height);
  lumo::Engine::getInstance().destroyBitmap(bitmap);

  long long size = 0;
  information.hash = calcHash(path, size);
  information.fileSize = size;
  m_reply.requestImageResult(m_locator, image, svx::imageserver::RESULT_OK);
}
