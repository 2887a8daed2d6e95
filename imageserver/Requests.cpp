#include "imageserver/Channels.h"
#include "imageserver/ImageServer.h"
#include "imageserver/jobs/Job.h"

using svx::imageserver::ImageServerProxyReply;

namespace {

// The texts that one request operation logs on "IMS_Interface".
struct RequestMessages {
  const char* arrayNull;
  const char* elementNull;  // %i: the element's index
  const char* rejected;     // %s: the element's text
  const char* outOfMemory;
  // Follows |rejected|: %.*s the element's text, cut to kCauseLocatorBytes,
  // and %s the cause (ImageServer::rejectionText).
  const char* cause;
};

// How much of a refused locator the cause line repeats: enough to tell the
// line's locator from others that threads refuse at the same time, without
// doubling the log for a long one.
constexpr int kCauseLocatorBytes = 256;

const RequestMessages kImageMessages = {
    "requestImageFileArrayAsBlob: resourceLocator is NULL",
    "requestImageFileArrayAsBlob: filename %i is NULL",
    "requestImage: resourceLocator %s appears to be no valid image", "requestImage: OOM",
    "requestImage: resourceLocator %.*s refused: %s"};

const RequestMessages kInformationMessages = {
    "requestImageInformation: resourceLocator is NULL",
    "requestImageInformation: resourceLocator %i is NULL",
    "requestImageInformation: resourceLocator %s appears to be no valid image",
    "requestImageInformation: OOM", "requestImageInformation: resourceLocator %.*s refused: %s"};

// Walks |resourceLocator| in order: null elements are logged and skipped,
// rejected ones answered at once with |answer|(locator, RESULT_INVALID_IMAGE),
// accepted ones queued as the job that |makeJob|(locator) builds. A job that
// cannot be allocated is answered RESULT_OUT_OF_MEMORY at once, so that no
// locator goes unanswered.
template <class MakeJob, class Answer>
void walkRequest(ImageServer& server, const CIPtr<CIPtrArray<CIString>>& resourceLocator,
                 const RequestMessages& messages, MakeJob makeJob, Answer answer) {
  if (resourceLocator.isNull()) {
    g_interfaceChannel.logC(3, messages.arrayNull);
    return;
  }
  const CIPtrArray<CIString>& locators = *resourceLocator;
  for (uint32_t i = 0; i < locators.size(); ++i) {
    const CIPtr<CIString>& locator = locators[i];
    if (locator.isNull()) {
      TRACE(g_interfaceChannel, 3, messages.elementNull, static_cast<int>(i));
      continue;
    }
    osal::FileIdentity accepted;
    ImageServer::Rejection why = ImageServer::Rejection::kNone;
    if (!server.isImagePath(locator, &accepted, &why)) {
      TRACE(g_interfaceChannel, 3, messages.rejected, locator->utf8());
      TRACE(g_interfaceChannel, 3, messages.cause, kCauseLocatorBytes, locator->utf8(),
            ImageServer::rejectionText(why));
      answer(locator, svx::imageserver::RESULT_INVALID_IMAGE);
      continue;
    }
    ImageServer::Job* job = makeJob(locator);
    if (job == nullptr) {
      g_interfaceChannel.logC(4, messages.outOfMemory);
      answer(locator, svx::imageserver::RESULT_OUT_OF_MEMORY);
      continue;
    }
    job->setAcceptedFile(accepted);
    server.enqueueJob(job);
  }
}

}  // namespace

void ImageServer::requestImage(const CIPtr<CIPtrArray<CIString>>& resourceLocator, int8_t scaling,
                               bool decode, ImageServerProxyReply& reply) {
  walkRequest(
      *this, resourceLocator, kImageMessages,
      [&](const CIPtr<CIString>& locator) -> Job* {
        if (decode)
          return kor::tryNew<FileDecodeJob>("job", reply, locator, static_cast<int32_t>(scaling));
        return kor::tryNew<FileReadJob>("job", reply, locator, scaling != 0);
      },
      [&](const CIPtr<CIString>& locator, svx::imageserver::Result result) {
        reply.requestImageResult(locator, CIPtr<svx::imageserver::Image>(), result);
      });
}

void ImageServer::requestImageInformation(const CIPtr<CIPtrArray<CIString>>& resourceLocator,
                                          ImageServerProxyReply& reply) {
  walkRequest(
      *this, resourceLocator, kInformationMessages,
      [&](const CIPtr<CIString>& locator) -> Job* {
        return kor::tryNew<FileInfoJob>("job", reply, locator);
      },
      [&](const CIPtr<CIString>& locator, svx::imageserver::Result result) {
        reply.requestImageInformationResult(locator, CIPtr<svx::imageserver::ImageInformation>(),
                                            result);
      });
}
