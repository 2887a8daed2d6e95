#include "imageserver/ImageServerControl.h"

#include "imageserver/ImageServer.h"

namespace {

ImageServer* startService(uint32_t instance, bool extensionCheck) {
  // No image is parsed in this process: decoder processes read them all,
  // from before the first request until the service stops. Without the
  // decoder executable the service still starts; every read of an image
  // then fails, and says why.
  lumo::startDecoders();
  ImageServer* server = kor::tryNew<ImageServer>("ImageServer");
  if (server == nullptr) {
    lumo::stopDecoders();
    return nullptr;
  }
  // Set before registration, so that no request is validated with the check off.
  if (extensionCheck) server->setExtensionCheck(true);
  server->registerSelf(instance);
  return server;
}

}  // namespace

extern "C" {

ImageServer* startImageServer(uint32_t instance) { return startService(instance, false); }

ImageServer* startImageServerWithExtCheck(uint32_t instance) {
  return startService(instance, true);
}

void stopImageServer(ImageServer* handle) {
  if (handle == nullptr) return;
  handle->unregisterSelf();
  delete handle;
  lumo::stopDecoders();
}

void enableFileExtensionCheck(ImageServer* handle, int enable) {
  if (handle != nullptr) handle->setExtensionCheck(enable != 0);
}

void addToBlacklist(ImageServer* handle, const char* path) {
  if (handle != nullptr && path != nullptr) handle->addToPathList(path, false);
}

void addToWhitelist(ImageServer* handle, const char* path) {
  if (handle != nullptr && path != nullptr) handle->addToPathList(path, true);
}

void clearBlacklist(ImageServer* handle) {
  if (handle != nullptr) handle->clearPathList(false);
}

void clearWhitelist(ImageServer* handle) {
  if (handle != nullptr) handle->clearPathList(true);
}

uint32_t getNumPendingRequests(ImageServer* handle) {
  return handle != nullptr ? handle->getNumPendingRequests() : 0;
}

}  // extern "C"
