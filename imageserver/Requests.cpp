#include "imageserver/Channels.h"
#include "imageserver/ImageServer.h"
#include "imageserver/jobs/Job.h"

using svx::imageserver::ImageServerProxyReply;

void ImageServer::requestImage(const CIPtr<CIPtrArray<CIString>>& resourceLocator, int8_t scaling,
                               bool decode, ImageServerProxyReply& reply) {
  if (resourceLocator.isNull()) {
    if (g_interfaceChannel.isEnabled(3))
      g_interfaceChannel.logC(3, "requestImageFileArrayAsBlob: resourceLocator is NULL");
    return;
  }
  const CIPtrArray<CIString>& locators = *resourceLocator;
  for (uint32_t i = 0; i < locators.size(); ++i) {
    const CIPtr<CIString>& locator = locators[i];
    if (locator.isNull()) {
      if (g_interfaceChannel.isEnabled(3))
        g_interfaceChannel.logCV(3, "requestImageFileArrayAsBlob: filename %i is NULL",
                                 static_cast<int>(i));
      continue;
    }
    if (!isImagePath(locator)) {
      if (g_interfaceChannel.isEnabled(3))
        g_interfaceChannel.logCV(3, "requestImage: resourceLocator %s appears to be no valid image",
                                 locator->utf8());
      reply.requestImageResult(locator, CIPtr<svx::imageserver::Image>(),
                               svx::imageserver::RESULT_INVALID_IMAGE);
      continue;
    }
    Job* job;
    if (decode)
      job = kor::tryNew<FileDecodeJob>("job", reply, locator, static_cast<int32_t>(scaling));
    else
      job = kor::tryNew<FileReadJob>("job", reply, locator, scaling != 0);
    if (job == nullptr) {
      // Without a job the locator would go unanswered; tell the client now.
      if (g_interfaceChannel.isEnabled(4)) g_interfaceChannel.logC(4, "requestImage: OOM");
      reply.requestImageResult(locator, CIPtr<svx::imageserver::Image>(),
                               svx::imageserver::RESULT_OUT_OF_MEMORY);
      continue;
    }
    enqueueJob(job);
  }
}

void ImageServer::requestImageInformation(const CIPtr<CIPtrArray<CIString>>& resourceLocator,
                                          ImageServerProxyReply& reply) {
  if (resourceLocator.isNull()) {
    if (g_interfaceChannel.isEnabled(3))
      g_interfaceChannel.logC(3, "requestImageInformation: resourceLocator is NULL");
    return;
  }
  const CIPtrArray<CIString>& locators = *resourceLocator;
  for (uint32_t i = 0; i < locators.size(); ++i) {
    const CIPtr<CIString>& locator = locators[i];
    if (locator.isNull()) {
      if (g_interfaceChannel.isEnabled(3))
        g_interfaceChannel.logCV(3, "requestImageInformation: resourceLocator %i is NULL",
                                 static_cast<int>(i));
      continue;
    }
    if (!isImagePath(locator)) {
      if (g_interfaceChannel.isEnabled(3))
        g_interfaceChannel.logCV(
            3, "requestImageInformation: resourceLocator %s appears to be no valid image",
            locator->utf8());
      reply.requestImageInformationResult(locator, CIPtr<svx::imageserver::ImageInformation>(),
                                          svx::imageserver::RESULT_INVALID_IMAGE);
      continue;
    }
    Job* job = kor::tryNew<FileInfoJob>("job", reply, locator);
    if (job == nullptr) {
      if (g_interfaceChannel.isEnabled(4))
        g_interfaceChannel.logC(4, "requestImageInformation: OOM");
      reply.requestImageInformationResult(locator, CIPtr<svx::imageserver::ImageInformation>(),
                                          svx::imageserver::RESULT_OUT_OF_MEMORY);
      continue;
    }
    enqueueJob(job);
  }
}
